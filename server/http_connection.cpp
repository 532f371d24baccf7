#include "http_connection.h"

#include <QUrl>

#include <boost/asio/post.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/parser.hpp>

#include <unistd.h>

#include <array>
#include <limits>
#include <string>
#include <vector>

namespace asio = boost::asio;
namespace http = boost::beast::http;
using boost::system::error_code;
using Clock = std::chrono::steady_clock;

namespace {

// One TLS record; every connection that has begun to read holds a buffer of this size.
constexpr std::size_t kReadChunkBytes = 16 * 1024;
// A body announced larger grows as it arrives instead of being allocated whole from its head.
constexpr qsizetype kBodyReserveBytes = 1024 * 1024;
// An answer goes out in pieces of this size; the next piece is made once the socket took the last.
constexpr std::size_t kWriteChunkBytes = 64 * 1024;
// After an answer that closes the connection, what the client still sends is read and dropped for
// at most this much (closing with unread input resets the connection under the answer).
constexpr qint64 kLingerBytes = 1024 * 1024;
constexpr int kLingerMs = 5000;

bool isDigits(std::string_view text)
{
    if (text.empty() || text.size() > 18) {
        return false;
    }
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return true;
}

QByteArray bytes(boost::beast::string_view text)
{
    return QByteArray(text.data(), static_cast<qsizetype>(text.size()));
}

// A header value that would end the head (the application made it from outside input).
bool isSafeHeaderValue(const QByteArray& value)
{
    for (const char c : value) {
        if (c == '\r' || c == '\n' || c == '\0') {
            return false;
        }
    }
    return true;
}

QByteArray responseHead(const HttpResponse& response, qint64 length, bool close)
{
    QByteArray head = "HTTP/1.1 " + QByteArray::number(response.status) + ' ' +
                      HttpResponse::reasonPhrase(response.status) + "\r\n";
    head += "Content-Type: " + response.contentType + "\r\n";
    head += "Content-Length: " + QByteArray::number(length) + "\r\n";
    head += "Cache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\n";
    for (const auto& [name, value] : response.headers) {
        if (isSafeHeaderValue(name) && isSafeHeaderValue(value)) {
            head += name + ": " + value + "\r\n";
        }
    }
    head += close ? "Connection: close\r\n\r\n" : "Connection: keep-alive\r\n\r\n";
    return head;
}

template <class Stream> struct StreamOps;

template <> struct StreamOps<asio::ip::tcp::socket>
{
    static asio::ip::tcp::socket& socket(asio::ip::tcp::socket& stream) { return stream; }
};

template <> struct StreamOps<asio::ssl::stream<asio::ip::tcp::socket>>
{
    static asio::ip::tcp::socket& socket(asio::ssl::stream<asio::ip::tcp::socket>& stream)
    {
        return stream.next_layer();
    }
};

template <class Stream>
class Connection final : public HttpConnection, public std::enable_shared_from_this<Connection<Stream>>
{
public:
    Connection(const QHostAddress& peer, std::shared_ptr<HttpConnectionHost> host,
               asio::ip::tcp::socket socket, asio::ssl::context* tls)
        : m_socket(std::move(socket)), m_tlsContext(tls), m_timer(m_socket.get_executor()),
          m_host(std::move(host)), m_limits(m_host->limits()), m_peer(peer)
    {
        if constexpr (std::is_same_v<Stream, asio::ip::tcp::socket>) {
            m_stream.emplace(std::move(m_socket));
        }
    }

    ~Connection() override { finish(); }

    void run()
    {
        error_code ignored;
        socket().set_option(asio::ip::tcp::no_delay(true), ignored);
        if constexpr (std::is_same_v<Stream, asio::ip::tcp::socket>) {
            waitForHead();
        } else {
            m_phase = Phase::Handshake;
            arm(m_limits.handshakeTimeoutMs);
            // The TLS state and its buffers (some 70 KiB) are made once the client sends something: a
            // connection that stays silent holds a socket and a timer until its deadline.
            m_socket.async_wait(
                asio::socket_base::wait_read, [self = this->shared_from_this()](const error_code& error) {
                    if (self->m_phase != Phase::Handshake) {
                        return;
                    }
                    if (error) {
                        self->close();
                        return;
                    }
                    self->m_stream.emplace(std::move(self->m_socket), *self->m_tlsContext);
                    self->m_stream->async_handshake(asio::ssl::stream_base::server,
                                                    [self](const error_code& handshakeError) {
                                                        if (self->m_phase != Phase::Handshake) {
                                                            return;
                                                        }
                                                        if (handshakeError) {
                                                            self->close();
                                                            return;
                                                        }
                                                        self->waitForHead();
                                                    });
                });
        }
    }

