#include "platform/user_data_protection.h"

#include "platform/atomic_file_writer.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <sodium.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char kMagic[] = {'N', 'M', 'D', 'P'};
constexpr unsigned char kVersion = 1;
constexpr size_t kHeaderSize = sizeof(kMagic) + 1;
constexpr size_t kSecretSize = 32;
constexpr char kKeyContext[] = "NIMBARA user data protection v1";

bool ensureSodium()
{
    static const bool ok = sodium_init() >= 0;
    return ok;
}

// Wipes a fixed-size key buffer when it leaves scope, whatever the path.
class SecureBuffer
{
public:
    explicit SecureBuffer(size_t size) : m_data(size, '\0') {}
    ~SecureBuffer() { sodium_memzero(m_data.data(), static_cast<size_t>(m_data.size())); }
    SecureBuffer(const SecureBuffer&) = delete;
    SecureBuffer& operator=(const SecureBuffer&) = delete;
    unsigned char* data() { return reinterpret_cast<unsigned char*>(m_data.data()); }

private:
    QByteArray m_data;
};

} // namespace

UserDataProtection::UserDataProtection() : UserDataProtection(currentUser()) {}

UserDataProtection::UserDataProtection(Identity identity) : m_identity(std::move(identity))
{
    ensureSodium();
}

UserDataProtection::Identity UserDataProtection::currentUser()
{
    Identity identity;
    QString configHome = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (configHome.isEmpty() || !QDir::isAbsolutePath(configHome)) {
        configHome = QDir::homePath() + QStringLiteral("/.config");
    }
    identity.secretDirectory = configHome + QStringLiteral("/NIMBARA");
    identity.machineIdFiles = {QStringLiteral("/etc/machine-id"), QStringLiteral("/var/lib/dbus/machine-id")};
    identity.uid = static_cast<quint32>(::getuid());
    return identity;
}

QString UserDataProtection::secretFilePath() const
{
    return m_identity.secretDirectory + QLatin1Char('/') + QLatin1String(kSecretFileName);
}

bool UserDataProtection::hasMachineId() const
{
    return !machineId().isEmpty();
}

QByteArray UserDataProtection::machineId() const
{
    for (const QString& path : m_identity.machineIdFiles) {
        QFile file(path);
        if (file.open(QIODevice::ReadOnly)) {
            const QByteArray id = file.read(4096).trimmed();
            if (!id.isEmpty()) {
                return id;
            }
        }
    }
    return {};
}

bool UserDataProtection::readSecret(unsigned char* secret) const
{
    const QByteArray path = QFile::encodeName(secretFilePath());
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        return false;
    }
    struct stat st
    {
    };
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size == static_cast<off_t>(kSecretSize);
    size_t got = 0;
    while (ok && got < kSecretSize) {
        const ssize_t n = ::read(fd, secret + got, kSecretSize - got);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            ok = false;
            break;
        }
        got += static_cast<size_t>(n);
    }
    ::close(fd);
    if (!ok) {
        sodium_memzero(secret, kSecretSize);
    }
    return ok;
}

bool UserDataProtection::createSecretFile() const
{
    if (!AtomicFileWriter::makePrivateDirectory(m_identity.secretDirectory)) {
        return false;
    }
    // Never replaces an existing secret, so two processes racing here agree on one secret.
    SecureBuffer secret(kSecretSize);
    randombytes_buf(secret.data(), kSecretSize);
    return AtomicFileWriter::write(secretFilePath(),
                                   QByteArrayView(reinterpret_cast<const char*>(secret.data()), kSecretSize),
                                   AtomicFileWriter::kPrivateMode, AtomicFileWriter::Existing::Keep);
}

