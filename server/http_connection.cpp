#include "http_connection.h"

#include <QTcpSocket>
#include <QUrl>

namespace {

constexpr qint64 kReadBufferBytes = 1024 * 1024;
constexpr qint64 kFileChunkBytes = 256 * 1024;
// Past this much unsent data the connection waits before it reads the next request or file chunk.
constexpr qint64 kWriteHighWater = 1024 * 1024;

bool isTokenChar(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           QByteArrayView("!#$%&'*+-.^_`|~").contains(c);
}

bool isToken(QByteArrayView text)
{
    if (text.isEmpty()) {
        return false;
    }
    for (const char c : text) {
        if (!isTokenChar(c)) {
            return false;
        }
    }
    return true;
}

bool hasConnectionToken(QByteArrayView value, QByteArrayView token)
{
    for (const QByteArray& part : value.toByteArray().split(',')) {
        if (part.trimmed().compare(token, Qt::CaseInsensitive) == 0) {
            return true;
        }
    }
    return false;
}

} // namespace

HttpConnection::HttpConnection(QTcpSocket* socket, Handler handler, Admission admission, AccessLog accessLog,
                               const Limits& limits, QObject* parent)
    : QObject(parent), m_socket(socket), m_handler(std::move(handler)), m_admission(std::move(admission)),
      m_accessLog(std::move(accessLog)), m_limits(limits)
{
    m_socket->setParent(this);
    // Bounded socket buffer: while a request is being handled nothing more is read, so a client
    // that keeps sending is held back by TCP instead of by the server's memory.
    m_socket->setReadBufferSize(kReadBufferBytes);
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &HttpConnection::onTimeout);
    connect(m_socket, &QTcpSocket::readyRead, this, &HttpConnection::processInput);
    connect(m_socket, &QTcpSocket::bytesWritten, this, [this] {
        if (m_state == State::Sending) {
            armTimer(m_limits.stallTimeoutMs);
            sendFileChunks();
        } else if (m_state == State::Closing && m_socket->bytesToWrite() == 0) {
            armTimer(m_limits.stallTimeoutMs);
        } else if (m_state == State::Head && m_socket->bytesToWrite() < kWriteHighWater) {
            processInput();
        }
    });
    connect(m_socket, &QTcpSocket::disconnected, this, &HttpConnection::close);
    connect(m_socket, &QTcpSocket::errorOccurred, this, &HttpConnection::close);
    armTimer(m_limits.idleTimeoutMs);
    QMetaObject::invokeMethod(this, &HttpConnection::processInput, Qt::QueuedConnection);
}

HttpConnection::~HttpConnection() = default;

void HttpConnection::armTimer(int ms)
{
    m_timer.start(ms);
}

void HttpConnection::processInput()
{
    if (m_state == State::Draining) {
        // The stall time-out counts from the last byte, as for a body being read: a large refused
        // upload that keeps moving is drained to its end, not cut off (which would reset the
        // connection under the answer) once the time-out has passed since the refusal.
        if (m_socket->bytesAvailable() > 0) {
            armTimer(m_limits.stallTimeoutMs);
        }
        while (m_socket->bytesAvailable() > 0 && m_drainRemaining > 0) {
            m_drainRemaining -= m_socket->read(qMin<qint64>(m_drainRemaining, kFileChunkBytes)).size();
        }
        if (m_drainRemaining <= 0) {
            beginClosing();
        }
        return;
    }
    while (m_state == State::Head || m_state == State::Body) {
        if (m_state == State::Head) {
            if (m_socket->bytesToWrite() >= kWriteHighWater) {
                return; // the client is not reading its answers; wait for bytesWritten
            }
            const qint64 room = m_limits.maxHeadBytes + 4 - m_buffer.size();
            if (room > 0 && m_socket->bytesAvailable() > 0) {
                m_buffer.append(m_socket->read(room));
            }
            // Blank lines before a request line are allowed (and ignored).
            while (m_buffer.startsWith("\r\n")) {
                m_buffer.remove(0, 2);
            }
            const qsizetype end = m_buffer.indexOf("\r\n\r\n");
            if (end < 0) {
                if (m_buffer.size() > m_limits.maxHeadBytes) {
                    refuse(431, QStringLiteral("request head too large"));
                } else if (!m_buffer.isEmpty()) {
                    armTimer(m_limits.stallTimeoutMs);
                }
                return;
            }
            const QByteArray head = m_buffer.left(end);
            m_buffer.remove(0, end + 4);
            m_requestClock.start();
            HttpResponse refusal;
            if (!parseHead(head, &refusal)) {
                refusal.closeConnection = true;
                // The unread body stays in flight: drop what is buffered, drain the rest.
                m_drainRemaining = qMax<qint64>(0, m_contentLength - m_buffer.size());
                m_buffer.clear();
                m_state = State::Waiting;
                respond(m_sequence, std::move(refusal));
                return;
            }
            m_state = State::Body;
            armTimer(m_limits.stallTimeoutMs);
            if (m_contentLength > m_buffer.size() &&
                m_request.header("expect").compare("100-continue", Qt::CaseInsensitive) == 0) {
                m_socket->write("HTTP/1.1 100 Continue\r\n\r\n");
            }
        }
        // Body: take exactly the announced length; what follows belongs to the next request.
        const qint64 missing = m_contentLength - m_request.body.size();
        if (missing > 0 && !m_buffer.isEmpty()) {
            const qsizetype take = qMin<qint64>(missing, m_buffer.size());
            m_request.body.append(m_buffer.constData(), take);
            m_buffer.remove(0, take);
        }
        const qint64 stillMissing = m_contentLength - m_request.body.size();
        if (stillMissing > 0 && m_socket->bytesAvailable() > 0) {
            m_request.body.append(m_socket->read(stillMissing));
            armTimer(m_limits.stallTimeoutMs);
        }
        if (m_request.body.size() < m_contentLength) {
            return;
        }
        dispatch();
    }
}