    void abort() override { close(); }

    asio::ip::tcp::socket& socket() { return m_stream ? StreamOps<Stream>::socket(*m_stream) : m_socket; }

private:
    enum class Phase {
        Handshake,
        Head,      // reading a request head (m_headStarted tells whether a byte of it came)
        Admitting, // the host decides whether the body may come
        Body,
        Waiting, // the handler has the request
        Writing,
        Draining, // refused before its body: reading and dropping the body so the answer arrives
        Closing,
        Closed,
    };

    // ---- timer ----

    void arm(int ms) { armUntil(Clock::now() + std::chrono::milliseconds(ms)); }

    // Deadlines move on every request; the timer is reset only when one comes earlier than the wait
    // under way (a wait that ends early waits on for the current deadline): resetting costs a system
    // call and an allocation each time.
    void armUntil(Clock::time_point deadline)
    {
        m_deadline = deadline;
        if (m_timerPending && m_timerExpiry <= deadline) {
            return;
        }
        startTimer(deadline);
    }

    void startTimer(Clock::time_point at)
    {
        const quint64 generation = ++m_timerGeneration;
        m_timerPending = true;
        m_timerExpiry = at;
        m_timer.expires_at(at); // ends the wait under way, if any
        m_timer.async_wait([self = this->shared_from_this(), generation](const error_code& error) {
            if (generation != self->m_timerGeneration) {
                return; // replaced by a later wait
            }
            self->m_timerPending = false;
            if (error || self->m_deadline == Clock::time_point::max()) {
                return;
            }
            if (Clock::now() < self->m_deadline) {
                self->startTimer(self->m_deadline);
                return;
            }
            self->m_deadline = Clock::time_point::max();
            self->onTimeout();
        });
    }

    // No deadline; a wait under way ends without effect.
    void disarm() { m_deadline = Clock::time_point::max(); }

    void stopTimer()
    {
        disarm();
        ++m_timerGeneration;
        m_timerPending = false;
        m_timer.cancel();
    }

    void onTimeout()
    {
        switch (m_phase) {
        case Phase::Head:
            if (!m_headStarted) {
                close(); // idle: nobody is waiting for an answer
                return;
            }
            [[fallthrough]];
        case Phase::Body:
            cancelRead();
            refuse(HttpResponse::error(408, QStringLiteral("request timed out")), 0);
            return;
        case Phase::Draining:
            cancelRead();
            linger();
            return;
        case Phase::Admitting:
        case Phase::Waiting:
            return;
        case Phase::Handshake:
        case Phase::Writing:
        case Phase::Closing:
        case Phase::Closed:
            close();
            return;
        }
    }

    // ---- reading ----

    // Stops the read under way, if any: its continuation will not run, but what it already received
    // is kept (a pipelined request must not be lost to a cancellation that came too late).
    void cancelRead()
    {
        m_afterRead = nullptr;
        if (m_readPending) {
            error_code ignored;
            socket().cancel(ignored);
        }
    }

    // Reads once more; `then` runs with what came appended to m_input.
    void readMore(std::function<void()> then)
    {
        m_afterRead = std::move(then);
        if (m_readPending) {
            return; // a cancelled read still finishing: it picks up the continuation
        }
        m_readPending = true;
        if (!m_readBuffer) {
            m_readBuffer.reset(new std::array<char, kReadChunkBytes>); // no need to clear it
        }
        m_stream->async_read_some(
            asio::buffer(*m_readBuffer),
            [self = this->shared_from_this()](const error_code& error, std::size_t count) {
                self->m_readPending = false;
                self->m_input.append(self->m_readBuffer->data(), count);
                if (self->m_phase == Phase::Closed) {
                    return;
                }
                std::function<void()> next = std::exchange(self->m_afterRead, nullptr);
                if (error == asio::error::operation_aborted && count == 0) {
                    if (next) {
                        self->readMore(std::move(next)); // asked for again after the cancellation
                    }
                    return;
                }
                if (error) {
                    self->close(); // the client left or broke the connection
                    return;
                }
                if (next) {
                    next();
                }
            });
    }

