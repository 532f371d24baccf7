#include "support/raw_http_client.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSslSocket>
#include <QTest>

QByteArray RawAnswer::header(QByteArrayView lowerName) const
{
    for (const auto& [name, value] : headers) {
        if (name == lowerName) {
            return value;
        }
    }
    return {};
}

QString RawAnswer::errorText() const
{
    return QJsonDocument::fromJson(body).object().value(QStringLiteral("error")).toString();
}

std::optional<RawAnswer> RawHttpClient::takeAnswer(QByteArray* buffer)
{
    const qsizetype end = buffer->indexOf("\r\n\r\n");
    if (end < 0) {
        return std::nullopt;
    }
    RawAnswer answer;
    const QList<QByteArray> lines = buffer->left(end).split('\n');
    answer.statusLine = lines.first().trimmed();
    answer.status = answer.statusLine.split(' ').value(1).toInt();
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray& line = lines.at(i);
        const qsizetype colon = line.indexOf(':');
        answer.headers.append({line.left(colon).trimmed().toLower(), line.mid(colon + 1).trimmed()});
    }
    const qint64 length = answer.status >= 200 ? answer.header("content-length").toLongLong() : 0;
    if (buffer->size() < end + 4 + length) {
        return std::nullopt;
    }
    answer.body = buffer->mid(end + 4, length);
    buffer->remove(0, end + 4 + length);
    return answer;
}

RawHttpClient::RawHttpClient(QTcpSocket* socket, int waitMs) : m_socket(socket), m_waitMs(waitMs)
{
    QObject::connect(m_socket.get(), &QTcpSocket::readyRead, m_socket.get(), [this] { collect(); });
    QObject::connect(m_socket.get(), &QTcpSocket::bytesWritten, m_socket.get(),
                     [this](qint64 count) { m_written += count; });
}

bool RawHttpClient::connectTo(quint16 port, const QHostAddress& local)
{
    if (!local.isNull() && !m_socket->bind(local)) {
        return false;
    }
    m_socket->connectToHost(QHostAddress::LocalHost, port);
    return QTest::qWaitFor([this] { return m_socket->state() == QAbstractSocket::ConnectedState; }, m_waitMs);
}

bool RawHttpClient::connectEncrypted(quint16 port, const QHostAddress& local)
{
    auto* socket = qobject_cast<QSslSocket*>(m_socket.get());
    if (!socket || (!local.isNull() && !socket->bind(local))) {
        return false;
    }
    socket->connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
    return QTest::qWaitFor([socket] { return socket->isEncrypted(); }, m_waitMs);
}

bool RawHttpClient::send(const QByteArray& bytes)
{
    const qint64 before = m_written;
    m_socket->write(bytes);
    (void)QTest::qWaitFor([this] { return m_socket->bytesToWrite() == 0 || isClosed(); }, m_waitMs);
    QCoreApplication::processEvents();
    return m_written - before == bytes.size();
}

RawAnswer RawHttpClient::next()
{
    std::optional<RawAnswer> answer;
    // A miss shows as status 0 in the caller's comparison.
    (void)QTest::qWaitFor(
        [&] {
            collect();
            answer = takeAnswer(&m_received);
            return answer.has_value() || isClosed();
        },
        m_waitMs);
    return answer.value_or(RawAnswer());
}

bool RawHttpClient::waitClosed()
{
    return QTest::qWaitFor([this] { return isClosed(); }, m_waitMs);
}

QByteArray RawHttpClient::unread()
{
    collect();
    return m_received;
}
