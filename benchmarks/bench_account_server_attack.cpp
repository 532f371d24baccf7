// The account server under hostile clients, as a legitimate client meets it meanwhile: the real server
// process over TLS on 127.0.0.1 with SQLite and its default limits, started as the tests start it.
//
// A legitimate client on 127.0.1.1 signs in once, then keeps four keep-alive TLS connections each
// sending a heartbeat every 50 ms, and a fifth fetching its 4 MiB host-sync snapshot every second. Each
// hostile client below runs alone for a period (and longer where its figure needs it), after a baseline
// with none; for each the legitimate client's latencies and the server's peak memory are printed:
//
//  1. pre-handshake closes: TCP connections opened and closed before a byte, 500 per second;
//  2. silent connections: 32 from each of 10 addresses (the default cap per address), reopened when
//     the server closes them;
//  3. a non-reading pipeliner: pipelined GET /api/v1/health written, the answers never read (on past
//     the period until the server cuts it off, at most 45 s);
//  4. a slow reader of a 64 MiB download read at about 1 MiB/s, to its end, checked with SHA-256;
//  5. slow-loris heads: 200 connections (20 from each of 10 addresses) sending a head one byte every
//     3 s; time from a head's first byte to the server cutting the connection;
//  6. a registration flood: new accounts from one address over 32 keep-alive connections.
//
// Then heartbeat throughput against nginx serving {"ok":true} over TLS with the same certificate, both
// driven by the same load generator code (64 keep-alive connections, requests back to back).
//
// Clients use Boost.Asio and Boost.Beast, each group on a thread of its own; the server's memory is
// sampled every 100 ms by a thread of its own. Loopback only; every wait is bounded.
#include "nginx_peer.h"
#include "process_figures.h"
#include "support/account_test_server.h"
#include "support/http_test_client.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QRandomGenerator>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>

#include <fcntl.h>
#include <netinet/in.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace {

namespace asio = boost::asio;
namespace ssl = asio::ssl;
namespace http = boost::beast::http;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using TlsStream = ssl::stream<tcp::socket>;
using ErrorCode = boost::system::error_code;

constexpr auto kPeriod = std::chrono::seconds(20);
constexpr auto kSettle = std::chrono::seconds(3);
constexpr auto kHeartbeatInterval = std::chrono::milliseconds(50);
constexpr auto kSyncInterval = std::chrono::seconds(1);
constexpr int kLegitimateHeartbeatConnections = 4;
constexpr int kThroughputConnections = 64;
constexpr int kThroughputRounds = 3;
constexpr int kPerAddressCap = 32; // the server's default
constexpr qint64 kDownloadBytes = 64LL * 1024 * 1024;
constexpr double kSlowReadBytesPerSecond = 1024.0 * 1024;
constexpr auto kSlowLorisByteInterval = std::chrono::seconds(3);
constexpr int kSlowLorisConnections = 200;
const QString kPassword = QStringLiteral("bench-password-1234");

double msSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// A socket bound to a loopback source address; the port is chosen at connect time, so that many
// connections from one address share the port range with everything else (IP_BIND_ADDRESS_NO_PORT).
bool openFrom(tcp::socket& socket, const std::string& local, int receiveBuffer = 0)
{
    ErrorCode code;
    socket.open(tcp::v4(), code);
    if (code) {
        return false;
    }
    const int one = 1;
    ::setsockopt(socket.native_handle(), IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);
    if (receiveBuffer > 0) {
        socket.set_option(asio::socket_base::receive_buffer_size(receiveBuffer), code);
    }
    socket.bind({asio::ip::make_address(local), 0}, code);
    return !code;
}

std::string loopback(int third, int fourth)
{
    return "127.0." + std::to_string(third) + "." + std::to_string(fourth);
}

std::shared_ptr<ssl::context> clientTls(const std::string& caPath)
{
    auto tls = std::make_shared<ssl::context>(ssl::context::tls_client);
    tls->load_verify_file(caPath);
    tls->set_verify_mode(ssl::verify_peer);
    return tls;
}

// Opens `stream`'s socket from `local`, connects to 127.0.0.1:`port` and shakes hands; `done` gets the
// first failure (address_not_available when the socket cannot be opened or bound), or no error once
// the connection is encrypted. `done` keeps the stream's owner alive.
template <class Done>
void connectTls(ssl::stream<tcp::socket>& stream, const std::string& local, quint16 port, Done done)
{
    if (!openFrom(stream.next_layer(), local)) {
        done(boost::system::errc::make_error_code(boost::system::errc::address_not_available));
        return;
    }
    stream.next_layer().async_connect({asio::ip::make_address("127.0.0.1"), port},
                                      [&stream, done](ErrorCode code) mutable {
                                          if (code) {
                                              done(code);
                                              return;
                                          }
                                          stream.async_handshake(ssl::stream_base::client, std::move(done));
                                      });
}

// A Boost.Asio event loop on a thread of its own; stopping it destroys every connection still waiting
// on it (their sockets close).
class IoThread
{
public:
    IoThread() : m_work(asio::make_work_guard(m_io)) {}
    ~IoThread() { stop(); }
    asio::io_context& io() { return m_io; }
    void start()
    {
        m_thread = std::thread([this] { m_io.run(); });
    }
    void stop()
    {
        if (m_thread.joinable()) {
            m_io.stop();
            m_thread.join();
        }
    }

private:
    asio::io_context m_io;
    asio::executor_work_guard<asio::io_context::executor_type> m_work;
    std::thread m_thread;
};

// Latencies of the legitimate client (and of the throughput runs), kept by phase.
class Recorder
{
public:
    struct Samples
    {
        std::vector<double> heartbeats;
        std::vector<double> syncs;
        long long heartbeatFailures = 0;
        long long syncFailures = 0;
    };
    enum Kind { Heartbeat, Sync };