    // While the handler works, the connection keeps reading to notice a client that leaves, and keeps
    // what arrives (the next pipelined request) up to one head's worth.
    void watchWhileWaiting()
    {
        if (static_cast<qsizetype>(m_input.size()) >= m_limits.maxHeadBytes + 4) {
            return;
        }
        readMore([this] {
            if (m_phase == Phase::Waiting || m_phase == Phase::Admitting) {
                watchWhileWaiting();
            }
        });
    }

    void waitForHead()
    {
        m_phase = Phase::Head;
        m_headStarted = false;
        m_keepSelf.reset();
        arm(m_limits.idleTimeoutMs);
        processHead();
    }

    void processHead()
    {
        // Blank lines before a request line are allowed (and ignored).
        std::size_t skip = 0;
        while (m_input.compare(skip, 2, "\r\n") == 0) {
            skip += 2;
        }
        m_input.erase(0, skip);
        if (m_input.empty()) {
            readMore([this] { processHead(); });
            return;
        }
        if (!m_headStarted) {
            // From the first byte the whole head has one deadline, however it trickles in.
            m_headStarted = true;
            arm(m_limits.stallTimeoutMs);
        }
        const std::size_t limit = static_cast<std::size_t>(m_limits.maxHeadBytes);
        const std::size_t end = m_input.find("\r\n\r\n");
        if (end == std::string::npos || end > limit) {
            if (m_input.size() > limit + 3 || end != std::string::npos) {
                refuse(HttpResponse::error(431, QStringLiteral("request head too large")), 0);
                return;
            }
            readMore([this] { processHead(); });
            return;
        }
        const std::string head = m_input.substr(0, end + 4);
        m_input.erase(0, end + 4);
        m_started = Clock::now();
        parseHead(head);
    }

    void parseHead(const std::string& head)
    {
        auto request = std::make_shared<HttpRequest>();
        request->peer = m_peer;
        m_request = request;
        auto fail = [this](int status, const char* text) {
            refuse(HttpResponse::error(status, QString::fromLatin1(text)), 0);
        };

        // What the parser tolerates but a request must not carry: a version other than 1.x (answered
        // as such), folded header lines (read differently by different parsers), too many fields.
        const std::size_t lineEnd = head.find("\r\n");
        const std::string requestLine = head.substr(0, lineEnd);
        const std::size_t lastSpace = requestLine.rfind(' ');
        const std::string version =
            lastSpace == std::string::npos ? std::string() : requestLine.substr(lastSpace + 1);
        if (std::count(requestLine.begin(), requestLine.end(), ' ') == 2 && version.rfind("HTTP/", 0) == 0 &&
            version != "HTTP/1.1" && version != "HTTP/1.0") {
            fail(505, "HTTP version not supported");
            return;
        }
        if (head.find("\r\n ") != std::string::npos || head.find("\r\n\t") != std::string::npos) {
            fail(400, "malformed header field");
            return;
        }
        int fields = 0;
        for (std::size_t at = lineEnd + 2; at < head.size() - 2; at = head.find("\r\n", at) + 2) {
            ++fields;
        }
        if (fields > m_limits.maxHeaderCount) {
            fail(431, "too many header fields");
            return;
        }

        http::request_parser<http::empty_body> parser;
        parser.eager(false);
        parser.header_limit(static_cast<std::uint32_t>(head.size()));
        parser.body_limit(std::numeric_limits<std::uint64_t>::max()); // the body is read apart
        error_code error;
        parser.put(asio::buffer(head), error);
        if (error == http::error::need_more && parser.is_header_done()) {
            error = {}; // the body is read apart
        }
        if (error || !parser.is_header_done()) {
            if (error == http::error::header_limit) {
                fail(431, "request head too large");
            } else if (error == http::error::bad_transfer_encoding) {
                fail(411, "send the body with a Content-Length");
            } else {
                fail(400, "malformed request");
            }
            return;
        }
        const auto& message = parser.get();
        const auto target = message.target();
        if (target.empty() || target.front() != '/') {
            fail(400, "malformed request line");
            return;
        }
        if (message.version() != 11 && message.version() != 10) {
            fail(505, "HTTP version not supported");
            return;
        }
        for (const auto& field : message) {
            request->headers.append({bytes(field.name_string()).toLower(), bytes(field.value())});
        }
        if (message.count(http::field::transfer_encoding) > 0) {
            fail(411, "send the body with a Content-Length");
            return;
        }
        for (auto range = message.equal_range(http::field::content_length); range.first != range.second;
             ++range.first) {
            if (!isDigits(std::string_view(range.first->value().data(), range.first->value().size()))) {
                fail(400, "invalid Content-Length");
                return;
            }
        }
        request->method = bytes(message.method_string());
        const std::string_view rawTarget(target.data(), target.size());
        const std::string_view pathPart = rawTarget.substr(0, rawTarget.find('?'));
        request->path =
            QUrl::fromPercentEncoding(QByteArray(pathPart.data(), static_cast<qsizetype>(pathPart.size())));
        m_keepAlive = message.keep_alive();
        m_contentLength = parser.content_length() ? static_cast<qint64>(*parser.content_length()) : 0;
        m_expectContinue =
            bytes(message[http::field::expect]).compare("100-continue", Qt::CaseInsensitive) == 0;
        if (m_contentLength > m_limits.maxBodyBytes) {
            refuse(HttpResponse::error(413, QStringLiteral("request body too large")), m_contentLength);
            return;
        }
        if (m_contentLength == 0) {
            dispatch();
            return;
        }
        m_phase = Phase::Admitting;
        disarm();
        m_keepSelf = this->shared_from_this();
        const quint64 sequence = ++m_sequence;
        std::weak_ptr<Connection> weak = this->shared_from_this();
        // No executor is kept in the callback: it may outlive the server's I/O context (a handler that
        // holds its responder); a connection that still exists means the context does too.
        m_host->admit(request, m_contentLength, [weak, sequence](std::optional<HttpResponse> refusal) {
            if (auto self = weak.lock()) {
                self->m_host->toIo([self, sequence, refusal = std::move(refusal)]() mutable {
                    self->admitted(sequence, std::move(refusal));
                });
            }
        });
        watchWhileWaiting();
    }