bool HttpConnection::parseHead(const QByteArray& head, HttpResponse* refusal)
{
    m_request = HttpRequest();
    m_request.peer = m_socket->peerAddress();
    m_contentLength = 0;
    const QList<QByteArray> lines = head.split('\n');
    auto line = [&](qsizetype i) {
        QByteArray text = lines.at(i);
        if (text.endsWith('\r')) {
            text.chop(1);
        }
        return text;
    };
    const QList<QByteArray> requestLine = line(0).split(' ');
    if (requestLine.size() != 3 || !isToken(requestLine.at(0)) || !requestLine.at(1).startsWith('/')) {
        *refusal = HttpResponse::error(400, QStringLiteral("malformed request line"));
        return false;
    }
    const QByteArray version = requestLine.at(2);
    if (version != "HTTP/1.1" && version != "HTTP/1.0") {
        *refusal = HttpResponse::error(505, QStringLiteral("HTTP version not supported"));
        return false;
    }
    m_request.method = requestLine.at(0);
    const QByteArray target = requestLine.at(1);
    const qsizetype query = target.indexOf('?');
    m_request.path = QUrl::fromPercentEncoding(query < 0 ? target : target.left(query));

    if (lines.size() - 1 > m_limits.maxHeaderCount) {
        *refusal = HttpResponse::error(431, QStringLiteral("too many header fields"));
        return false;
    }
    // Present-but-empty is tracked apart from absent: an empty value is no length, and reading it as
    // 0 would run the body as the next request.
    std::optional<QByteArray> contentLength;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray text = line(i);
        const qsizetype colon = text.indexOf(':');
        // Folded continuation lines and blanks before the colon are refused (request smuggling).
        if (colon <= 0 || !isToken(QByteArrayView(text).first(colon))) {
            *refusal = HttpResponse::error(400, QStringLiteral("malformed header field"));
            return false;
        }
        const QByteArray name = text.left(colon).toLower();
        const QByteArray value = text.mid(colon + 1).trimmed();
        if (name == "content-length") {
            if (contentLength && *contentLength != value) {
                *refusal = HttpResponse::error(400, QStringLiteral("conflicting Content-Length"));
                return false;
            }
            contentLength = value;
        }
        m_request.headers.append({name, value});
    }
    if (!m_request.header("transfer-encoding").isEmpty()) {
        *refusal = HttpResponse::error(411, QStringLiteral("send the body with a Content-Length"));
        return false;
    }
    if (contentLength) {
        bool ok = !contentLength->isEmpty() && contentLength->size() <= 18;
        for (const char c : *contentLength) {
            ok = ok && c >= '0' && c <= '9';
        }
        if (!ok) {
            *refusal = HttpResponse::error(400, QStringLiteral("invalid Content-Length"));
            return false;
        }
        m_contentLength = contentLength->toLongLong();
    }
    const QByteArray connection = m_request.header("connection");
    m_keepAlive = version == "HTTP/1.1" ? !hasConnectionToken(connection, "close")
                                        : hasConnectionToken(connection, "keep-alive");
    if (std::optional<HttpResponse> refused = m_admission(m_request, m_contentLength)) {
        *refusal = std::move(*refused);
        return false;
    }
    return true;
}