    void setPhase(int phase)
    {
        std::lock_guard lock(m_mutex);
        m_phase = phase;
        if (phase >= 0 && static_cast<size_t>(phase) >= m_samples.size()) {
            m_samples.resize(static_cast<size_t>(phase) + 1);
        }
    }
    void add(Kind kind, bool ok, double ms)
    {
        std::lock_guard lock(m_mutex);
        if (m_phase < 0) {
            return;
        }
        Samples& samples = m_samples[static_cast<size_t>(m_phase)];
        if (!ok) {
            ++(kind == Heartbeat ? samples.heartbeatFailures : samples.syncFailures);
        } else {
            (kind == Heartbeat ? samples.heartbeats : samples.syncs).push_back(ms);
        }
    }
    Samples samples(int phase)
    {
        std::lock_guard lock(m_mutex);
        return static_cast<size_t>(phase) < m_samples.size() ? m_samples[static_cast<size_t>(phase)]
                                                             : Samples();
    }

private:
    std::mutex m_mutex;
    int m_phase = -1;
    std::vector<Samples> m_samples;
};

// The server's memory from /proc/<pid>/smaps_rollup every 100 ms on a thread of its own (one small
// read each), the peak kept by phase.
class MemorySampler
{
public:
    struct Peak
    {
        double pss = 0;
        double privateMiB = 0;
        double anonymous = 0;
    };

    explicit MemorySampler(qint64 pid) : m_path("/proc/" + std::to_string(pid) + "/smaps_rollup")
    {
        m_thread = std::thread([this] { run(); });
    }
    ~MemorySampler()
    {
        m_stop = true;
        m_thread.join();
    }
    void setPhase(int phase)
    {
        std::lock_guard lock(m_mutex);
        m_phase = phase;
        if (phase >= 0 && static_cast<size_t>(phase) >= m_peaks.size()) {
            m_peaks.resize(static_cast<size_t>(phase) + 1);
        }
    }
    Peak peak(int phase)
    {
        std::lock_guard lock(m_mutex);
        return static_cast<size_t>(phase) < m_peaks.size() ? m_peaks[static_cast<size_t>(phase)] : Peak();
    }

private:
    static double field(const char* text, const char* name)
    {
        const char* at = std::strstr(text, name);
        return at ? std::strtod(at + std::strlen(name), nullptr) / 1024.0 : 0.0;
    }

    void run()
    {
        auto next = Clock::now();
        while (!m_stop) {
            char text[4096];
            const int fd = ::open(m_path.c_str(), O_RDONLY | O_CLOEXEC);
            const ssize_t size = fd >= 0 ? ::read(fd, text, sizeof text - 1) : -1;
            if (fd >= 0) {
                ::close(fd);
            }
            if (size > 0) {
                text[size] = '\0';
                const Peak now{field(text, "\nPss:"),
                               field(text, "\nPrivate_Clean:") + field(text, "\nPrivate_Dirty:"),
                               field(text, "\nAnonymous:")};
                std::lock_guard lock(m_mutex);
                if (m_phase >= 0) {
                    Peak& peak = m_peaks[static_cast<size_t>(m_phase)];
                    peak.pss = std::max(peak.pss, now.pss);
                    peak.privateMiB = std::max(peak.privateMiB, now.privateMiB);
                    peak.anonymous = std::max(peak.anonymous, now.anonymous);
                }
            }
            next += std::chrono::milliseconds(100);
            std::this_thread::sleep_until(next);
        }
    }

    std::string m_path;
    std::atomic<bool> m_stop{false};
    std::mutex m_mutex;
    int m_phase = -1;
    std::vector<Peak> m_peaks;
    std::thread m_thread;
};

// One keep-alive TLS connection sending the same request again and again: at a fixed interval, or
// as soon as the answer before has arrived (interval zero). Reconnects after a failure. The same code
// drives the legitimate client, the throughput runs against the server and against nginx.
class RequestLoop : public std::enable_shared_from_this<RequestLoop>
{
public:
    RequestLoop(asio::io_context& io, std::shared_ptr<ssl::context> tls, quint16 port, std::string local,
                std::string request, Clock::duration interval, Recorder* recorder, Recorder::Kind kind,
                size_t minimumBody)
        : m_io(io), m_tls(std::move(tls)), m_port(port), m_local(std::move(local)),
          m_request(std::move(request)), m_interval(interval), m_timer(io), m_recorder(recorder),
          m_kind(kind), m_minimumBody(minimumBody)
    {
    }

    void start() { connect(); }

private:
    void connect()
    {
        m_stream.emplace(m_io, *m_tls);
        m_buffer.clear();
        connectTls(*m_stream, m_local, m_port, [self = shared_from_this()](ErrorCode error) {
            if (error) {
                self->retry();
            } else {
                self->send();
            }
        });
    }

    void retry()
    {
        m_recorder->add(m_kind, false, 0);
        auto self = shared_from_this();
        m_timer.expires_after(std::chrono::milliseconds(100));
        m_timer.async_wait([self](ErrorCode code) {
            if (!code) {
                self->connect();
            }
        });
    }

    void send()
    {
        m_sent = Clock::now();
        auto self = shared_from_this();
        asio::async_write(*m_stream, asio::buffer(m_request), [self](ErrorCode code, size_t) {
            if (code) {
                self->retry();
                return;
            }
            self->m_parser.emplace();
            self->m_parser->body_limit(kDownloadBytes);
            http::async_read(*self->m_stream, self->m_buffer, *self->m_parser,
                             [self](ErrorCode error, size_t) { self->answered(error); });
        });
    }

    void answered(ErrorCode code)
    {
        if (code) {
            retry();
            return;
        }
        const auto& answer = m_parser->get();
        const bool ok = answer.result_int() == 200 && answer.body().size() >= m_minimumBody;
        m_recorder->add(m_kind, ok, msSince(m_sent));
        if (!answer.keep_alive()) {
            connect();
            return;
        }
        if (m_interval == Clock::duration::zero()) {
            send();
            return;
        }
        auto self = shared_from_this();
        m_timer.expires_at(m_sent + m_interval);
        m_timer.async_wait([self](ErrorCode error) {
            if (!error) {
                self->send();
            }
        });
    }

    asio::io_context& m_io;
    std::shared_ptr<ssl::context> m_tls;
    quint16 m_port;
    std::string m_local;
    std::string m_request;
    Clock::duration m_interval;
    asio::steady_timer m_timer;
    Recorder* m_recorder;
    Recorder::Kind m_kind;
    size_t m_minimumBody;
    std::optional<TlsStream> m_stream;
    boost::beast::flat_buffer m_buffer;
    std::optional<http::response_parser<http::string_body>> m_parser;
    Clock::time_point m_sent;
};