    void admitted(quint64 sequence, std::optional<HttpResponse> refusal)
    {
        if (m_phase != Phase::Admitting || sequence != m_sequence) {
            return;
        }
        m_keepSelf.reset();
        if (refusal) {
            const qint64 buffered = qMin<qint64>(m_contentLength, static_cast<qint64>(m_input.size()));
            m_input.erase(0, static_cast<std::size_t>(buffered));
            sendRefusal(std::move(*refusal), m_contentLength - buffered);
            return;
        }
        m_phase = Phase::Body;
        arm(m_limits.stallTimeoutMs);
        if (m_expectContinue && static_cast<qint64>(m_input.size()) < m_contentLength) {
            static const std::string kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
            m_continuePending = true;
            asio::async_write(*m_stream, asio::buffer(kContinue),
                              [self = this->shared_from_this()](const error_code& error, std::size_t) {
                                  self->m_continuePending = false;
                                  if (error) {
                                      self->close();
                                  } else if (self->m_answerAfterContinue && self->m_phase == Phase::Writing) {
                                      self->m_answerAfterContinue = false;
                                      self->writeNext(true);
                                  }
                              });
        }
        m_request->body.reserve(static_cast<qsizetype>(qMin<qint64>(m_contentLength, kBodyReserveBytes)));
        processBody();
    }

    void processBody()
    {
        const qint64 missing = m_contentLength - m_request->body.size();
        const std::size_t take =
            static_cast<std::size_t>(qMin<qint64>(missing, static_cast<qint64>(m_input.size())));
        if (take > 0) {
            m_request->body.append(m_input.data(), static_cast<qsizetype>(take));
            m_input.erase(0, take);
            arm(m_limits.stallTimeoutMs); // it moved
        }
        if (m_request->body.size() < m_contentLength) {
            readMore([this] { processBody(); });
            return;
        }
        dispatch();
    }

    void dispatch()
    {
        m_phase = Phase::Waiting;
        disarm();
        m_keepSelf = this->shared_from_this();
        const quint64 sequence = ++m_sequence;
        std::weak_ptr<Connection> weak = this->shared_from_this();
        m_host->handle(m_request, m_started, m_gone, [weak, sequence](Outgoing outgoing) {
            if (auto self = weak.lock()) {
                self->m_host->toIo([self, sequence, outgoing = std::move(outgoing)]() mutable {
                    self->answered(sequence, std::move(outgoing));
                });
            } else if (outgoing.fileDescriptor >= 0) {
                ::close(outgoing.fileDescriptor);
            }
        });
        watchWhileWaiting();
    }

