#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>

#include <optional>

// The head of an HTTP/1.1 request as a test peer reads it off the wire: request line and headers.
struct TestHttpHead
{
    QByteArray method;
    QByteArray target;
    QByteArray requestLine;
    QList<QPair<QByteArray, QByteArray>> headers;
    qsizetype size = 0; // bytes of the head, blank line included

    // The first header of that name (any letter case), trimmed; empty when absent.
    QByteArray header(const QByteArray& name) const;

    // The head at the start of `buffer`; nothing while the blank line has not arrived.
    static std::optional<TestHttpHead> parse(const QByteArray& buffer);

    // A complete response that closes the connection afterwards.
    static QByteArray response(int status, const QByteArray& reason, const QByteArray& body = {},
                               const QByteArray& contentType = "application/json");
};
