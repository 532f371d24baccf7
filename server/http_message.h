#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QJsonObject>
#include <QList>
#include <QPair>
#include <QString>

// One request as the connection read it: the head checked, the whole body present.
struct HttpRequest
{
    QByteArray method;
    // The path without the query, percent-decoded; the raw target is never logged (it may carry
    // a query the client did not mean to share).
    QString path;
    // Header names in lower case, values with surrounding blanks removed.
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;
    QHostAddress peer;

    // The first value of a header (`lowerName` in lower case); empty when absent.
    QByteArray header(QByteArrayView lowerName) const;

    // What clients are counted by (connections, sign-ins, registrations): an IPv4 address as it is
    // (also when mapped into IPv6), an IPv6 address by its /64, which one subscriber usually has whole.
    static QString clientKey(const QHostAddress& address);
};

// One answer. A response with `filePath` set sends that file as its body instead of `body`.
struct HttpResponse
{
    int status = 200;
    QByteArray contentType = "application/json";
    QByteArray body;
    QList<QPair<QByteArray, QByteArray>> headers;
    QString filePath;
    // Ends the connection after this answer (the request could not be read to its end, say).
    bool closeConnection = false;

    static HttpResponse json(int status, const QJsonObject& object);
    // {"error": text}: the English texts clients match on.
    static HttpResponse error(int status, const QString& text);
    static QByteArray reasonPhrase(int status);
};