    void answered(quint64 sequence, Outgoing outgoing)
    {
        if (m_phase != Phase::Waiting || sequence != m_sequence) {
            if (outgoing.fileDescriptor >= 0) {
                ::close(outgoing.fileDescriptor);
            }
            return;
        }
        m_keepSelf.reset();
        const bool close = outgoing.response.closeConnection || !m_keepAlive;
        send(std::move(outgoing), close, 0);
    }

    // ---- writing ----

    // A refusal made by the connection itself (logged here; the host logs the handler's answers).
    void refuse(HttpResponse response, qint64 drain)
    {
        m_host->log(m_request ? m_request : std::make_shared<HttpRequest>(), response.status, m_started);
        sendRefusal(std::move(response), drain);
    }

    void sendRefusal(HttpResponse response, qint64 drain)
    {
        Outgoing outgoing;
        outgoing.response = std::move(response);
        send(std::move(outgoing), true, drain);
    }

    void send(Outgoing outgoing, bool close, qint64 drain)
    {
        if (m_phase == Phase::Closed) {
            if (outgoing.fileDescriptor >= 0) {
                ::close(outgoing.fileDescriptor);
            }
            return;
        }
        cancelRead();
        m_phase = Phase::Writing;
        m_closeAfter = close;
        m_drainRemaining = drain;
        m_fileDescriptor = outgoing.fileDescriptor;
        m_fileOffset = 0;
        const qint64 length = m_fileDescriptor >= 0 ? outgoing.fileSize : outgoing.response.body.size();
        m_remaining = length;
        m_body = m_fileDescriptor >= 0 ? QByteArray() : std::move(outgoing.response.body);
        m_bodyOffset = 0;
        m_head = responseHead(outgoing.response, length, close);
        if (m_continuePending) {
            m_answerAfterContinue = true; // one write at a time on a stream
            arm(m_limits.stallTimeoutMs);
            return;
        }
        writeNext(true);
    }

    void writeNext(bool withHead)
    {
        std::vector<asio::const_buffer> buffers;
        if (withHead) {
            buffers.emplace_back(m_head.constData(), static_cast<std::size_t>(m_head.size()));
        }
        const std::size_t piece = static_cast<std::size_t>(qMin<qint64>(m_remaining, kWriteChunkBytes));
        if (piece > 0) {
            if (m_fileDescriptor >= 0) {
                m_fileBuffer.resize(piece);
                const ssize_t count = ::pread(m_fileDescriptor, m_fileBuffer.data(), piece, m_fileOffset);
                if (count <= 0) {
                    // The file shrank or cannot be read: the client sees a short body and a closed
                    // connection, never another answer's bytes.
                    close();
                    return;
                }
                m_fileOffset += count;
                buffers.emplace_back(m_fileBuffer.data(), static_cast<std::size_t>(count));
                m_remaining -= count;
            } else {
                buffers.emplace_back(m_body.constData() + m_bodyOffset, piece);
                m_bodyOffset += static_cast<qsizetype>(piece);
                m_remaining -= static_cast<qint64>(piece);
            }
        }
        if (buffers.empty()) {
            written();
            return;
        }
        arm(m_limits.stallTimeoutMs);
        asio::async_write(*m_stream, buffers,
                          [self = this->shared_from_this()](const error_code& error, std::size_t) {
                              if (self->m_phase != Phase::Writing) {
                                  return;
                              }
                              if (error) {
                                  self->close();
                                  return;
                              }
                              if (self->m_remaining > 0) {
                                  self->writeNext(false);
                              } else {
                                  self->written();
                              }
                          });
    }

    void written()
    {
        if (m_fileDescriptor >= 0) {
            ::close(m_fileDescriptor);
            m_fileDescriptor = -1;
        }
        m_body = QByteArray();
        m_head = QByteArray();
        m_request.reset();
        if (m_closeAfter) {
            if (m_drainRemaining > 0) {
                m_phase = Phase::Draining;
                arm(m_limits.stallTimeoutMs);
                drain();
                return;
            }
            linger();
            return;
        }
        // The next pipelined request, if any, on the next turn (no deep recursion).
        asio::post(socket().get_executor(), [self = this->shared_from_this()] {
            if (self->m_phase == Phase::Writing) {
                self->waitForHead();
            }
        });
    }

