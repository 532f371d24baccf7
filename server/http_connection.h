#pragma once

#include "http_message.h"

#include <QElapsedTimer>
#include <QFile>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>

class QTcpSocket;

// Answers one request; may be called later (after a password hash on a worker thread, say). Calling
// it after the connection has gone does nothing.
using HttpResponder = std::function<void(HttpResponse)>;

// One HTTP/1.1 connection (plain or TLS): reads requests one at a time with bounded heads and bodies,
// hands each complete request to the handler and writes its answer, then keeps the connection for the
// next request unless either side asked to close. Whether a body is accepted is decided from the head
// before any body byte is read, so an oversized or unauthorised upload is refused without being
// buffered.
class HttpConnection : public QObject
{
    Q_OBJECT

public:
    using Handler = std::function<void(const HttpRequest&, HttpResponder)>;
    // Called with the request head (no body yet) and the announced body length: a refusal is sent
    // at once and the body is never buffered (an oversized upload, an upload without a session).
    using Admission =
        std::function<std::optional<HttpResponse>(const HttpRequest& head, qint64 contentLength)>;
    using AccessLog = std::function<void(const HttpRequest&, int status, qint64 elapsedMs)>;

    struct Limits
    {
        qsizetype maxHeadBytes = 16 * 1024;
        int maxHeaderCount = 100;
        int idleTimeoutMs = 60000;  // keep-alive connection with no request under way
        int stallTimeoutMs = 30000; // a request (or an answer being sent) that stopped moving
    };

    HttpConnection(QTcpSocket* socket, Handler handler, Admission admission, AccessLog accessLog,
                   const Limits& limits, QObject* parent = nullptr);
    ~HttpConnection() override;

signals:
    void closed();

private:
    enum class State {
        Head,
        Body,
        Waiting,  // the handler has the request
        Sending,  // a file body is being streamed
        Draining, // refused before its body: reading and dropping the body so the answer arrives
        Closing,
    };

    void processInput();
    bool parseHead(const QByteArray& head, HttpResponse* refusal);
    void dispatch();
    void respond(quint64 sequence, HttpResponse response);
    void sendFileChunks();
    void finishResponse();
    void beginClosing();
    void refuse(int status, const QString& text);
    void onTimeout();
    void close();
    void armTimer(int ms);

    QTcpSocket* m_socket;
    Handler m_handler;
    Admission m_admission;
    AccessLog m_accessLog;
    Limits m_limits;
    QTimer m_timer;

    State m_state = State::Head;
    QByteArray m_buffer;
    HttpRequest m_request;
    qint64 m_contentLength = 0;
    bool m_keepAlive = true;
    bool m_closeAfterResponse = false;
    bool m_closed = false;
    qint64 m_drainRemaining = 0;
    quint64 m_sequence = 0;
    QElapsedTimer m_requestClock;
    int m_pendingStatus = 0;
    std::unique_ptr<QFile> m_file;
};