void HttpConnection::dispatch()
{
    m_state = State::Waiting;
    m_timer.stop();
    const quint64 sequence = ++m_sequence;
    QPointer<HttpConnection> self(this);
    m_handler(m_request, [self, sequence](HttpResponse response) {
        if (self) {
            self->respond(sequence, std::move(response));
        }
    });
}

void HttpConnection::respond(quint64 sequence, HttpResponse response)
{
    if (m_state != State::Waiting || sequence != m_sequence) {
        return; // answered twice, or the connection moved on
    }
    m_closeAfterResponse = response.closeConnection || !m_keepAlive;
    qint64 length = response.body.size();
    if (!response.filePath.isEmpty()) {
        m_file = std::make_unique<QFile>(response.filePath);
        if (!m_file->open(QIODevice::ReadOnly)) {
            m_file.reset();
            response = HttpResponse::error(404, QStringLiteral("not found"));
            length = response.body.size();
        } else {
            length = m_file->size();
        }
    }
    // After the file check: a missing file is logged as the 404 the client gets.
    m_pendingStatus = response.status;
    QByteArray head = "HTTP/1.1 " + QByteArray::number(response.status) + ' ' +
                      HttpResponse::reasonPhrase(response.status) + "\r\n";
    head += "Content-Type: " + response.contentType + "\r\n";
    head += "Content-Length: " + QByteArray::number(length) + "\r\n";
    head += "Cache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\n";
    for (const auto& [name, value] : response.headers) {
        head += name + ": " + value + "\r\n";
    }
    head += m_closeAfterResponse ? "Connection: close\r\n\r\n" : "Connection: keep-alive\r\n\r\n";
    m_socket->write(head);
    if (m_file) {
        m_state = State::Sending;
        armTimer(m_limits.stallTimeoutMs);
        sendFileChunks();
        return;
    }
    m_socket->write(response.body);
    finishResponse();
}

void HttpConnection::sendFileChunks()
{
    while (m_file && m_socket->bytesToWrite() < kWriteHighWater) {
        const QByteArray chunk = m_file->read(kFileChunkBytes);
        if (chunk.isEmpty()) {
            if (!m_file->atEnd()) {
                m_closeAfterResponse = true; // a read error: the client sees a short body
            }
            m_file.reset();
            finishResponse();
            return;
        }
        m_socket->write(chunk);
    }
}

void HttpConnection::finishResponse()
{
    if (m_accessLog) {
        m_accessLog(m_request, m_pendingStatus, m_requestClock.isValid() ? m_requestClock.elapsed() : 0);
    }
    m_request = HttpRequest();
    if (m_closeAfterResponse) {
        m_buffer.clear();
        if (m_drainRemaining > 0) {
            // Closing now would reset the connection and could destroy the answer at the client.
            m_state = State::Draining;
            armTimer(m_limits.stallTimeoutMs);
            processInput();
            return;
        }
        beginClosing();
        return;
    }
    m_state = State::Head;
    armTimer(m_buffer.isEmpty() ? m_limits.idleTimeoutMs : m_limits.stallTimeoutMs);
    // The next pipelined request, if any, on the next turn of the event loop (no deep recursion).
    QMetaObject::invokeMethod(this, &HttpConnection::processInput, Qt::QueuedConnection);
}

void HttpConnection::beginClosing()
{
    // Sends what is queued, then closes; a peer that never reads it is cut off by the timer.
    m_state = State::Closing;
    armTimer(m_limits.stallTimeoutMs);
    m_socket->disconnectFromHost();
}

void HttpConnection::refuse(int status, const QString& text)
{
    m_drainRemaining = 0;
    m_state = State::Waiting;
    HttpResponse response = HttpResponse::error(status, text);
    response.closeConnection = true;
    respond(m_sequence, std::move(response));
}

void HttpConnection::onTimeout()
{
    if (m_state == State::Waiting) {
        return;
    }
    if (m_state == State::Draining) {
        beginClosing();
        return;
    }
    if ((m_state == State::Head && !m_buffer.isEmpty()) || m_state == State::Body) {
        m_requestClock.start();
        refuse(408, QStringLiteral("request timed out"));
        return;
    }
    close();
}

void HttpConnection::close()
{
    if (m_closed) {
        return;
    }
    m_closed = true;
    m_timer.stop();
    m_file.reset();
    m_state = State::Closing;
    disconnect(m_socket, nullptr, this, nullptr);
    m_socket->abort();
    emit closed();
    deleteLater();
}
