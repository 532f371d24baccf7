#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QPair>
#include <QString>
#include <QTcpSocket>

#include <memory>
#include <optional>

// One HTTP answer as a raw client read it.
struct RawAnswer
{
    int status = 0; // 0: no complete answer arrived
    QByteArray statusLine;
    QList<QPair<QByteArray, QByteArray>> headers; // names in lower case
    QByteArray body;

    QByteArray header(QByteArrayView lowerName) const;
    // The "error" text of a JSON error body.
    QString errorText() const;
};

// A client that writes raw bytes and collects everything the server sends, plain or over TLS (pass a
// QSslSocket). Every wait spins the event loop and ends as soon as its event happens, at the latest
// after `waitMs`.
class RawHttpClient
{
public:
    explicit RawHttpClient(QTcpSocket* socket = new QTcpSocket, int waitMs = 20000);
    RawHttpClient(const RawHttpClient&) = delete;
    RawHttpClient& operator=(const RawHttpClient&) = delete;

    // Connects from `local` (another loopback address, say) when given.
    bool connectTo(quint16 port, const QHostAddress& local = {});
    bool connectEncrypted(quint16 port, const QHostAddress& local = {});

    // Writes `bytes` and waits until the socket has handed them all to the system (true) or the
    // connection ended first, then lets the server run once, so that consecutive calls tend to arrive
    // as separate reads.
    bool send(const QByteArray& bytes);
    // The next complete answer; status 0 when the connection ended or nothing came in time.
    RawAnswer next();

    bool isClosed() const { return m_socket->state() == QAbstractSocket::UnconnectedState; }
    bool waitClosed();
    // What arrived and was not taken as an answer.
    QByteArray unread();
    qint64 written() const { return m_written; }
    QTcpSocket* socket() const { return m_socket.get(); }

    // Takes one complete answer off the front of `buffer`: the head, then Content-Length bytes (none
    // for an interim 1xx answer).
    static std::optional<RawAnswer> takeAnswer(QByteArray* buffer);

private:
    void collect() { m_received += m_socket->readAll(); }

    std::unique_ptr<QTcpSocket> m_socket;
    int m_waitMs;
    QByteArray m_received;
    qint64 m_written = 0;
};