    void drain()
    {
        const qint64 take = qMin<qint64>(m_drainRemaining, static_cast<qint64>(m_input.size()));
        if (take > 0) {
            m_input.erase(0, static_cast<std::size_t>(take));
            m_drainRemaining -= take;
            arm(m_limits.stallTimeoutMs); // the drain lasts as long as the body moves
        }
        if (m_drainRemaining <= 0) {
            linger();
            return;
        }
        readMore([this] { drain(); });
    }

    // Ends the connection after its last answer without resetting it under that answer: the sending
    // side is closed first, then whatever the client still sends is dropped until it closes too.
    void linger()
    {
        cancelRead();
        m_phase = Phase::Closing;
        m_input.clear();
        arm(qMin(kLingerMs, m_limits.stallTimeoutMs));
        if constexpr (std::is_same_v<Stream, asio::ip::tcp::socket>) {
            error_code ignored;
            m_stream->shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
            lingerRead();
        } else {
            m_stream->async_shutdown([self = this->shared_from_this()](const error_code&) {
                if (self->m_phase != Phase::Closing) {
                    return;
                }
                error_code ignored;
                self->m_stream->next_layer().shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
                self->close();
            });
        }
    }

    void lingerRead()
    {
        readMore([this] {
            m_lingered += static_cast<qint64>(m_input.size());
            m_input.clear();
            if (m_lingered > kLingerBytes) {
                close();
                return;
            }
            lingerRead();
        });
    }

    void close()
    {
        if (m_phase == Phase::Closed) {
            return;
        }
        m_phase = Phase::Closed;
        stopTimer(); // its wait holds this object
        error_code ignored;
        socket().close(ignored);
        finish();
        m_keepSelf.reset(); // last: may end this object
    }

    void finish()
    {
        if (m_finished) {
            return;
        }
        m_finished = true;
        m_gone->store(true);
        if (m_fileDescriptor >= 0) {
            ::close(m_fileDescriptor);
            m_fileDescriptor = -1;
        }
        m_host->connectionClosed(this, m_peer);
    }

    // The socket until the stream is made of it (a TLS stream once the client has sent something).
    asio::ip::tcp::socket m_socket;
    asio::ssl::context* m_tlsContext;
    std::optional<Stream> m_stream;
    asio::steady_timer m_timer;
    std::shared_ptr<HttpConnectionHost> m_host;
    const Limits m_limits;
    const QHostAddress m_peer;
    std::shared_ptr<std::atomic<bool>> m_gone = std::make_shared<std::atomic<bool>>(false);
    // Holds this object while nothing else does (the host or the handler has the request).
    std::shared_ptr<Connection> m_keepSelf;

    Phase m_phase = Phase::Head;
    bool m_finished = false;
    bool m_headStarted = false;
    bool m_readPending = false;
    std::function<void()> m_afterRead;
    quint64 m_timerGeneration = 0;
    Clock::time_point m_deadline = Clock::time_point::max();
    Clock::time_point m_timerExpiry;
    bool m_timerPending = false;
    quint64 m_sequence = 0;
    std::unique_ptr<std::array<char, kReadChunkBytes>> m_readBuffer; // from the first read on
    std::string m_input; // at most one head plus one read beyond what is being worked on

    std::shared_ptr<HttpRequest> m_request;
    Clock::time_point m_started = Clock::now();
    qint64 m_contentLength = 0;
    bool m_keepAlive = true;
    bool m_expectContinue = false;

    bool m_continuePending = false;
    bool m_answerAfterContinue = false;
    bool m_closeAfter = false;
    qint64 m_drainRemaining = 0;
    qint64 m_lingered = 0;
    QByteArray m_head;
    QByteArray m_body;
    qsizetype m_bodyOffset = 0;
    qint64 m_remaining = 0;
    int m_fileDescriptor = -1;
    qint64 m_fileOffset = 0;
    std::vector<char> m_fileBuffer;
};

} // namespace

void HttpConnection::start(asio::ip::tcp::socket socket, asio::ssl::context* tls, const QHostAddress& peer,
                           std::shared_ptr<HttpConnectionHost> host)
{
    if (tls) {
        using Tls = asio::ssl::stream<asio::ip::tcp::socket>;
        auto connection = std::make_shared<Connection<Tls>>(peer, host, std::move(socket), tls);
        host->connectionOpened(connection);
        connection->run();
    } else {
        auto connection =
            std::make_shared<Connection<asio::ip::tcp::socket>>(peer, host, std::move(socket), nullptr);
        host->connectionOpened(connection);
        connection->run();
    }
}
