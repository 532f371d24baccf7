#include "support/http_test_client.h"

#include <QEventLoop>
#include <QJsonDocument>
#include <QNetworkRequest>
#include <QTimer>

QByteArray HttpTestClient::Reply::header(const QByteArray& name) const
{
    for (const auto& [key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0) {
            return value;
        }
    }
    return {};
}

HttpTestClient::HttpTestClient(const QSslConfiguration& tls) : m_tls(tls) {}

QNetworkReply* HttpTestClient::send(const QByteArray& method, const QUrl& url, const QByteArray& body,
                                    const QByteArray& bearer,
                                    const QList<QPair<QByteArray, QByteArray>>& headers)
{
    QNetworkRequest request(url);
    request.setSslConfiguration(m_tls);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    request.setRawHeader("Accept", "application/json");
    if (!bearer.isEmpty()) {
        request.setRawHeader("Authorization", "Bearer " + bearer);
    }
    for (const auto& [name, value] : headers) {
        request.setRawHeader(name, value);
    }
    return m_network.sendCustomRequest(request, method, body);
}

HttpTestClient::Reply HttpTestClient::wait(QNetworkReply* reply, int timeoutMs)
{
    if (!reply->isFinished()) {
        QEventLoop loop;
        QTimer limit;
        limit.setSingleShot(true);
        QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
        QObject::connect(&limit, &QTimer::timeout, reply, &QNetworkReply::abort);
        limit.start(timeoutMs);
        loop.exec();
    }
    Reply result;
    result.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    result.error = reply->error();
    result.errorString = reply->errorString();
    result.body = reply->readAll();
    result.json = QJsonDocument::fromJson(result.body).object();
    result.headers = reply->rawHeaderPairs();
    reply->deleteLater();
    return result;
}

HttpTestClient::Reply HttpTestClient::request(const QByteArray& method, const QUrl& url,
                                              const QByteArray& body, const QByteArray& bearer)
{
    return wait(send(method, url, body, bearer));
}

HttpTestClient::Reply HttpTestClient::post(const QUrl& url, const QJsonObject& body, const QByteArray& bearer)
{
    return request("POST", url, QJsonDocument(body).toJson(QJsonDocument::Compact), bearer);
}

HttpTestClient::Reply HttpTestClient::put(const QUrl& url, const QJsonObject& body, const QByteArray& bearer)
{
    return request("PUT", url, QJsonDocument(body).toJson(QJsonDocument::Compact), bearer);
}

HttpTestClient::Reply HttpTestClient::postFrom(const QByteArray& address, const QUrl& url,
                                               const QJsonObject& body)
{
    return wait(send("POST", url, QJsonDocument(body).toJson(QJsonDocument::Compact), {},
                     {{"X-Forwarded-For", address}}));
}
