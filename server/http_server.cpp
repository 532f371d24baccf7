#include "http_server.h"

#include <QFile>
#include <QSslCertificate>
#include <QSslKey>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>
#include <thread>
#include <unordered_map>

namespace asio = boost::asio;
using boost::system::error_code;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kAcceptPauseMs = 100;

qint64 elapsedMs(Clock::time_point started)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count();
}

// The answer as it goes to the connection; a file that cannot be opened (or is no regular file)
// becomes a 404.
HttpConnection::Outgoing prepare(HttpResponse response)
{
    HttpConnection::Outgoing outgoing;
    if (!response.filePath.isEmpty()) {
        const int descriptor =
            ::open(QFile::encodeName(response.filePath).constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        struct stat status
        {
        };
        if (descriptor < 0 || ::fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
            if (descriptor >= 0) {
                ::close(descriptor);
            }
            response = HttpResponse::error(404, QStringLiteral("not found"));
        } else {
            outgoing.fileDescriptor = descriptor;
            outgoing.fileSize = status.st_size;
        }
    }
    outgoing.response = std::move(response);
    return outgoing;
}

} // namespace

class HttpServer::Core : public HttpConnectionHost, public std::enable_shared_from_this<HttpServer::Core>
{
public:
    explicit Core(HttpServer* server) : m_server(server) {}

    HttpConnection::Limits limits() const override
    {
        std::lock_guard lock(m_mutex);
        return m_limits;
    }
    void setLimits(const HttpConnection::Limits& limits)
    {
        std::lock_guard lock(m_mutex);
        m_limits = limits;
    }
    void setMaxConnections(int count)
    {
        std::lock_guard lock(m_mutex);
        m_maxConnections = count;
    }
    void setPerAddress(int count, bool exemptLoopback)
    {
        std::lock_guard lock(m_mutex);
        m_perAddress = count;
        m_exemptLoopback = exemptLoopback;
    }
    int connectionCount() const { return m_count.load(); }
    quint16 port() const { return m_port; }

    bool listen(const QHostAddress& address, quint16 port, const std::optional<QSslConfiguration>& tls,
                QString* error)
    {
        if (m_thread.joinable()) {
            *error = QStringLiteral("already listening");
            return false;
        }
        if (tls && !makeTlsContext(*tls, error)) {
            return false;
        }
        m_context = std::make_unique<asio::io_context>(1);
        m_acceptor = std::make_unique<asio::ip::tcp::acceptor>(*m_context);
        error_code code;
        const asio::ip::tcp::endpoint endpoint(asio::ip::make_address(address.toString().toStdString(), code),
                                               port);
        if (code) {
            *error = QStringLiteral("invalid address %1").arg(address.toString());
            return false;
        }
        m_acceptor->open(endpoint.protocol(), code);
        if (!code) {
            m_acceptor->set_option(asio::socket_base::reuse_address(true), code);
        }
        if (!code) {
            m_acceptor->bind(endpoint, code);
        }
        if (!code) {
            m_acceptor->listen(asio::socket_base::max_listen_connections, code);
        }
        if (code) {
            *error = QString::fromStdString(code.message());
            m_acceptor.reset();
            m_context.reset();
            return false;
        }
        m_port = m_acceptor->local_endpoint(code).port();
        m_pauseTimer = std::make_unique<asio::steady_timer>(*m_context);
        accept();
        m_thread = std::thread([context = m_context.get()] {
            pthread_setname_np(pthread_self(), "http-io");
            context->run();
        });
        return true;
    }

    // Ends every connection and the I/O thread; the application's callbacks are not called again.
    void stop()
    {
        {
            std::lock_guard lock(m_mutex);
            m_stopped = true;
        }
        if (!m_thread.joinable()) {
            return;
        }
        asio::post(*m_context, [this] {
            error_code ignored;
            m_acceptor->close(ignored);
            m_pauseTimer->cancel();
            std::vector<std::shared_ptr<HttpConnection>> open;
            for (const auto& [key, weak] : m_live) {
                if (auto connection = weak.lock()) {
                    open.push_back(connection);
                }
            }
            for (const auto& connection : open) {
                connection->abort();
            }
            m_context->stop();
        });
        m_thread.join();
        // What waited for either thread holds connections, which must go before their I/O context.
        std::vector<std::function<void()>> toServer;
        std::vector<std::function<void()>> toIo;
        {
            std::lock_guard lock(m_mutex);
            toServer.swap(m_toServer);
            toIo.swap(m_toIo);
        }
        toServer.clear();
        toIo.clear();
        m_pauseTimer.reset();
        m_acceptor.reset();
        m_context.reset(); // destroys what was still queued, and with it the last connections
        m_tls.reset();
    }

    // ---- HttpConnectionHost ----

    void admit(std::shared_ptr<const HttpRequest> head, qint64 contentLength,
               std::function<void(std::optional<HttpResponse>)> done) override
    {
        post([this, head, contentLength, done = std::move(done)] {
            std::optional<HttpResponse> refusal;
            if (m_server->m_admission) {
                refusal = m_server->m_admission(*head, contentLength);
            }
            if (refusal && m_server->m_accessLog) {
                m_server->m_accessLog(*head, refusal->status, 0);
            }
            done(std::move(refusal));
        });
    }