bool UserDataProtection::deriveKey(unsigned char* key, bool createSecret) const
{
    if (!ensureSodium()) {
        return false;
    }
    const QByteArray machine = machineId();
    if (machine.isEmpty()) {
        return false;
    }
    SecureBuffer secret(kSecretSize);
    if (!readSecret(secret.data())) {
        if (!createSecret || QFileInfo::exists(secretFilePath()) || !createSecretFile() ||
            !readSecret(secret.data())) {
            return false;
        }
    }
    QByteArray context(kKeyContext);
    context.append('\0').append(machine).append('\0').append(QByteArray::number(m_identity.uid));
    return crypto_generichash(
               key, crypto_secretbox_KEYBYTES, reinterpret_cast<const unsigned char*>(context.constData()),
               static_cast<unsigned long long>(context.size()), secret.data(), kSecretSize) == 0;
}

QByteArray UserDataProtection::protect(const QByteArray& plaintext, const QString& description)
{
    SecureBuffer key(crypto_secretbox_KEYBYTES);
    if (!deriveKey(key.data(), true)) {
        return {};
    }
    const QByteArray desc = description.toUtf8();
    const quint32 descLength = static_cast<quint32>(desc.size());

    QByteArray inner;
    inner.reserve(4 + desc.size() + plaintext.size());
    for (int shift = 0; shift < 32; shift += 8) {
        inner.append(static_cast<char>((descLength >> shift) & 0xff));
    }
    inner.append(desc).append(plaintext);

    QByteArray blob(
        static_cast<qsizetype>(kHeaderSize + crypto_secretbox_NONCEBYTES + crypto_secretbox_MACBYTES) +
            inner.size(),
        '\0');
    auto* out = reinterpret_cast<unsigned char*>(blob.data());
    std::memcpy(out, kMagic, sizeof(kMagic));
    out[sizeof(kMagic)] = kVersion;
    unsigned char* nonce = out + kHeaderSize;
    randombytes_buf(nonce, crypto_secretbox_NONCEBYTES);
    const int rc = crypto_secretbox_easy(nonce + crypto_secretbox_NONCEBYTES,
                                         reinterpret_cast<const unsigned char*>(inner.constData()),
                                         static_cast<unsigned long long>(inner.size()), nonce, key.data());
    sodium_memzero(inner.data(), static_cast<size_t>(inner.size()));
    return rc == 0 ? blob : QByteArray();
}

bool UserDataProtection::unprotect(const QByteArray& blob, QByteArray* plaintext, QString* description)
{
    plaintext->clear();
    const size_t minimum = kHeaderSize + crypto_secretbox_NONCEBYTES + crypto_secretbox_MACBYTES + 4;
    if (static_cast<size_t>(blob.size()) < minimum ||
        std::memcmp(blob.constData(), kMagic, sizeof(kMagic)) != 0 ||
        static_cast<unsigned char>(blob[sizeof(kMagic)]) != kVersion) {
        return false;
    }
    SecureBuffer key(crypto_secretbox_KEYBYTES);
    if (!deriveKey(key.data(), false)) {
        return false;
    }
    const auto* in = reinterpret_cast<const unsigned char*>(blob.constData());
    const unsigned char* nonce = in + kHeaderSize;
    const unsigned char* box = nonce + crypto_secretbox_NONCEBYTES;
    const size_t boxSize = static_cast<size_t>(blob.size()) - kHeaderSize - crypto_secretbox_NONCEBYTES;

    QByteArray inner(static_cast<qsizetype>(boxSize - crypto_secretbox_MACBYTES), '\0');
    auto* innerData = reinterpret_cast<unsigned char*>(inner.data());
    if (crypto_secretbox_open_easy(innerData, box, boxSize, nonce, key.data()) != 0) {
        return false;
    }
    quint32 descLength = 0;
    for (int i = 0; i < 4; ++i) {
        descLength |= static_cast<quint32>(innerData[i]) << (8 * i);
    }
    const bool ok = descLength <= static_cast<quint32>(inner.size() - 4);
    if (ok) {
        if (description != nullptr) {
            *description = QString::fromUtf8(inner.constData() + 4, static_cast<qsizetype>(descLength));
        }
        *plaintext = inner.mid(4 + static_cast<qsizetype>(descLength));
    }
    sodium_memzero(inner.data(), static_cast<size_t>(inner.size()));
    return ok;
}