std::string heartbeatRequest(const QByteArray& token)
{
    return "POST /api/v1/account/session/heartbeat HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer " +
           token.toStdString() + "\r\nContent-Type: application/json\r\nContent-Length: 0\r\n\r\n";
}

// ---- Hostile clients. Each connection object lives in the handlers waiting on it; results go to
// plain shared structures read once the client's thread has stopped.

struct PreHandshakeResults
{
    long long opened = 0;
    long long failed = 0;
};

// 500 connections a second over 10 addresses, each closed as soon as it is established.
class PreHandshakeCloser : public std::enable_shared_from_this<PreHandshakeCloser>
{
public:
    PreHandshakeCloser(asio::io_context& io, quint16 port, std::shared_ptr<PreHandshakeResults> results)
        : m_io(io), m_port(port), m_timer(io), m_results(std::move(results))
    {
    }
    void start()
    {
        m_next = Clock::now();
        tick();
    }

private:
    void tick()
    {
        if (m_inFlight < 256) {
            auto socket = std::make_shared<tcp::socket>(m_io);
            if (openFrom(*socket, loopback(2, 1 + static_cast<int>(m_count++ % 10)))) {
                ++m_inFlight;
                auto self = shared_from_this();
                socket->async_connect({asio::ip::make_address("127.0.0.1"), m_port},
                                      [self, socket](ErrorCode code) {
                                          ++(code ? self->m_results->failed : self->m_results->opened);
                                          ErrorCode ignored;
                                          socket->close(ignored);
                                          --self->m_inFlight;
                                      });
            }
        }
        m_next += std::chrono::milliseconds(2);
        m_timer.expires_at(m_next);
        auto self = shared_from_this();
        m_timer.async_wait([self](ErrorCode code) {
            if (!code) {
                self->tick();
            }
        });
    }

    asio::io_context& m_io;
    quint16 m_port;
    asio::steady_timer m_timer;
    std::shared_ptr<PreHandshakeResults> m_results;
    Clock::time_point m_next;
    long long m_count = 0;
    int m_inFlight = 0;
};

struct SilentResults
{
    long long opened = 0;
    long long failed = 0;
    int openNow = 0;
    int peakOpen = 0;
    std::vector<double> heldSeconds; // until the server closed it
};

// A TCP connection that never sends a byte, reopened 100 ms after the server closes it.
class SilentConnection : public std::enable_shared_from_this<SilentConnection>
{
public:
    SilentConnection(asio::io_context& io, quint16 port, std::string local,
                     std::shared_ptr<SilentResults> results)
        : m_socket(io), m_timer(io), m_port(port), m_local(std::move(local)), m_results(std::move(results))
    {
    }
    void start()
    {
        ErrorCode ignored;
        m_socket.close(ignored);
        if (!openFrom(m_socket, m_local)) {
            again();
            return;
        }
        auto self = shared_from_this();
        m_socket.async_connect({asio::ip::make_address("127.0.0.1"), m_port}, [self](ErrorCode code) {
            if (code) {
                ++self->m_results->failed;
                self->again();
                return;
            }
            SilentResults& results = *self->m_results;
            ++results.opened;
            results.peakOpen = std::max(results.peakOpen, ++results.openNow);
            self->m_opened = Clock::now();
            self->m_socket.async_read_some(asio::buffer(self->m_byte), [self](ErrorCode, size_t) {
                --self->m_results->openNow;
                self->m_results->heldSeconds.push_back(msSince(self->m_opened) / 1000.0);
                self->again();
            });
        });
    }

private:
    void again()
    {
        auto self = shared_from_this();
        m_timer.expires_after(std::chrono::milliseconds(100));
        m_timer.async_wait([self](ErrorCode code) {
            if (!code) {
                self->start();
            }
        });
    }

    tcp::socket m_socket;
    asio::steady_timer m_timer;
    quint16 m_port;
    std::string m_local;
    std::shared_ptr<SilentResults> m_results;
    Clock::time_point m_opened;
    char m_byte[1];
};

struct PipelinerResults
{
    long long connections = 0;
    long long bytesWritten = 0;
    std::atomic<long long> cutOffs{0};
    std::vector<double> secondsToCutOff;
};

// Pipelined health checks written over TLS as fast as the server takes them; nothing is ever read.
class NonReadingPipeliner : public std::enable_shared_from_this<NonReadingPipeliner>
{
public:
    NonReadingPipeliner(asio::io_context& io, std::shared_ptr<ssl::context> tls, quint16 port,
                        std::shared_ptr<PipelinerResults> results)
        : m_io(io), m_tls(std::move(tls)), m_port(port), m_timer(io), m_results(std::move(results))
    {
        for (int i = 0; i < 1000; ++i) {
            m_batch += "GET /api/v1/health HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
        }
    }
    void start()
    {
        m_stream.emplace(m_io, *m_tls);
        connectTls(*m_stream, loopback(4, 1), m_port, [self = shared_from_this()](ErrorCode error) {
            if (error) {
                self->again();
                return;
            }
            ++self->m_results->connections;
            self->m_connected = Clock::now();
            self->write();
        });
    }

private:
    void write()
    {
        auto self = shared_from_this();
        asio::async_write(*m_stream, asio::buffer(m_batch), [self](ErrorCode code, size_t written) {
            self->m_results->bytesWritten += static_cast<long long>(written);
            if (code) {
                ++self->m_results->cutOffs;
                self->m_results->secondsToCutOff.push_back(msSince(self->m_connected) / 1000.0);
                self->again();
            } else {
                self->write();
            }
        });
    }

    void again()
    {
        auto self = shared_from_this();
        m_timer.expires_after(std::chrono::milliseconds(100));
        m_timer.async_wait([self](ErrorCode code) {
            if (!code) {
                self->start();
            }
        });
    }

    asio::io_context& m_io;
    std::shared_ptr<ssl::context> m_tls;
    quint16 m_port;
    asio::steady_timer m_timer;
    std::shared_ptr<PipelinerResults> m_results;
    std::optional<TlsStream> m_stream;
    std::string m_batch;
    Clock::time_point m_connected;
};

