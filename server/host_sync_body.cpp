#include "host_sync_body.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

#include <cmath>

namespace {

constexpr qint64 kMaxDeviceCount = 10000000;
constexpr qint64 kMaxRevision = (1LL << 53) - 1;
const QString kOwnerPrefix = QStringLiteral("NIMBARA-SYNC-2.");
const QString kTeamPrefix = QStringLiteral("NIMBARA-TEAM-2.");

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

QByteArray isoTime(qint64 ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toString(Qt::ISODateWithMs).toLatin1();
}

// The fields every answer of the second path begins with.
void appendHead(QByteArray* out, const HostSnapshot& snapshot, const QString& accountId)
{
    out->append(snapshot.exists ? "{\"exists\":true,\"format\":" : "{\"exists\":false,\"format\":");
    out->append(QByteArray::number(snapshot.format));
    out->append(",\"account_id\":");
    appendJsonString(out, accountId.toUtf8());
    out->append(",\"revision\":" + QByteArray::number(snapshot.revision));
    out->append(snapshot.exists ? ",\"updated_at\":\"" + isoTime(snapshot.updatedMs) + '"'
                                : QByteArray(",\"updated_at\":null"));
}

// What follows the payload in the answer to a read.
void appendAnswerTail(QByteArray* out, const HostSnapshot& snapshot)
{
    out->append(",\"device_count\":" + QByteArray::number(snapshot.deviceCount));
    out->append(",\"revision\":" + QByteArray::number(snapshot.revision));
    out->append(snapshot.exists ? ",\"updated_at\":\"" + isoTime(snapshot.updatedMs) + "\"}"
                                : QByteArray(",\"updated_at\":null}"));
}

std::optional<QJsonObject> readObject(const QByteArray& body, QString* error)
{
    if (body.isEmpty()) {
        return QJsonObject();
    }
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(body, &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject()) {
        *error = QStringLiteral("request body is not a JSON object");
        return std::nullopt;
    }
    return document.object();
}

} // namespace

bool HostSyncBody::isPrintableAscii(const QString& text, qsizetype maxLength)
{
    if (text.isEmpty() || text.size() > maxLength) {
        return false;
    }
    for (const QChar c : text) {
        if (c.unicode() < 0x20 || c.unicode() > 0x7e) {
            return false;
        }
    }
    return true;
}

QByteArray HostSyncBody::ownerAnswer(const HostSnapshot& snapshot, const QString& accountId)
{
    QByteArray out;
    out.reserve(snapshot.payload.size() + snapshot.payload.size() / 64 + 256);
    appendHead(&out, snapshot, accountId);
    out.append(",\"device_count\":" + QByteArray::number(snapshot.deviceCount));
    if (snapshot.exists) {
        out.append(",\"payload\":");
        appendJsonString(&out, snapshot.payload);
    }
    if (snapshot.format == 2) {
        out.append(",\"sealed_for\":[");
        for (qsizetype i = 0; i < snapshot.sealedFor.size(); ++i) {
            if (i > 0) {
                out.append(',');
            }
            appendJsonString(&out, snapshot.sealedFor[i].toUtf8());
        }
        out.append(']');
    }
    out.append('}');
    return out;
}

QByteArray HostSyncBody::memberAnswer(const HostSnapshot& snapshot, const QString& ownerId)
{
    const QByteArray teamPayload = snapshot.format == 2 ? snapshot.teamPayload : QByteArray();
    QByteArray out;
    out.reserve(teamPayload.size() + teamPayload.size() / 64 + 1024);
    appendHead(&out, snapshot, ownerId);
    out.append(",\"team_payload\":");
    appendJsonString(&out, teamPayload);
    out.append(",\"sealed_key\":");
    appendJsonString(&out, snapshot.sealedKey.toUtf8());
    out.append(",\"key_revision\":" + QByteArray::number(snapshot.keyRevision) + '}');
    return out;
}

QByteArray HostSyncBody::answer(const HostSnapshot& snapshot)
{
    QByteArray out;
    out.reserve(snapshot.payload.size() + snapshot.payload.size() / 64 + 160);
    out.append(snapshot.exists ? "{\"exists\":true,\"payload\":" : "{\"exists\":false,\"payload\":");
    appendJsonString(&out, snapshot.payload);
    appendAnswerTail(&out, snapshot);
    return out;
}

