#include "storage/crypto_manager.h"

#include "logger.h"
#include "platform/atomic_file_writer.h"
#include "platform/data_protection.h"
#include "platform/secure_memory.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sodium.h>

namespace {

bool g_sodiumAttempted = false;

} // namespace

CryptoManager::CryptoManager(std::unique_ptr<IDataProtection> protection)
    : m_protection(std::move(protection))
{
    if (!g_sodiumAttempted) {
        g_sodiumAttempted = true;
        if (sodium_init() < 0) {
            SPDLOG_ERROR("libsodium初始化失败");
        }
    }
    if (!m_protection) {
        m_protection = createDataProtection();
    }
}

CryptoManager::~CryptoManager()
{
    wipeKeys();
}

void CryptoManager::wipeKeys()
{
    SecureMemory::wipe(m_secretKey);
    m_publicKey.clear();
}

bool CryptoManager::initialize(const QString& keyFilePath)
{
    if (QFileInfo::exists(keyFilePath)) {
        QFile file(keyFilePath);
        if (!file.open(QIODevice::ReadOnly)) {
            return false;
        }
        const QByteArray blob = file.readAll();
        file.close();

        QByteArray plain;
        const bool opened = m_protection->unprotect(blob, &plain);
        const bool ok = opened && plain.size() == crypto_box_PUBLICKEYBYTES + crypto_box_SECRETKEYBYTES;
        if (ok) {
            m_publicKey = plain.left(crypto_box_PUBLICKEYBYTES);
            m_secretKey = plain.mid(crypto_box_PUBLICKEYBYTES);
        }
        SecureMemory::wipe(plain);
        // A file that does not open stays as it is: replacing it would lose every sealed secret.
        return ok;
    }

    m_publicKey = QByteArray(crypto_box_PUBLICKEYBYTES, '\0');
    m_secretKey = QByteArray(crypto_box_SECRETKEYBYTES, '\0');
    if (crypto_box_keypair(reinterpret_cast<unsigned char*>(m_publicKey.data()),
                           reinterpret_cast<unsigned char*>(m_secretKey.data())) != 0) {
        SPDLOG_ERROR("密钥对生成失败");
        wipeKeys();
        return false;
    }

    QByteArray joined = m_publicKey + m_secretKey;
    QByteArray blob = m_protection->protect(joined, QString::fromLatin1(kKeyDescription));
    SecureMemory::wipe(joined);
    bool saved = !blob.isEmpty();
    if (saved) {
        // A key that is not safely on disk must not seal anything: every secret sealed with it
        // would be lost at the next start.
        QString error;
        saved = AtomicFileWriter::makePrivateDirectory(QFileInfo(keyFilePath).absolutePath(), &error) &&
                AtomicFileWriter::write(keyFilePath, blob, AtomicFileWriter::kPrivateMode,
                                        AtomicFileWriter::Existing::Replace, &error);
        if (!saved) {
            SPDLOG_ERROR("设备密钥文件保存失败: {}", error);
        }
    }
    if (!saved) {
        wipeKeys();
    }
    return saved;
}

QString CryptoManager::sealEncrypt(const QString& plaintext) const
{
    if (m_publicKey.isEmpty()) {
        return {};
    }
    QByteArray message = plaintext.toUtf8();
    QByteArray box(message.size() + static_cast<qsizetype>(crypto_box_SEALBYTES), '\0');
    const int rc = crypto_box_seal(reinterpret_cast<unsigned char*>(box.data()),
                                   reinterpret_cast<const unsigned char*>(message.constData()),
                                   static_cast<unsigned long long>(message.size()),
                                   reinterpret_cast<const unsigned char*>(m_publicKey.constData()));
    SecureMemory::wipe(message);
    if (rc != 0) {
        SPDLOG_ERROR("密封盒加密失败");
        return {};
    }
    return QString::fromLatin1(box.toBase64());
}

QString CryptoManager::sealDecrypt(const QString& sealed) const
{
    if (m_publicKey.isEmpty() || m_secretKey.isEmpty()) {
        return {};
    }
    const QByteArray box = QByteArray::fromBase64(sealed.toLatin1());
    if (box.size() < static_cast<qsizetype>(crypto_box_SEALBYTES)) {
        return {};
    }
    QByteArray message(box.size() - static_cast<qsizetype>(crypto_box_SEALBYTES), '\0');
    if (crypto_box_seal_open(reinterpret_cast<unsigned char*>(message.data()),
                             reinterpret_cast<const unsigned char*>(box.constData()),
                             static_cast<unsigned long long>(box.size()),
                             reinterpret_cast<const unsigned char*>(m_publicKey.constData()),
                             reinterpret_cast<const unsigned char*>(m_secretKey.constData())) != 0) {
        SPDLOG_ERROR("密封盒解密失败");
        SecureMemory::wipe(message);
        return {};
    }
    QString result = QString::fromUtf8(message);
    SecureMemory::wipe(message);
    return result;
}