struct SlowReaderResults
{
    std::atomic<bool> done{false};
    int status = 0;
    qint64 contentLength = -1;
    qint64 bodyBytes = 0;
    QByteArray sha256;
    double seconds = 0;
    std::string error;
};

// GET of a large download read at about 1 MiB/s (a 64 KiB receive buffer, so that the server meets
// the slowness instead of the kernel soaking it up), hashed as it arrives.
class SlowReader : public std::enable_shared_from_this<SlowReader>
{
public:
    SlowReader(asio::io_context& io, std::shared_ptr<ssl::context> tls, quint16 port, std::string path,
               std::shared_ptr<SlowReaderResults> results)
        : m_stream(io, *tls), m_tls(std::move(tls)), m_timer(io), m_port(port),
          m_request("GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"), m_results(std::move(results))
    {
    }
    void start()
    {
        m_started = Clock::now();
        if (!openFrom(m_stream.next_layer(), loopback(5, 1), 64 * 1024)) {
            finish("cannot open a socket");
            return;
        }
        auto self = shared_from_this();
        m_stream.next_layer().async_connect(
            {asio::ip::make_address("127.0.0.1"), m_port}, [self](ErrorCode code) {
                if (code) {
                    self->finish(code.message());
                    return;
                }
                self->m_stream.async_handshake(ssl::stream_base::client, [self](ErrorCode failure) {
                    if (failure) {
                        self->finish(failure.message());
                        return;
                    }
                    asio::async_write(self->m_stream, asio::buffer(self->m_request),
                                      [self](ErrorCode error, size_t) {
                                          if (error) {
                                              self->finish(error.message());
                                              return;
                                          }
                                          self->m_next = Clock::now();
                                          self->tick();
                                      });
                });
            });
    }

private:
    static constexpr auto kTick = std::chrono::milliseconds(50);

    void tick()
    {
        m_budget += static_cast<qint64>(kSlowReadBytesPerSecond * 0.05);
        read();
    }

    void read()
    {
        if (m_budget <= 0) {
            m_next += kTick;
            m_timer.expires_at(m_next);
            auto self = shared_from_this();
            m_timer.async_wait([self](ErrorCode code) {
                if (!code) {
                    self->tick();
                }
            });
            return;
        }
        auto self = shared_from_this();
        m_stream.async_read_some(
            asio::buffer(m_chunk, static_cast<size_t>(std::min<qint64>(m_budget, sizeof m_chunk))),
            [self](ErrorCode code, size_t size) {
                self->m_budget -= static_cast<qint64>(size);
                if (self->take(self->m_chunk, size)) {
                    return;
                }
                if (code) {
                    self->finish(code.message());
                } else {
                    self->read();
                }
            });
    }

    // True once the answer is complete (or refused).
    bool take(const char* data, size_t size)
    {
        if (m_results->contentLength < 0) {
            m_head.append(data, static_cast<qsizetype>(size));
            const qsizetype end = m_head.indexOf("\r\n\r\n");
            if (end < 0) {
                return false;
            }
            m_results->status = m_head.mid(9, 3).toInt();
            const QByteArray lower = m_head.left(end).toLower();
            const qsizetype at = lower.indexOf("\r\ncontent-length:");
            m_results->contentLength =
                at < 0 ? 0
                       : lower.mid(at + 17, lower.indexOf("\r\n", at + 2) - at - 17).trimmed().toLongLong();
            const QByteArray body = m_head.mid(end + 4);
            m_head.clear();
            if (m_results->status != 200) {
                finish("status " + std::to_string(m_results->status));
                return true;
            }
            m_hash.addData(body);
            m_results->bodyBytes += body.size();
        } else {
            m_hash.addData(QByteArrayView(data, static_cast<qsizetype>(size)));
            m_results->bodyBytes += static_cast<qint64>(size);
        }
        if (m_results->bodyBytes >= m_results->contentLength) {
            finish({});
            return true;
        }
        return false;
    }

    void finish(const std::string& error)
    {
        if (m_results->done) {
            return;
        }
        m_results->error = error;
        m_results->sha256 = m_hash.result();
        m_results->seconds = msSince(m_started) / 1000.0;
        m_results->done = true;
        ErrorCode ignored;
        m_stream.next_layer().close(ignored);
    }

    TlsStream m_stream;
    std::shared_ptr<ssl::context> m_tls;
    asio::steady_timer m_timer;
    quint16 m_port;
    std::string m_request;
    std::shared_ptr<SlowReaderResults> m_results;
    QCryptographicHash m_hash{QCryptographicHash::Sha256};
    QByteArray m_head;
    char m_chunk[16 * 1024];
    qint64 m_budget = 0;
    Clock::time_point m_started;
    Clock::time_point m_next;
};

struct SlowLorisResults
{
    int handshakes = 0;
    std::atomic<int> failed{0};
    std::atomic<int> cutOff{0};
    int answered408 = 0;
    std::vector<double> secondsToCutOff;
};

// A head trickled one byte every 3 s over TLS; the time from its first byte to the server's close.
class SlowLoris : public std::enable_shared_from_this<SlowLoris>
{
public:
    SlowLoris(asio::io_context& io, std::shared_ptr<ssl::context> tls, quint16 port, std::string local,
              Clock::duration firstDelay, std::shared_ptr<SlowLorisResults> results)
        : m_stream(io, *tls), m_tls(std::move(tls)), m_timer(io), m_port(port), m_local(std::move(local)),
          m_firstDelay(firstDelay), m_results(std::move(results))
    {
        m_head = "GET /api/v1/health HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: " + std::string(400, 'a');
    }
    void start()
    {
        connectTls(m_stream, m_local, m_port, [self = shared_from_this()](ErrorCode failure) {
            if (failure) {
                ++self->m_results->failed;
                return;
            }
            ++self->m_results->handshakes;
            self->m_stream.async_read_some(
                asio::buffer(self->m_answer),
                [self](ErrorCode error, size_t count) { self->readSome(error, count); });
            self->m_timer.expires_after(self->m_firstDelay);
            self->m_timer.async_wait([self](ErrorCode error) {
                if (!error) {
                    self->trickle();
                }
            });
        });
    }

private:
    void trickle()
    {
        if (m_cut || m_sent >= m_head.size()) {
            return;
        }
        if (m_sent == 0) {
            m_firstByte = Clock::now();
        }
        auto self = shared_from_this();
        asio::async_write(m_stream, asio::buffer(&m_head[m_sent++], 1), [self](ErrorCode code, size_t) {
            if (code) {
                self->cut();
                return;
            }
            self->m_timer.expires_after(kSlowLorisByteInterval);
            self->m_timer.async_wait([self](ErrorCode error) {
                if (!error) {
                    self->trickle();
                }
            });
        });
    }