bool HostSyncBody::needsEscaping(const char* data, qsizetype size)
{
    // No early exit: a loop the compiler vectorises reads 4 MiB in well under a millisecond.
    unsigned char escaped = 0;
    for (qsizetype i = 0; i < size; ++i) {
        const auto c = static_cast<unsigned char>(data[i]);
        escaped |= static_cast<unsigned char>(c < 0x20 || c == '"' || c == '\\');
    }
    return escaped != 0;
}

void HostSyncBody::finishAnswer(const HostSnapshot& snapshot, QByteArray* out)
{
    const qsizetype prefix = static_cast<qsizetype>(sizeof kAnswerPrefix) - 1;
    if (!snapshot.exists || out->size() < prefix || !out->startsWith(kAnswerPrefix) ||
        needsEscaping(out->constData() + prefix, out->size() - prefix)) {
        // Made anew on the escaping path: the answer is valid JSON whatever the stored bytes are.
        HostSnapshot escaped = snapshot;
        escaped.payload = out->size() >= prefix ? out->mid(prefix) : QByteArray();
        *out = answer(escaped);
        return;
    }
    out->append('"');
    appendAnswerTail(out, snapshot);
}

std::optional<HostSyncBody::Upload> HostSyncBody::readUpload(const QByteArray& body, QString* error)
{
    std::optional<QJsonObject> object = readObject(body, error);
    if (!object) {
        return std::nullopt;
    }
    Upload upload;
    const QJsonValue payload = object->take(QStringLiteral("payload"));
    const QString payloadText = payload.toString();
    if (payloadText.isEmpty() ||
        !readInteger(object->value(QStringLiteral("device_count")), kMaxDeviceCount, &upload.deviceCount) ||
        !readInteger(object->value(QStringLiteral("expected_revision")), kMaxRevision,
                     &upload.expectedRevision)) {
        *error =
            QStringLiteral("payload (text), device_count and expected_revision (whole numbers) are required");
        return std::nullopt;
    }
    if (payloadText.startsWith(kOwnerPrefix)) {
        *error = QStringLiteral("host data in the team format goes to /api/v1/account/sync");
        return std::nullopt;
    }
    upload.payload = payloadText.toUtf8();
    return upload;
}

std::optional<HostSyncBody::TeamUpload> HostSyncBody::readTeamUpload(const QByteArray& body, QString* error)
{
    std::optional<QJsonObject> object = readObject(body, error);
    if (!object) {
        return std::nullopt;
    }
    TeamUpload upload;
    // Taken out of the object: its copy of each payload is dropped as soon as ours is made.
    const QJsonValue payload = object->take(QStringLiteral("payload"));
    const QJsonValue teamPayload = object->take(QStringLiteral("team_payload"));
    const QJsonValue sealedKeys = object->value(QStringLiteral("sealed_keys"));
    if (!payload.isString() || !teamPayload.isString() || !sealedKeys.isArray() ||
        !readInteger(object->value(QStringLiteral("device_count")), kMaxDeviceCount, &upload.deviceCount) ||
        !readInteger(object->value(QStringLiteral("expected_revision")), kMaxRevision,
                     &upload.expectedRevision)) {
        *error = QStringLiteral("payload, team_payload (texts), sealed_keys (list), device_count and "
                                "expected_revision (whole numbers) are required");
        return std::nullopt;
    }
    const QString payloadText = payload.toString();
    const QString teamPayloadText = teamPayload.toString();
    if (!payloadText.startsWith(kOwnerPrefix)) {
        *error = QStringLiteral("payload must begin with %1").arg(kOwnerPrefix);
        return std::nullopt;
    }
    if (!teamPayloadText.startsWith(kTeamPrefix)) {
        *error = QStringLiteral("team_payload must begin with %1").arg(kTeamPrefix);
        return std::nullopt;
    }
    QSet<QString> seen;
    for (const QJsonValue& entry : sealedKeys.toArray()) {
        const QString memberId = entry.toObject().value(QStringLiteral("member_id")).toString();
        const QString sealed = entry.toObject().value(QStringLiteral("sealed")).toString();
        if (memberId.isEmpty() || !isPrintableAscii(sealed, kMaxSealedKeyLength)) {
            *error = QStringLiteral("each sealed key needs a member_id and a sealed text of printable ASCII "
                                    "(at most %1 characters)")
                         .arg(kMaxSealedKeyLength);
            return std::nullopt;
        }
        if (seen.contains(memberId)) {
            *error = QStringLiteral("more than one sealed key for one member");
            return std::nullopt;
        }
        seen.insert(memberId);
        upload.sealedKeys.append({memberId, sealed});
    }
    upload.payload = payloadText.toUtf8();
    upload.teamPayload = teamPayloadText.toUtf8();
    return upload;
}
