#include "storage/crypto_manager.h"

#include "logger.h"
#include "platform/atomic_file_writer.h"
#include "platform/data_protection.h"
#include "platform/secure_memory.h"
#include "storage/master_key_record.h"

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
    const QMutexLocker locker(&m_keyMutex);
    SecureMemory::wipe(m_secretKey);
    m_publicKey.clear();
}

bool CryptoManager::initialize(const QString& keyFilePath)
{
    m_keyFilePath = keyFilePath;
    if (QFileInfo::exists(keyFilePath)) {
        QFile file(keyFilePath);
        if (!file.open(QIODevice::ReadOnly)) {
            return false;
        }
        const QByteArray blob = file.readAll();
        file.close();

        QByteArray plain;
        const bool opened = m_protection->unprotect(blob, &plain);
        bool ok = false;
        if (opened && MasterKeyRecord::isRecord(plain)) {
            // Sealed under a master password: only the public key is known until unlock().
            if (const std::optional<QByteArray> publicKey = MasterKeyRecord::publicKey(plain)) {
                m_publicKey = *publicKey;
                m_masterRecord = plain;
                ok = true;
            }
        } else if (opened && plain.size() == crypto_box_PUBLICKEYBYTES + crypto_box_SECRETKEYBYTES) {
            // A damaged file that still opens (not every data protection checks its blobs) would hand
            // over a pair whose halves do not belong together: refused like a file that does not open.
            const auto* pair = reinterpret_cast<const unsigned char*>(plain.constData());
            unsigned char derived[crypto_box_PUBLICKEYBYTES];
            if (crypto_scalarmult_base(derived, pair + crypto_box_PUBLICKEYBYTES) == 0 &&
                sodium_memcmp(derived, pair, crypto_box_PUBLICKEYBYTES) == 0) {
                m_publicKey = plain.left(crypto_box_PUBLICKEYBYTES);
                m_secretKey = plain.mid(crypto_box_PUBLICKEYBYTES);
                ok = true;
            }
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
    // A key that is not safely on disk must not seal anything: every secret sealed with it would be
    // lost at the next start.
    QString error;
    if (!writeKeyFile(m_publicKey, m_secretKey, {}, &error)) {
        SPDLOG_ERROR("设备密钥文件保存失败: {}", error);
        wipeKeys();
        return false;
    }
    return true;
}

bool CryptoManager::writeKeyFile(const QByteArray& publicKey, const QByteArray& secretKey,
                                 const QByteArray& masterRecord, QString* error) const
{
    QByteArray joined = masterRecord.isEmpty() ? publicKey + secretKey : masterRecord;
    const QByteArray blob = m_protection->protect(joined, QString::fromLatin1(kKeyDescription));
    SecureMemory::wipe(joined);
    if (blob.isEmpty()) {
        *error = QStringLiteral("无法用当前用户的数据保护加密设备密钥");
        return false;
    }
    // Written beside the old file and moved over it: a crash leaves the old pair or the new one.
    return AtomicFileWriter::makePrivateDirectory(QFileInfo(m_keyFilePath).absolutePath(), error) &&
           AtomicFileWriter::write(m_keyFilePath, blob, AtomicFileWriter::kPrivateMode,
                                   AtomicFileWriter::Existing::Replace, error);
}

std::optional<QByteArray> CryptoManager::deriveSecretKey(const QString& masterPassword) const
{
    if (m_masterRecord.isEmpty()) {
        return std::nullopt;
    }
    return MasterKeyRecord::open(m_masterRecord, masterPassword);
}

bool CryptoManager::acceptSecretKey(QByteArray secretKey)
{
    unsigned char derivedPublic[crypto_box_PUBLICKEYBYTES];
    const bool matches =
        secretKey.size() == crypto_box_SECRETKEYBYTES && m_publicKey.size() == crypto_box_PUBLICKEYBYTES &&
        crypto_scalarmult_base(derivedPublic,
                               reinterpret_cast<const unsigned char*>(secretKey.constData())) == 0 &&
        sodium_memcmp(derivedPublic, m_publicKey.constData(), sizeof derivedPublic) == 0;
    if (matches) {
        const QMutexLocker locker(&m_keyMutex);
        SecureMemory::wipe(m_secretKey);
        m_secretKey = secretKey;
        // The member shares the data now: drop the local reference without wiping the key.
        secretKey = QByteArray();
        return true;
    }
    SecureMemory::wipe(secretKey);
    return false;
}

bool CryptoManager::unlock(const QString& masterPassword)
{
    if (m_masterRecord.isEmpty()) {
        return isInitialized();
    }
    std::optional<QByteArray> key = deriveSecretKey(masterPassword);
    return key && acceptSecretKey(std::move(*key));
}

void CryptoManager::lock()
{
    if (!m_masterRecord.isEmpty()) {
        const QMutexLocker locker(&m_keyMutex);
        ++m_lockCount;
        SecureMemory::wipe(m_secretKey);
    }
}

bool CryptoManager::isLocked() const
{
    const QMutexLocker locker(&m_keyMutex);
    return !m_publicKey.isEmpty() && m_secretKey.isEmpty();
}

bool CryptoManager::verifyMasterPassword(const QString& masterPassword) const
{
    std::optional<QByteArray> key = deriveSecretKey(masterPassword);
    if (!key) {
        return false;
    }
    SecureMemory::wipe(*key);
    return true;
}

bool CryptoManager::setMasterPassword(const QString& currentPassword, const QString& newPassword,
                                      QString* error)
{
    QString ignored;
    error = error ? error : &ignored;
    if (!isInitialized()) {
        *error = QStringLiteral("程序已锁定，请先解锁。");
        return false;
    }
    if (newPassword.isEmpty()) {
        *error = QStringLiteral("主密码不能为空。");
        return false;
    }
    if (hasMasterPassword() && !verifyMasterPassword(currentPassword)) {
        *error = QStringLiteral("当前主密码不正确。");
        return false;
    }
    QByteArray record = MasterKeyRecord::seal(m_publicKey, m_secretKey, newPassword);
    if (record.isEmpty()) {
        *error = QStringLiteral("主密码密钥派生失败（内存不足？）。");
        return false;
    }
    if (!writeKeyFile(m_publicKey, m_secretKey, record, error)) {
        return false;
    }
    m_masterRecord = record;
    return true;
}

bool CryptoManager::removeMasterPassword(const QString& currentPassword, QString* error)
{
    QString ignored;
    error = error ? error : &ignored;
    if (!hasMasterPassword()) {
        return true;
    }
    if (!isInitialized()) {
        *error = QStringLiteral("程序已锁定，请先解锁。");
        return false;
    }
    if (!verifyMasterPassword(currentPassword)) {
        *error = QStringLiteral("当前主密码不正确。");
        return false;
    }
    if (!writeKeyFile(m_publicKey, m_secretKey, {}, error)) {
        return false;
    }
    m_masterRecord.clear();
    return true;
}

bool CryptoManager::replaceWithNewKeys(QString* error)
{
    QString ignored;
    error = error ? error : &ignored;
    QByteArray publicKey(crypto_box_PUBLICKEYBYTES, '\0');
    QByteArray secretKey(crypto_box_SECRETKEYBYTES, '\0');
    if (crypto_box_keypair(reinterpret_cast<unsigned char*>(publicKey.data()),
                           reinterpret_cast<unsigned char*>(secretKey.data())) != 0) {
        SecureMemory::wipe(secretKey);
        *error = QStringLiteral("密钥对生成失败");
        return false;
    }
    if (!writeKeyFile(publicKey, secretKey, {}, error)) {
        SecureMemory::wipe(secretKey);
        return false;
    }
    wipeKeys();
    const QMutexLocker locker(&m_keyMutex);
    m_publicKey = publicKey;
    m_secretKey = secretKey;
    secretKey = QByteArray();
    m_masterRecord.clear();
    return true;
}

QString CryptoManager::sealEncrypt(const QString& plaintext) const
{
    const QMutexLocker locker(&m_keyMutex);
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
    const QMutexLocker locker(&m_keyMutex);
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