    void readSome(ErrorCode code, size_t size)
    {
        if (!code) {
            if (!m_seenAnswer && size >= 12 && std::string(m_answer, 12) == "HTTP/1.1 408") {
                ++m_results->answered408;
            }
            m_seenAnswer = true;
            auto self = shared_from_this();
            m_stream.async_read_some(asio::buffer(m_answer),
                                     [self](ErrorCode error, size_t count) { self->readSome(error, count); });
            return;
        }
        cut();
    }

    void cut()
    {
        if (m_cut) {
            return;
        }
        m_cut = true;
        if (m_sent > 0) {
            ++m_results->cutOff;
            m_results->secondsToCutOff.push_back(msSince(m_firstByte) / 1000.0);
        }
        m_timer.cancel();
        ErrorCode ignored;
        m_stream.next_layer().close(ignored);
    }

    TlsStream m_stream;
    std::shared_ptr<ssl::context> m_tls;
    asio::steady_timer m_timer;
    quint16 m_port;
    std::string m_local;
    Clock::duration m_firstDelay;
    std::shared_ptr<SlowLorisResults> m_results;
    std::string m_head;
    size_t m_sent = 0;
    bool m_cut = false;
    bool m_seenAnswer = false;
    char m_answer[1024];
    Clock::time_point m_firstByte;
};

struct FloodResults
{
    std::map<int, long long> statuses; // 0: the connection failed
    std::vector<double> ms;
};

// New accounts, one after another on a keep-alive connection, each with an e-mail never used before.
class RegistrationFlooder : public std::enable_shared_from_this<RegistrationFlooder>
{
public:
    RegistrationFlooder(asio::io_context& io, std::shared_ptr<ssl::context> tls, quint16 port,
                        std::string prefix, std::shared_ptr<long long> counter,
                        std::shared_ptr<FloodResults> results)
        : m_io(io), m_tls(std::move(tls)), m_timer(io), m_port(port), m_prefix(std::move(prefix)),
          m_counter(std::move(counter)), m_results(std::move(results))
    {
    }
    void start()
    {
        m_stream.emplace(m_io, *m_tls);
        m_buffer.clear();
        connectTls(*m_stream, loopback(7, 1), m_port, [self = shared_from_this()](ErrorCode error) {
            if (error) {
                self->again();
            } else {
                self->send();
            }
        });
    }

private:
    void send()
    {
        const std::string n = std::to_string(++*m_counter);
        const std::string body = R"({"name":"Flood )" + n + R"(","email":")" + m_prefix + n +
                                 R"(@example.com","password":"flood-password-1234","accept_terms":true,)"
                                 R"("client_id":"flood-)" +
                                 n + R"(","client_name":"flood"})";
        m_request =
            "POST /api/v1/auth/register HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
            "Content-Length: " +
            std::to_string(body.size()) + "\r\n\r\n" + body;
        m_sent = Clock::now();
        auto self = shared_from_this();
        asio::async_write(*m_stream, asio::buffer(m_request), [self](ErrorCode code, size_t) {
            if (code) {
                self->again();
                return;
            }
            self->m_parser.emplace();
            http::async_read(
                *self->m_stream, self->m_buffer, *self->m_parser, [self](ErrorCode error, size_t) {
                    if (error) {
                        self->again();
                        return;
                    }
                    ++self->m_results->statuses[static_cast<int>(self->m_parser->get().result_int())];
                    self->m_results->ms.push_back(msSince(self->m_sent));
                    if (self->m_parser->get().keep_alive()) {
                        self->send();
                    } else {
                        self->start();
                    }
                });
        });
    }

    void again()
    {
        ++m_results->statuses[0];
        auto self = shared_from_this();
        m_timer.expires_after(std::chrono::milliseconds(100));
        m_timer.async_wait([self](ErrorCode code) {
            if (!code) {
                self->start();
            }
        });
    }

    asio::io_context& m_io;
    std::shared_ptr<ssl::context> m_tls;
    asio::steady_timer m_timer;
    quint16 m_port;
    std::string m_prefix;
    std::shared_ptr<long long> m_counter;
    std::shared_ptr<FloodResults> m_results;
    std::optional<TlsStream> m_stream;
    boost::beast::flat_buffer m_buffer;
    std::optional<http::response_parser<http::string_body>> m_parser;
    std::string m_request;
    Clock::time_point m_sent;
};

// ---- Phases.

struct Goals
{
    bool latency = true;
    bool memory = true;
    bool slowReader = true;
    bool slowLoris = true;
};

QString ms(double value)
{
    return QString::number(value, 'f', value < 10 ? 2 : 1);
}

