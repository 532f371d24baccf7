// The far side of bench_acceleration, in a process of its own so that the measured process holds only
// the client and the acceleration manager, as the real program does. Two roles, each started as its
// own process:
//
//     bench_acceleration_peer relay     the acceleration service and one TLS relay node of the test
//                                       suite (private CA); prints "ready <service url> <CA file>"
//     bench_acceleration_peer targets   two loopback targets; prints "ready <source port> <echo port>"
//
// Both end when their standard input closes. The targets block on their sockets, one thread per
// connection: on accept each sends one greeting byte (the client then knows the whole path stands);
// the source then waits for one request byte, sends kTransferBytes and waits for the client to close;
// the echo sends back what it reads.

#include "platform/memory_release.h"
#include "support/acceleration_test_bed.h"
#include "support/test_acceleration_service.h"
#include "support/test_certificate_authority.h"
#include "support/test_relay_node.h"

#include <QCoreApplication>
#include <QJsonArray>

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr long long kTransferBytes = 1LL << 30;
constexpr size_t kChunk = 256 * 1024;

bool sendAll(int fd, const char* data, size_t size)
{
    while (size > 0) {
        const ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL);
        if (sent <= 0) {
            return false;
        }
        data += sent;
        size -= static_cast<size_t>(sent);
    }
    return true;
}

void serveSource(int fd)
{
    char request = 0;
    if (sendAll(fd, "G", 1) && ::recv(fd, &request, 1, 0) == 1) {
        std::vector<char> chunk(kChunk, 'x');
        long long remaining = kTransferBytes;
        while (remaining > 0) {
            const size_t size = static_cast<size_t>(std::min<long long>(remaining, kChunk));
            if (!sendAll(fd, chunk.data(), size)) {
                break;
            }
            remaining -= static_cast<long long>(size);
        }
        // The client closes first: a relay that dropped what it still held when the target closed
        // would otherwise lose the tail of the transfer.
        while (::recv(fd, &request, 1, 0) > 0) {
        }
    }
    ::close(fd);
}

void serveEcho(int fd)
{
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    if (sendAll(fd, "G", 1)) {
        std::vector<char> buffer(64 * 1024);
        for (;;) {
            const ssize_t got = ::recv(fd, buffer.data(), buffer.size(), 0);
            if (got <= 0 || !sendAll(fd, buffer.data(), static_cast<size_t>(got))) {
                break;
            }
        }
    }
    ::close(fd);
}

int listenLoopback(quint16* port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(fd, 16) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return -1;
    }
    *port = ntohs(address.sin_port);
    return fd;
}

void acceptForever(int listener, void (*serve)(int))
{
    for (;;) {
        const int fd = ::accept(listener, nullptr, nullptr);
        if (fd >= 0) {
            std::thread(serve, fd).detach();
        }
    }
}

void waitForStdinToClose()
{
    char byte = 0;
    while (::read(STDIN_FILENO, &byte, 1) > 0) {
    }
}

int runTargets()
{
    quint16 sourcePort = 0;
    quint16 echoPort = 0;
    const int source = listenLoopback(&sourcePort);
    const int echo = listenLoopback(&echoPort);
    if (source < 0 || echo < 0) {
        std::fprintf(stderr, "cannot listen on 127.0.0.1\n");
        return 1;
    }
    std::thread(acceptForever, source, serveSource).detach();
    std::thread(acceptForever, echo, serveEcho).detach();
    std::printf("ready %u %u\n", sourcePort, echoPort);
    std::fflush(stdout);
    waitForStdinToClose();
    // Detached threads may still block in accept or send.
    ::_exit(0);
}

int runRelay(QCoreApplication& app)
{
    QString error;
    TestCertificateAuthority ca;
    if (!ca.create(&error)) {
        std::fprintf(stderr, "CA: %s\n", qPrintable(error));
        return 1;
    }
    TestAccelerationService service(ca);
    TestRelayNode relay(ca);
    if (!service.start(&error) || !relay.start(&error)) {
        std::fprintf(stderr, "peers: %s\n", qPrintable(error));
        return 1;
    }
    service.setSession(AccelerationTestBed::kCookie, AccelerationTestBed::kJwt);
    service.setToken(AccelerationTestBed::kToken);
    relay.setToken(AccelerationTestBed::kToken);
    service.setNodes(QJsonArray{relay.nodeEntry(QStringLiteral("hk1"), QStringLiteral("香港 1"))});
    std::printf("ready %s %s\n", qPrintable(service.baseUrl()), qPrintable(ca.caCertificatePath()));
    std::fflush(stdout);
    std::thread([&app] {
        waitForStdinToClose();
        QMetaObject::invokeMethod(&app, &QCoreApplication::quit, Qt::QueuedConnection);
    }).detach();
    return app.exec();
}

} // namespace

int main(int argc, char** argv)
{
    // The relay node stands in for a partner's; it gets the allocator settings of the program, so that
    // its heap's ups and downs do not set the pace of the program's transfers.
    MemoryRelease::tuneAllocator();
    QCoreApplication app(argc, argv);
    const QString role = argc > 1 ? QString::fromLatin1(argv[1]) : QString();
    if (role == QLatin1String("targets")) {
        return runTargets();
    }
    if (role == QLatin1String("relay")) {
        return runRelay(app);
    }
    std::fprintf(stderr, "usage: %s relay|targets\n", argv[0]);
    return 2;
}
