#pragma once

#include "http_message.h"

#include <QHostAddress>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

// Answers one request; may be called later (after a password hash on a worker thread, say). Calling
// it after the connection has gone, or a second time, does nothing. Called on the server's thread.
using HttpResponder = std::function<void(HttpResponse)>;

class HttpConnectionHost;

// One HTTP/1.1 connection (plain or TLS) on the server's I/O thread. Boost.Beast parses every request
// head; the connection frames it (a head of bounded size that must be complete within the head
// deadline, a body of exactly Content-Length bytes), asks the host whether a body may come before
// reading it, hands the complete request to the host and writes the answer in pieces, each one taken
// by the socket before the next is made: a client that does not read holds one piece of the server's
// memory, not the whole answer. One request at a time: a pipelined request is read once the answer
// before it has gone out.
class HttpConnection
{
public:
    using Handler = std::function<void(const HttpRequest&, HttpResponder)>;
    // Called with the request head (no body yet) and the announced body length when a body is
    // announced: a refusal is sent at once and the body is never buffered (an oversized upload, an
    // upload without a session).
    using Admission =
        std::function<std::optional<HttpResponse>(const HttpRequest& head, qint64 contentLength)>;
    using AccessLog = std::function<void(const HttpRequest&, int status, qint64 elapsedMs)>;

    struct Limits
    {
        qsizetype maxHeadBytes = 16 * 1024;
        int maxHeaderCount = 100;
        qint64 maxBodyBytes = 128LL * 1024 * 1024; // whatever the admission says
        int handshakeTimeoutMs = 10000;            // TLS handshake of a new connection
        int idleTimeoutMs = 60000;                 // no request under way
        // A head must be complete this long after its first byte (a head trickled byte by byte is
        // cut off all the same); a body, a drain or an answer that does not move for this long ends
        // the connection.
        int stallTimeoutMs = 30000;
    };

    // What an answer becomes on its way to the connection: a file is opened where the handler ran,
    // so that a missing one is logged as the 404 the client gets.
    struct Outgoing
    {
        HttpResponse response;
        int fileDescriptor = -1;
        qint64 fileSize = 0;
    };

    // Takes over an accepted socket; `tls` null for plain HTTP.
    static void start(boost::asio::ip::tcp::socket socket, boost::asio::ssl::context* tls,
                      const QHostAddress& peer, std::shared_ptr<HttpConnectionHost> host);

    virtual ~HttpConnection() = default;
    // Ends the connection at once (the server stops). On the I/O thread.
    virtual void abort() = 0;
};

// What connections need from the server. `admit`, `handle` and `log` are called on the I/O thread
// and run the application's callbacks on the server's thread.
class HttpConnectionHost
{
public:
    using Deliver = std::function<void(HttpConnection::Outgoing)>;

    virtual ~HttpConnectionHost() = default;
    virtual HttpConnection::Limits limits() const = 0;
    // `done` is called on the server's thread; it hands the result back to the connection.
    virtual void admit(std::shared_ptr<const HttpRequest> head, qint64 contentLength,
                       std::function<void(std::optional<HttpResponse>)> done) = 0;
    // `deliver` is called on the server's thread with the first answer while `gone` is false.
    virtual void handle(std::shared_ptr<const HttpRequest> request,
                        std::chrono::steady_clock::time_point started,
                        std::shared_ptr<std::atomic<bool>> gone, Deliver deliver) = 0;
    virtual void log(std::shared_ptr<const HttpRequest> request, int status,
                     std::chrono::steady_clock::time_point started) = 0;
    // Runs `work` on the I/O thread; called on the server's thread. Answers made together go over
    // in one hand-over.
    virtual void toIo(std::function<void()> work) = 0;
    virtual void connectionOpened(const std::shared_ptr<HttpConnection>& connection) = 0;
    virtual void connectionClosed(const HttpConnection* connection, const QHostAddress& peer) = 0;
};