// Runs one hostile client (none for the baseline) on a thread of its own for the period, and on until
// `finished` says so or `longest` has passed; prints the legitimate client's figures and the peak memory.
void runPhase(int index, const QString& name, Recorder* recorder, MemorySampler* sampler, Goals* goals,
              const std::function<void(asio::io_context&)>& setup, const std::function<bool()>& finished = {},
              std::chrono::seconds longest = kPeriod)
{
    std::printf("\n== %s (load average %s)\n", qPrintable(name), qPrintable(ProcessFigures::loadAverage()));
    std::fflush(stdout);
    auto attack = std::make_unique<IoThread>();
    if (setup) {
        setup(attack->io());
    }
    attack->start();
    const auto started = Clock::now();
    recorder->setPhase(index);
    sampler->setPhase(index);
    std::this_thread::sleep_for(kPeriod);
    while (finished && !finished() && Clock::now() - started < longest) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    const double seconds = msSince(started) / 1000.0;
    recorder->setPhase(-1);
    sampler->setPhase(-1);
    attack->stop(); // the results are read from here on, the thread no longer runs
    const Recorder::Samples samples = recorder->samples(index);
    const MemorySampler::Peak peak = sampler->peak(index);
    const double heartbeat99 = ProcessFigures::percentile(samples.heartbeats, 0.99);
    const double sync99 = ProcessFigures::percentile(samples.syncs, 0.99);
    std::printf(
        "%.1f s; legitimate client: %zu heartbeats (%lld failed) p50 %s p99 %s max %s ms; %zu host-sync GETs "
        "(%lld failed) p50 %s p99 %s max %s ms; server peak PSS %.1f MiB, private %.1f MiB, "
        "anonymous %.1f MiB\n",
        seconds, samples.heartbeats.size(), samples.heartbeatFailures,
        qPrintable(ms(ProcessFigures::percentile(samples.heartbeats, 0.5))), qPrintable(ms(heartbeat99)),
        qPrintable(ms(ProcessFigures::maximum(samples.heartbeats))), samples.syncs.size(),
        samples.syncFailures, qPrintable(ms(ProcessFigures::percentile(samples.syncs, 0.5))),
        qPrintable(ms(sync99)), qPrintable(ms(ProcessFigures::maximum(samples.syncs))), peak.pss,
        peak.privateMiB, peak.anonymous);
    ProcessFigures::printSummary(
        name + QStringLiteral(": heartbeat p50 / p99 ms (count, failed)"),
        QStringLiteral("%1 / %2 (%3, %4)")
            .arg(ms(ProcessFigures::percentile(samples.heartbeats, 0.5)), ms(heartbeat99))
            .arg(samples.heartbeats.size())
            .arg(samples.heartbeatFailures));
    ProcessFigures::printSummary(name + QStringLiteral(": host-sync GET p50 / p99 ms (count, failed)"),
                                 QStringLiteral("%1 / %2 (%3, %4)")
                                     .arg(ms(ProcessFigures::percentile(samples.syncs, 0.5)), ms(sync99))
                                     .arg(samples.syncs.size())
                                     .arg(samples.syncFailures));
    ProcessFigures::printSummary(name + QStringLiteral(": server peak PSS / private / anonymous MiB"),
                                 QStringLiteral("%1 / %2 / %3")
                                     .arg(peak.pss, 0, 'f', 1)
                                     .arg(peak.privateMiB, 0, 'f', 1)
                                     .arg(peak.anonymous, 0, 'f', 1));
    goals->latency = goals->latency && heartbeat99 < 250 && sync99 < 250 && samples.heartbeatFailures == 0 &&
                     samples.syncFailures == 0;
    goals->memory = goals->memory && peak.pss < 256 && peak.privateMiB < 256;
    attack.reset();
    std::this_thread::sleep_for(kSettle);
}

QString valueRange(const std::vector<double>& values)
{
    if (values.empty()) {
        return QStringLiteral("none");
    }
    return QStringLiteral("%1 / %2 / %3")
        .arg(*std::min_element(values.begin(), values.end()), 0, 'f', 2)
        .arg(ProcessFigures::percentile(values, 0.5), 0, 'f', 2)
        .arg(ProcessFigures::maximum(values), 0, 'f', 2);
}

// Heartbeats back to back on 64 keep-alive connections (16 from each of four addresses, under the
// server's cap): 2 s warm-up, 10 s counted. Returns requests per second.
double throughput(const QString& label, quint16 port, const std::string& caPath, const QByteArray& token)
{
    Recorder recorder;
    IoThread load;
    auto tls = clientTls(caPath);
    for (int i = 0; i < kThroughputConnections; ++i) {
        std::make_shared<RequestLoop>(load.io(), tls, port, loopback(8, 1 + i % 4), heartbeatRequest(token),
                                      Clock::duration::zero(), &recorder, Recorder::Heartbeat, 0)
            ->start();
    }
    load.start();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const auto started = Clock::now();
    recorder.setPhase(0);
    std::this_thread::sleep_for(std::chrono::seconds(10));
    recorder.setPhase(-1);
    const double seconds = msSince(started) / 1000.0;
    load.stop();
    const Recorder::Samples samples = recorder.samples(0);
    const double rate = static_cast<double>(samples.heartbeats.size()) / seconds;
    std::printf("%s: %zu answers in %.2f s (%lld failed), %.0f/s, p50 %s p99 %s ms\n", qPrintable(label),
                samples.heartbeats.size(), seconds, samples.heartbeatFailures, rate,
                qPrintable(ms(ProcessFigures::percentile(samples.heartbeats, 0.5))),
                qPrintable(ms(ProcessFigures::percentile(samples.heartbeats, 0.99))));
    ProcessFigures::printSummary(label + QStringLiteral(" heartbeats/s"), QString::number(rate, 'f', 0));
    return samples.heartbeatFailures == 0 ? rate : 0;
}