    void handle(std::shared_ptr<const HttpRequest> request, Clock::time_point started,
                std::shared_ptr<std::atomic<bool>> gone, Deliver deliver) override
    {
        post([this, request, started, gone, deliver = std::move(deliver)] {
            HttpServer* server = m_server;
            auto answered = std::make_shared<bool>(false);
            HttpResponder respond = [server, request, started, gone, deliver,
                                     answered](HttpResponse response) {
                // A late answer (the client left, the server stopped) or a second one goes nowhere.
                if (*answered || gone->load()) {
                    return;
                }
                *answered = true;
                HttpConnection::Outgoing outgoing = prepare(std::move(response));
                if (server->m_accessLog) {
                    server->m_accessLog(*request, outgoing.response.status, elapsedMs(started));
                }
                deliver(std::move(outgoing));
            };
            if (server->m_handler) {
                server->m_handler(*request, std::move(respond));
            } else {
                respond(HttpResponse::error(404, QStringLiteral("not found")));
            }
        });
    }

    void log(std::shared_ptr<const HttpRequest> request, int status, Clock::time_point started) override
    {
        const qint64 elapsed = elapsedMs(started);
        post([this, request, status, elapsed] {
            if (m_server->m_accessLog) {
                m_server->m_accessLog(*request, status, elapsed);
            }
        });
    }

    void toIo(std::function<void()> work) override
    {
        bool wake = false;
        {
            std::lock_guard lock(m_mutex);
            if (m_stopped) {
                return;
            }
            wake = m_toIo.empty() && !m_holdToIo;
            m_toIo.push_back(std::move(work));
        }
        if (wake) {
            beforeAnswers();
            asio::post(*m_context, [this] { runToIo(); });
        }
    }

    void connectionOpened(const std::shared_ptr<HttpConnection>& connection) override
    {
        m_live.emplace(connection.get(), connection);
    }

    void connectionClosed(const HttpConnection* connection, const QHostAddress& peer) override
    {
        m_live.erase(connection);
        const QString key = HttpRequest::clientKey(peer);
        const auto it = m_perAddressCount.find(key);
        if (it != m_perAddressCount.end() && --it.value() <= 0) {
            m_perAddressCount.erase(it);
        }
        --m_count;
    }

private:
    // Runs `work` on the server's thread unless the server has stopped. What the I/O thread hands
    // over in one turn of its loop goes over in one wake-up of the server's thread (the wake-ups, not
    // the work, cost most under load).
    void post(std::function<void()> work)
    {
        bool flush = false;
        {
            std::lock_guard lock(m_mutex);
            if (m_stopped) {
                return;
            }
            flush = m_toServer.empty();
            m_toServer.push_back(std::move(work));
        }
        if (flush) {
            // Posted work runs after the completions already queued in this turn.
            asio::post(*m_context, [this] {
                std::lock_guard lock(m_mutex);
                if (!m_stopped) {
                    QMetaObject::invokeMethod(
                        m_server, [this] { runToServer(); }, Qt::QueuedConnection);
                }
            });
        }
    }

    // On the server's thread.
    void runToServer()
    {
        std::vector<std::function<void()>> batch;
        {
            std::lock_guard lock(m_mutex);
            if (m_stopped) {
                return;
            }
            batch.swap(m_toServer);
            m_holdToIo = true; // the answers made now go over together, after the batch
        }
        if (m_server->m_batchStarted) {
            m_server->m_batchStarted();
        }
        for (auto& work : batch) {
            work();
        }
        batch.clear();   // before the answers go: what the work captured is released on this thread
        beforeAnswers(); // also without answers: it ends the batch
        bool wake = false;
        {
            std::lock_guard lock(m_mutex);
            m_holdToIo = false;
            wake = !m_toIo.empty() && !m_stopped;
        }
        if (wake) {
            asio::post(*m_context, [this] { runToIo(); });
        }
    }

    void beforeAnswers()
    {
        if (m_server->m_beforeAnswers) {
            m_server->m_beforeAnswers();
        }
    }

    // On the I/O thread.
    void runToIo()
    {
        std::vector<std::function<void()>> batch;
        {
            std::lock_guard lock(m_mutex);
            batch.swap(m_toIo);
        }
        for (auto& work : batch) {
            work();
        }
    }

