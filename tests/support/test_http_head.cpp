#include "support/test_http_head.h"

QByteArray TestHttpHead::header(const QByteArray& name) const
{
    for (const auto& [key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    }
    return {};
}

std::optional<TestHttpHead> TestHttpHead::parse(const QByteArray& buffer)
{
    const qsizetype end = buffer.indexOf("\r\n\r\n");
    if (end < 0)
        return std::nullopt;
    TestHttpHead head;
    head.size = end + 4;
    const QList<QByteArray> lines = buffer.left(end).split('\n');
    head.requestLine = lines.value(0).trimmed();
    const QList<QByteArray> words = head.requestLine.split(' ');
    head.method = words.value(0);
    head.target = words.value(1);
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const qsizetype colon = lines.at(i).indexOf(':');
        if (colon > 0)
            head.headers.append({lines.at(i).left(colon).trimmed(), lines.at(i).mid(colon + 1).trimmed()});
    }
    return head;
}

QByteArray TestHttpHead::response(int status, const QByteArray& reason, const QByteArray& body,
                                  const QByteArray& contentType)
{
    QByteArray text = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reason + "\r\n";
    if (!body.isEmpty())
        text += "Content-Type: " + contentType + "\r\n";
    text += "Content-Length: " + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
    return text;
}