QString verdict(bool met)
{
    return met ? QStringLiteral("met") : QStringLiteral("MISSED");
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    AccountTestServer server;
    QString error;
    // The shipped limits, written out: the test helper otherwise lifts the registration limit.
    AccountTestServer::Options options;
    options.extraConfig = QStringLiteral("[limits]\nregistrations_per_address = 10\n");
    if (!server.start(options, &error)) {
        std::fprintf(stderr, "the account server did not start: %s\n", qPrintable(error));
        return 1;
    }
    const std::string caPath = server.caCertificatePath().toStdString();

    // The legitimate account: made by the administration command, signed in once, a 4 MiB snapshot.
    const QString email = QStringLiteral("legitimate@example.com");
    if (!server.addUser(email, QStringLiteral("Legitimate"), kPassword, &error)) {
        std::fprintf(stderr, "cannot add the user: %s\n", qPrintable(error));
        return 1;
    }
    HttpTestClient client(server.clientConfiguration());
    const HttpTestClient::Reply signedIn =
        client.post(server.url(QStringLiteral("/api/v1/auth/login")),
                    {{QStringLiteral("email"), email},
                     {QStringLiteral("password"), kPassword},
                     {QStringLiteral("client_id"), QStringLiteral("legitimate-pc")},
                     {QStringLiteral("client_name"), QStringLiteral("legitimate")}});
    const QByteArray token = signedIn.json.value(QStringLiteral("access_token")).toString().toLatin1();
    if (token.isEmpty()) {
        std::fprintf(stderr, "sign-in failed: %d %s\n", signedIn.status, signedIn.body.constData());
        return 1;
    }
    QByteArray random(3 * 1024 * 1024, Qt::Uninitialized);
    QRandomGenerator::global()->fillRange(reinterpret_cast<quint32*>(random.data()), random.size() / 4);
    const QString payload =
        QStringLiteral("NIMBARA-SYNC-1.") +
        QString::fromLatin1(random.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
    const HttpTestClient::Reply stored = client.put(server.url(QStringLiteral("/api/v1/account/host-sync")),
                                                    {{QStringLiteral("payload"), payload},
                                                     {QStringLiteral("device_count"), 10000},
                                                     {QStringLiteral("expected_revision"), 0}},
                                                    token);
    if (stored.status != 200) {
        std::fprintf(stderr, "cannot store the snapshot: %d %s\n", stored.status, stored.body.constData());
        return 1;
    }

    // The download for the slow reader.
    QByteArray download(kDownloadBytes, Qt::Uninitialized);
    QRandomGenerator::global()->fillRange(reinterpret_cast<quint32*>(download.data()), download.size() / 4);
    const QByteArray downloadHash = QCryptographicHash::hash(download, QCryptographicHash::Sha256);
    {
        QDir().mkpath(server.updateDirectory());
        QFile file(server.updateDirectory() + QStringLiteral("/attack-64m.bin"));
        if (!file.open(QIODevice::WriteOnly) || file.write(download) != download.size()) {
            std::fprintf(stderr, "cannot write the download\n");
            return 1;
        }
    }
    download = QByteArray();

    // Heartbeat throughput: the server, nginx with one worker and nginx with one per core, taking turns
    // (the machine's speed drifts between minutes); each round gives one ratio.
    std::printf("== heartbeat throughput, %d keep-alive connections (load average %s)\n",
                kThroughputConnections, qPrintable(ProcessFigures::loadAverage()));
    const QString workers[2] = {QStringLiteral("1"), QStringLiteral("auto")};
    NginxPeer nginx[2];
    for (int i = 0; i < 2; ++i) {
        if (!nginx[i].start(workers[i], server.directory() + QStringLiteral("/server.crt"),
                            server.directory() + QStringLiteral("/server.key"),
                            QStringLiteral("/api/v1/account/session/heartbeat"),
                            QByteArrayLiteral("{\"ok\":true}"), &error)) {
            std::fprintf(stderr, "%s\n", qPrintable(error));
            return 1;
        }
    }
    std::vector<double> ratios[2];
    bool throughputFailed = false;
    for (int round = 0; round < kThroughputRounds; ++round) {
        const double serverRate = throughput(QStringLiteral("account server"), server.port(), caPath, token);
        throughputFailed = throughputFailed || serverRate <= 0;
        for (int i = 0; i < 2; ++i) {
            const double nginxRate = throughput(QStringLiteral("nginx worker_processes %1").arg(workers[i]),
                                                nginx[i].port(), caPath, token);
            ratios[i].push_back(nginxRate > 0 ? serverRate / nginxRate : 0);
        }
    }
    const bool throughputMet = ProcessFigures::percentile(ratios[0], 0.5) >= 0.6;
    ProcessFigures::printSummary(
        QStringLiteral("server / nginx (1 worker) heartbeat ratio min / median / max"),
        valueRange(ratios[0]));
    ProcessFigures::printSummary(
        QStringLiteral("server / nginx (auto workers) heartbeat ratio min / median / max"),
        valueRange(ratios[1]));
    if (app.arguments().contains(QStringLiteral("--throughput-only"))) {
        return throughputFailed ? 1 : 0; // the attacks are left out
    }

    // The legitimate client, on for every phase.
    Recorder recorder;
    MemorySampler sampler(server.processId());
    IoThread legitimate;
    {
        auto tls = clientTls(caPath);
        for (int i = 0; i < kLegitimateHeartbeatConnections; ++i) {
            std::make_shared<RequestLoop>(legitimate.io(), tls, server.port(), loopback(1, 1),
                                          heartbeatRequest(token), kHeartbeatInterval, &recorder,
                                          Recorder::Heartbeat, 0)
                ->start();
        }
        const std::string sync =
            "GET /api/v1/account/host-sync HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer " +
            token.toStdString() + "\r\n\r\n";
        std::make_shared<RequestLoop>(legitimate.io(), tls, server.port(), loopback(1, 1), sync,
                                      kSyncInterval, &recorder, Recorder::Sync,
                                      static_cast<size_t>(payload.size()))
            ->start();
    }
    legitimate.start();
    std::this_thread::sleep_for(std::chrono::seconds(2));

    Goals goals;
    const quint16 port = server.port();
    int phase = 0;
    runPhase(phase++, QStringLiteral("baseline"), &recorder, &sampler, &goals, {});

    auto preHandshake = std::make_shared<PreHandshakeResults>();
    runPhase(
        phase++, QStringLiteral("1 pre-handshake closes"), &recorder, &sampler, &goals,
        [&](asio::io_context& io) { std::make_shared<PreHandshakeCloser>(io, port, preHandshake)->start(); });
    std::printf("%lld connections opened and closed (%lld not established)\n", preHandshake->opened,
                preHandshake->failed);

    auto silent = std::make_shared<SilentResults>();
    runPhase(phase++, QStringLiteral("2 silent connections"), &recorder, &sampler, &goals,
             [&](asio::io_context& io) {
                 for (int i = 0; i < 10 * kPerAddressCap; ++i) {
                     std::make_shared<SilentConnection>(io, port, loopback(3, 1 + i / kPerAddressCap), silent)
                         ->start();
                 }
             });
    std::printf("%lld connections opened (%lld failed), at most %d open at once, held by the server for %s s "
                "(min / median / max of %zu)\n",
                silent->opened, silent->failed, silent->peakOpen, qPrintable(valueRange(silent->heldSeconds)),
                silent->heldSeconds.size());
    ProcessFigures::printSummary(QStringLiteral("2 silent connections: most open at once"),
                                 QString::number(silent->peakOpen));

    auto pipeliner = std::make_shared<PipelinerResults>();
    runPhase(
        phase++, QStringLiteral("3 non-reading pipeliner"), &recorder, &sampler, &goals,
        [&](asio::io_context& io) {
            std::make_shared<NonReadingPipeliner>(io, clientTls(caPath), port, pipeliner)->start();
        },
        [&] { return pipeliner->cutOffs > 0; }, std::chrono::seconds(45));
    std::printf("%lld connections, %lld bytes of requests taken by the server, %lld cut off (after %s s)\n",
                pipeliner->connections, pipeliner->bytesWritten, pipeliner->cutOffs.load(),
                qPrintable(valueRange(pipeliner->secondsToCutOff)));
    ProcessFigures::printSummary(
        QStringLiteral("3 non-reading pipeliner: request bytes taken, cut off"),
        QStringLiteral("%1, %2").arg(pipeliner->bytesWritten).arg(pipeliner->cutOffs.load()));

    auto slowReader = std::make_shared<SlowReaderResults>();
    runPhase(
        phase++, QStringLiteral("4 slow reader of 64 MiB"), &recorder, &sampler, &goals,
        [&](asio::io_context& io) {
            std::make_shared<SlowReader>(io, clientTls(caPath), port, "/downloads/attack-64m.bin", slowReader)
                ->start();
        },
        [&] { return slowReader->done.load(); }, std::chrono::seconds(150));
    const bool slowComplete = slowReader->done && slowReader->status == 200 &&
                              slowReader->bodyBytes == kDownloadBytes && slowReader->sha256 == downloadHash;
    goals.slowReader = slowComplete;
    std::printf("status %d, %lld of %lld bytes in %.1f s (%.2f MiB/s), SHA-256 %s%s%s\n", slowReader->status,
                static_cast<long long>(slowReader->bodyBytes), static_cast<long long>(kDownloadBytes),
                slowReader->seconds,
                static_cast<double>(slowReader->bodyBytes) / 1048576.0 / slowReader->seconds,
                slowReader->sha256 == downloadHash ? "matches" : "differs",
                slowReader->error.empty() ? "" : ", ended by: ", slowReader->error.c_str());
    ProcessFigures::printSummary(
        QStringLiteral("4 slow reader: bytes received, complete"),
        QStringLiteral("%1, %2").arg(slowReader->bodyBytes).arg(slowComplete ? "yes" : "NO"));

    auto loris = std::make_shared<SlowLorisResults>();
    runPhase(
        phase++, QStringLiteral("5 slow-loris heads"), &recorder, &sampler, &goals,
        [&](asio::io_context& io) {
            auto tls = clientTls(caPath);
            for (int i = 0; i < kSlowLorisConnections; ++i) {
                const auto delay = std::chrono::milliseconds(QRandomGenerator::global()->bounded(3000));
                std::make_shared<SlowLoris>(io, tls, port, loopback(6, 1 + i / 20), delay, loris)->start();
            }
        },
        [&] { return loris->cutOff + loris->failed >= kSlowLorisConnections; }, std::chrono::seconds(80));
    const bool lorisMet = loris->cutOff == kSlowLorisConnections && !loris->secondsToCutOff.empty() &&
                          ProcessFigures::maximum(loris->secondsToCutOff) <= 30.5;
    goals.slowLoris = lorisMet;
    std::printf(
        "%d heads started, %d connections failed, %d cut off (%d with a 408 answer) after min / median / "
        "max %s s from the head's first byte\n",
        loris->handshakes, loris->failed.load(), loris->cutOff.load(), loris->answered408,
        qPrintable(valueRange(loris->secondsToCutOff)));
    ProcessFigures::printSummary(
        QStringLiteral("5 slow-loris: cut off, s from first byte min / median / max"),
        QStringLiteral("%1 of %2, %3")
            .arg(loris->cutOff.load())
            .arg(kSlowLorisConnections)
            .arg(valueRange(loris->secondsToCutOff)));

    auto flood = std::make_shared<FloodResults>();
    const std::string prefix = "flood-" + std::to_string(QRandomGenerator::global()->generate()) + "-";
    runPhase(phase++, QStringLiteral("6 registration flood"), &recorder, &sampler, &goals,
             [&](asio::io_context& io) {
                 auto tls = clientTls(caPath);
                 auto counter = std::make_shared<long long>(0);
                 for (int i = 0; i < kPerAddressCap; ++i) {
                     std::make_shared<RegistrationFlooder>(io, tls, port, prefix, counter, flood)->start();
                 }
             });
    QString statuses;
    for (const auto& [status, count] : flood->statuses) {
        statuses += QStringLiteral(" %1: %2")
                        .arg(status == 0 ? QStringLiteral("no answer") : QString::number(status))
                        .arg(count);
    }
    std::printf("answers by status:%s; answer time p50 %s ms, max %s ms\n", qPrintable(statuses),
                qPrintable(ms(ProcessFigures::percentile(flood->ms, 0.5))),
                qPrintable(ms(ProcessFigures::maximum(flood->ms))));
    ProcessFigures::printSummary(QStringLiteral("6 registration flood: answers by status"),
                                 statuses.trimmed());

    legitimate.stop();
    std::printf("\n");
    ProcessFigures::printSummary(QStringLiteral("goal: legitimate p99 < 250 ms, nothing failed, every phase"),
                                 verdict(goals.latency));
    ProcessFigures::printSummary(QStringLiteral("goal: server peak memory < 256 MiB"), verdict(goals.memory));
    ProcessFigures::printSummary(QStringLiteral("goal: the slow reader gets every byte"),
                                 verdict(goals.slowReader));
    ProcessFigures::printSummary(QStringLiteral("goal: slow-loris heads cut off within 30 s"),
                                 verdict(goals.slowLoris));
    ProcessFigures::printSummary(
        QStringLiteral("goal: server heartbeats >= 0.6 x nginx (1 worker), median round"),
        verdict(throughputMet));
    return slowComplete && !throughputFailed ? 0 : 1;
}