    bool makeTlsContext(const QSslConfiguration& configuration, QString* error)
    {
        m_tls = std::make_unique<asio::ssl::context>(asio::ssl::context::tls_server);
        m_tls->set_options(asio::ssl::context::default_workarounds | asio::ssl::context::no_sslv2 |
                           asio::ssl::context::no_sslv3 | asio::ssl::context::no_tlsv1 |
                           asio::ssl::context::no_tlsv1_1 | asio::ssl::context::single_dh_use);
        // A client may not make the server redo handshakes on an open connection.
        SSL_CTX_set_options(m_tls->native_handle(), SSL_OP_NO_RENEGOTIATION);
        // An idle keep-alive connection gives its record buffers back instead of holding 34 KiB.
        SSL_CTX_set_mode(m_tls->native_handle(), SSL_MODE_RELEASE_BUFFERS);
        QByteArray chain;
        for (const QSslCertificate& certificate : configuration.localCertificateChain()) {
            chain += certificate.toPem();
        }
        if (chain.isEmpty() && !configuration.localCertificate().isNull()) {
            chain = configuration.localCertificate().toPem();
        }
        QByteArray key = configuration.privateKey().toPem();
        error_code code;
        m_tls->use_certificate_chain(asio::buffer(chain.constData(), chain.size()), code);
        if (!code) {
            m_tls->use_private_key(asio::buffer(key.constData(), key.size()), asio::ssl::context::pem, code);
        }
        key.fill('\0');
        if (code) {
            *error = QStringLiteral("TLS certificate or key not usable: %1")
                         .arg(QString::fromStdString(code.message()));
            m_tls.reset();
            return false;
        }
        return true;
    }

    void accept()
    {
        m_acceptor->async_accept(
            *m_context, // one thread runs every connection: no strand needed
            [self = shared_from_this()](const error_code& error, asio::ip::tcp::socket socket) {
                self->accepted(error, std::move(socket));
            });
    }

    void accepted(const error_code& error, asio::ip::tcp::socket socket)
    {
        if (error == asio::error::operation_aborted || !m_acceptor->is_open()) {
            return;
        }
        if (error) {
            // Out of descriptors or memory: the connection waits in the backlog; try again shortly
            // instead of giving up the listener.
            m_pauseTimer->expires_after(std::chrono::milliseconds(kAcceptPauseMs));
            m_pauseTimer->async_wait([self = shared_from_this()](const error_code& waitError) {
                if (!waitError) {
                    self->accept();
                }
            });
            return;
        }
        error_code code;
        const asio::ip::tcp::endpoint remote = socket.remote_endpoint(code);
        if (code) {
            accept(); // gone before it was looked at
            return;
        }
        QHostAddress peer(QString::fromStdString(remote.address().to_string()));
        bool isV4 = false;
        const quint32 v4 = peer.toIPv4Address(&isV4);
        if (isV4 && peer.protocol() == QAbstractSocket::IPv6Protocol) {
            peer = QHostAddress(v4); // a v4-mapped address is that v4 address
        }
        int maxConnections = 0;
        int perAddress = 0;
        bool exemptLoopback = false;
        {
            std::lock_guard lock(m_mutex);
            maxConnections = m_maxConnections;
            perAddress = m_perAddress;
            exemptLoopback = m_exemptLoopback;
        }
        const QString key = HttpRequest::clientKey(peer);
        const bool limited = perAddress > 0 && !(exemptLoopback && peer.isLoopback());
        if (m_count.load() >= maxConnections || (limited && m_perAddressCount.value(key) >= perAddress)) {
            socket.close(code);
            accept();
            return;
        }
        ++m_count;
        ++m_perAddressCount[key];
        HttpConnection::start(std::move(socket), m_tls.get(), peer, shared_from_this());
        accept();
    }

    HttpServer* m_server;
    mutable std::mutex m_mutex;
    bool m_stopped = false;
    // Work waiting for the other thread, each list taken whole by one wake-up.
    std::vector<std::function<void()>> m_toServer;
    std::vector<std::function<void()>> m_toIo;
    bool m_holdToIo = false; // the server's thread is running a batch
    HttpConnection::Limits m_limits;
    int m_maxConnections = 2048;
    int m_perAddress = 0;
    bool m_exemptLoopback = false;

    std::atomic<int> m_count{0};
    quint16 m_port = 0;
    // I/O thread only.
    QHash<QString, int> m_perAddressCount;
    std::unordered_map<const HttpConnection*, std::weak_ptr<HttpConnection>> m_live;

    std::unique_ptr<asio::ssl::context> m_tls;
    std::unique_ptr<asio::io_context> m_context;
    std::unique_ptr<asio::ip::tcp::acceptor> m_acceptor;
    std::unique_ptr<asio::steady_timer> m_pauseTimer;
    std::thread m_thread;
};

HttpServer::HttpServer(QObject* parent) : QObject(parent), m_core(std::make_shared<Core>(this)) {}

HttpServer::~HttpServer()
{
    m_core->stop();
}

void HttpServer::setLimits(const HttpConnection::Limits& limits)
{
    m_core->setLimits(limits);
}

void HttpServer::setMaxConnections(int count)
{
    m_core->setMaxConnections(count);
}

void HttpServer::setMaxConnectionsPerAddress(int count, bool exemptLoopback)
{
    m_core->setPerAddress(count, exemptLoopback);
}

bool HttpServer::listen(const QHostAddress& address, quint16 port,
                        const std::optional<QSslConfiguration>& tls, QString* error)
{
    QString ignored;
    return m_core->listen(address, port, tls, error ? error : &ignored);
}

quint16 HttpServer::port() const
{
    return m_core->port();
}

int HttpServer::connectionCount() const
{
    return m_core->connectionCount();
}
