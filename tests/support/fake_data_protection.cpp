#include "support/fake_data_protection.h"

#include <QDataStream>
#include <QIODevice>

FakeDataProtection::FakeDataProtection(QByteArray tag) : m_tag(std::move(tag)) {}

QByteArray FakeDataProtection::protect(const QByteArray& plaintext, const QString& description)
{
    ++protectCalls;
    if (failProtect) {
        return {};
    }
    QByteArray payload = plaintext;
    for (qsizetype i = 0; i < payload.size(); ++i) {
        payload[i] = static_cast<char>(payload[i] ^ 0x5a);
    }
    QByteArray blob;
    QDataStream out(&blob, QIODevice::WriteOnly);
    out << m_tag << description << payload;
    return blob;
}

bool FakeDataProtection::unprotect(const QByteArray& blob, QByteArray* plaintext, QString* description)
{
    ++unprotectCalls;
    plaintext->clear();
    QDataStream in(blob);
    QByteArray tag;
    QString desc;
    QByteArray payload;
    in >> tag >> desc >> payload;
    if (in.status() != QDataStream::Ok || !in.atEnd() || tag != m_tag) {
        return false;
    }
    for (qsizetype i = 0; i < payload.size(); ++i) {
        payload[i] = static_cast<char>(payload[i] ^ 0x5a);
    }
    *plaintext = payload;
    if (description != nullptr) {
        *description = desc;
    }
    return true;
}
