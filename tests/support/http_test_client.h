#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSslConfiguration>
#include <QUrl>

// A plain HTTP(S) client for tests: Qt's network access manager with the test CA trusted, requests
// waited for in a local event loop (bounded, so a silent server fails the test instead of hanging).
class HttpTestClient
{
public:
    struct Reply
    {
        int status = 0; // 0 when no HTTP answer arrived
        QNetworkReply::NetworkError error = QNetworkReply::NoError;
        QString errorString;
        QByteArray body;
        QJsonObject json; // empty when the body is not a JSON object
        QList<QNetworkReply::RawHeaderPair> headers;

        QByteArray header(const QByteArray& name) const;
        QString errorText() const { return json.value(QStringLiteral("error")).toString(); }
    };

    explicit HttpTestClient(const QSslConfiguration& tls);

    // Sends and returns at once: several requests can be in flight; wait() collects each.
    QNetworkReply* send(const QByteArray& method, const QUrl& url, const QByteArray& body = {},
                        const QByteArray& bearer = {},
                        const QList<QPair<QByteArray, QByteArray>>& headers = {});
    static Reply wait(QNetworkReply* reply, int timeoutMs = 120000);

    Reply request(const QByteArray& method, const QUrl& url, const QByteArray& body = {},
                  const QByteArray& bearer = {});
    Reply get(const QUrl& url, const QByteArray& bearer = {}) { return request("GET", url, {}, bearer); }
    Reply post(const QUrl& url, const QJsonObject& body, const QByteArray& bearer = {});
    // As a proxy on loopback would forward it for `address` (X-Forwarded-For).
    Reply postFrom(const QByteArray& address, const QUrl& url, const QJsonObject& body);
    Reply put(const QUrl& url, const QJsonObject& body, const QByteArray& bearer = {});

    QNetworkAccessManager& network() { return m_network; }

private:
    QNetworkAccessManager m_network;
    QSslConfiguration m_tls;
};
