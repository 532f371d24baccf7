#include "host_sync_body.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>

namespace {

constexpr qint64 kMaxDeviceCount = 10000000;
constexpr qint64 kMaxRevision = (1LL << 53) - 1;

// `text` (valid UTF-8) as a JSON string: quotes, backslashes and control characters escaped, every
// other byte as it is.
void appendJsonString(QByteArray* out, const QByteArray& text)
{
    static const char hex[] = "0123456789abcdef";
    out->append('"');
    const char* data = text.constData();
    const qsizetype size = text.size();
    qsizetype plain = 0; // start of the run copied as it is
    for (qsizetype i = 0; i < size; ++i) {
        const auto c = static_cast<unsigned char>(data[i]);
        if (c >= 0x20 && c != '"' && c != '\\') {
            continue;
        }
        out->append(data + plain, i - plain);
        plain = i + 1;
        switch (c) {
        case '"':
            out->append("\\\"", 2);
            break;
        case '\\':
            out->append("\\\\", 2);
            break;
        case '\n':
            out->append("\\n", 2);
            break;
        case '\r':
            out->append("\\r", 2);
            break;
        case '\t':
            out->append("\\t", 2);
            break;
        default: {
            const char escaped[] = {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 15]};
            out->append(escaped, 6);
        }
        }
    }
    out->append(data + plain, size - plain);
    out->append('"');
}

bool readInteger(const QJsonValue& value, qint64 maximum, qint64* out)
{
    if (!value.isDouble()) {
        return false;
    }
    const double number = value.toDouble();
    if (std::floor(number) != number || number < 0 || number > static_cast<double>(maximum)) {
        return false;
    }
    *out = static_cast<qint64>(number);
    return true;
}

} // namespace

QByteArray HostSyncBody::answer(const HostSnapshot& snapshot)
{
    QByteArray out;
    out.reserve(snapshot.payload.size() + snapshot.payload.size() / 64 + 160);
    out.append(snapshot.exists ? "{\"exists\":true,\"payload\":" : "{\"exists\":false,\"payload\":");
    appendJsonString(&out, snapshot.payload);
    out.append(",\"device_count\":" + QByteArray::number(snapshot.deviceCount));
    out.append(",\"revision\":" + QByteArray::number(snapshot.revision));
    if (snapshot.exists) {
        const QString time =
            QDateTime::fromMSecsSinceEpoch(snapshot.updatedMs, Qt::UTC).toString(Qt::ISODateWithMs);
        out.append(",\"updated_at\":\"" + time.toLatin1() + "\"}");
    } else {
        out.append(",\"updated_at\":null}");
    }
    return out;
}

std::optional<HostSyncBody::Upload> HostSyncBody::readUpload(const QByteArray& body, QString* error)
{
    QJsonParseError parseError;
    QJsonObject object;
    if (!body.isEmpty()) {
        const QJsonDocument document = QJsonDocument::fromJson(body, &parseError);
        if (parseError.error != QJsonParseError::NoError || !document.isObject()) {
            *error = QStringLiteral("request body is not a JSON object");
            return std::nullopt;
        }
        object = document.object();
    }
    Upload upload;
    const QJsonValue payload = object.take(QStringLiteral("payload"));
    if (!payload.isString() || payload.toString().isEmpty() ||
        !readInteger(object.value(QStringLiteral("device_count")), kMaxDeviceCount, &upload.deviceCount) ||
        !readInteger(object.value(QStringLiteral("expected_revision")), kMaxRevision,
                     &upload.expectedRevision)) {
        *error =
            QStringLiteral("payload (text), device_count and expected_revision (whole numbers) are required");
        return std::nullopt;
    }
    upload.payload = payload.toString().toUtf8();
    return upload;
}
