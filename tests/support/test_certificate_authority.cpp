#include "support/test_certificate_authority.h"

#include <QByteArray>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSslSocket>
#include <QStandardPaths>

namespace {

// Bounds a single openssl run; key generation and signing take milliseconds.
constexpr int kOpensslTimeoutMs = 60000;
constexpr int kValidityDays = 2;
constexpr int kBackdateSeconds = 3600;

// openssl runs inside the authority's directory, so the paths in its configuration are relative and
// no directory name needs quoting there.
const char kAuthorityConfig[] = "[ca]\n"
                                "default_ca = test_ca\n"
                                "\n"
                                "[test_ca]\n"
                                "database = index.txt\n"
                                "new_certs_dir = issued\n"
                                "certificate = ca.crt\n"
                                "private_key = ca.key\n"
                                "default_md = sha256\n"
                                "policy = policy_any\n"
                                "unique_subject = no\n"
                                "rand_serial = yes\n"
                                "copy_extensions = none\n"
                                "email_in_dn = no\n"
                                "\n"
                                "[policy_any]\n"
                                "commonName = supplied\n"
                                "\n"
                                "[req]\n"
                                "distinguished_name = req_dn\n"
                                "prompt = no\n"
                                "\n"
                                "[req_dn]\n"
                                "commonName = unused\n"
                                "\n"
                                "[ca_ext]\n"
                                "basicConstraints = critical, CA:TRUE\n"
                                "keyUsage = critical, keyCertSign, cRLSign\n"
                                "subjectKeyIdentifier = hash\n"
                                "authorityKeyIdentifier = keyid:always\n";

bool runOpenssl(const QString& workingDirectory, const QStringList& arguments, QString* error)
{
    QProcess process;
    process.setWorkingDirectory(workingDirectory);
    process.setStandardInputFile(QProcess::nullDevice());
    process.start(QStringLiteral("openssl"), arguments);
    const QString what = QStringLiteral("openssl ") + arguments.value(0);
    if (!process.waitForStarted(kOpensslTimeoutMs)) {
        *error = what + QStringLiteral(" did not start: ") + process.errorString();
        return false;
    }
    if (!process.waitForFinished(kOpensslTimeoutMs)) {
        process.kill();
        process.waitForFinished(kOpensslTimeoutMs);
        *error = what + QStringLiteral(" did not finish");
        return false;
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        *error = what + QStringLiteral(" failed: ") +
                 QString::fromLocal8Bit(process.readAllStandardError()).trimmed();
        return false;
    }
    return true;
}

bool writeText(const QString& path, const QByteArray& content, QString* error)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(content) != content.size()) {
        *error = QStringLiteral("cannot write ") + path;
        return false;
    }
    return true;
}

// openssl truncates an existing file and keeps its mode, so the key is never readable by others.
bool prepareKeyFile(const QString& path, QString* error)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        !file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner)) {
        *error = QStringLiteral("cannot create ") + path;
        return false;
    }
    return true;
}

// P-256 keys, or RSA ones for clients that do not verify every ECDSA signature (Wine's crypt32 now
// and then calls a good one invalid).
bool rsaKeys()
{
    return qEnvironmentVariable("NIMBARA_TEST_CA_KEYS") == QLatin1String("rsa");
}

bool generateKey(const QString& workingDirectory, const QString& path, QString* error)
{
    const bool rsa = rsaKeys();
    return prepareKeyFile(path, error) &&
           runOpenssl(
               workingDirectory,
               {QStringLiteral("genpkey"), QStringLiteral("-algorithm"),
                rsa ? QStringLiteral("RSA") : QStringLiteral("EC"), QStringLiteral("-pkeyopt"),
                rsa ? QStringLiteral("rsa_keygen_bits:2048") : QStringLiteral("ec_paramgen_curve:P-256"),
                QStringLiteral("-out"), path},
               error);
}

// Validity as `openssl ca -startdate/-enddate` take it (UTCTime).
QStringList validityArguments()
{
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const QString format = QStringLiteral("yyMMddHHmmss'Z'");
    return {QStringLiteral("-startdate"), now.addSecs(-kBackdateSeconds).toString(format),
            QStringLiteral("-enddate"), now.addDays(kValidityDays).toString(format)};
}

} // namespace

TestCertificateAuthority::TestCertificateAuthority()
    : m_temporary(std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/nimbara-ca-XXXXXX")))
{
    if (m_temporary->isValid()) {
        m_directory = m_temporary->path();
    }
}

TestCertificateAuthority::TestCertificateAuthority(const QString& directory)
    : m_directory(QDir(directory).absolutePath())
{
}

QString TestCertificateAuthority::unavailableReason()
{
    if (QStandardPaths::findExecutable(QStringLiteral("openssl")).isEmpty()) {
        return QStringLiteral("the openssl program is not installed (Debian package openssl)");
    }
    return QString();
}

QString TestCertificateAuthority::caCertificatePath() const
{
    return QDir(m_directory).filePath(QStringLiteral("ca/ca.crt"));
}

bool TestCertificateAuthority::createAuthority(const QString& authorityDirectory, QString* error)
{
    const QDir dir(authorityDirectory);
    if (!QDir().mkpath(dir.filePath(QStringLiteral("issued")))) {
        *error = QStringLiteral("cannot create ") + authorityDirectory;
        return false;
    }
    // A random part in the name keeps two authorities apart even when made in the same second.
    const QString subject = QStringLiteral("/CN=NIMBARA Test CA %1")
                                .arg(QRandomGenerator::global()->generate64(), 16, 16, QLatin1Char('0'));
    return writeText(dir.filePath(QStringLiteral("index.txt")), QByteArray(), error) &&
           writeText(dir.filePath(QStringLiteral("ca.cnf")), kAuthorityConfig, error) &&
           generateKey(authorityDirectory, dir.filePath(QStringLiteral("ca.key")), error) &&
           runOpenssl(authorityDirectory,
                      {QStringLiteral("req"), QStringLiteral("-new"), QStringLiteral("-config"),
                       QStringLiteral("ca.cnf"), QStringLiteral("-key"), QStringLiteral("ca.key"),
                       QStringLiteral("-subj"), subject, QStringLiteral("-out"), QStringLiteral("ca.csr")},
                      error) &&
           runOpenssl(authorityDirectory,
                      QStringList{QStringLiteral("ca"), QStringLiteral("-batch"), QStringLiteral("-config"),
                                  QStringLiteral("ca.cnf"), QStringLiteral("-selfsign"),
                                  QStringLiteral("-keyfile"), QStringLiteral("ca.key"), QStringLiteral("-in"),
                                  QStringLiteral("ca.csr"), QStringLiteral("-out"), QStringLiteral("ca.crt"),
                                  QStringLiteral("-notext"), QStringLiteral("-extensions"),
                                  QStringLiteral("ca_ext")} +
                          validityArguments(),
                      error);
}

bool TestCertificateAuthority::create(QString* error)
{
    if (m_directory.isEmpty()) {
        *error = QStringLiteral("no directory for the certificates");
        return false;
    }
    const QString authority = QDir(m_directory).filePath(QStringLiteral("ca"));
    if (!createAuthority(authority, error)) {
        return false;
    }
    m_caCertificates = QSslCertificate::fromPath(caCertificatePath(), QSsl::Pem);
    if (m_caCertificates.size() != 1) {
        *error = QStringLiteral("cannot read back ") + caCertificatePath();
        return false;
    }
    return true;
}

bool TestCertificateAuthority::sign(const QString& authorityDirectory, const QString& name,
                                    const QStringList& subjectAltNames, Leaf* leaf, QString* error)
{
    static const QRegularExpression validName(QStringLiteral("^[A-Za-z0-9][A-Za-z0-9._-]*$"));
    if (!validName.match(name).hasMatch()) {
        *error = QStringLiteral("unusable certificate name: ") + name;
        return false;
    }
    if (subjectAltNames.isEmpty()) {
        *error = QStringLiteral("no subject alternative name for ") + name;
        return false;
    }
    for (const QString& entry : subjectAltNames) {
        if (!entry.contains(QLatin1Char(':')) || entry.contains(QLatin1Char(',')) ||
            entry.contains(QLatin1Char('\n'))) {
            *error = QStringLiteral("unusable subject alternative name: ") + entry;
            return false;
        }
    }
    if (!QFile::exists(QDir(authorityDirectory).filePath(QStringLiteral("ca.crt")))) {
        *error = QStringLiteral("the authority was not created");
        return false;
    }

    const QDir dir(m_directory);
    const QString keyPath = dir.filePath(name + QStringLiteral(".key"));
    const QString requestPath = dir.filePath(name + QStringLiteral(".csr"));
    const QString extensionsPath = dir.filePath(name + QStringLiteral(".ext"));
    const QString certificatePath = dir.filePath(name + QStringLiteral(".crt"));
    const QByteArray extensions = "[leaf_ext]\n"
                                  "basicConstraints = critical, CA:FALSE\n"
                                  "keyUsage = critical, digitalSignature\n"
                                  "extendedKeyUsage = serverAuth\n"
                                  "subjectAltName = " +
                                  subjectAltNames.join(QStringLiteral(", ")).toUtf8() +
                                  "\n"
                                  "subjectKeyIdentifier = hash\n"
                                  "authorityKeyIdentifier = keyid:always\n";
    if (!generateKey(authorityDirectory, keyPath, error) ||
        !runOpenssl(authorityDirectory,
                    {QStringLiteral("req"), QStringLiteral("-new"), QStringLiteral("-config"),
                     QStringLiteral("ca.cnf"), QStringLiteral("-key"), keyPath, QStringLiteral("-subj"),
                     QStringLiteral("/CN=") + name, QStringLiteral("-out"), requestPath},
                    error) ||
        !writeText(extensionsPath, extensions, error) ||
        !runOpenssl(authorityDirectory,
                    QStringList{QStringLiteral("ca"), QStringLiteral("-batch"), QStringLiteral("-config"),
                                QStringLiteral("ca.cnf"), QStringLiteral("-in"), requestPath,
                                QStringLiteral("-out"), certificatePath, QStringLiteral("-notext"),
                                QStringLiteral("-extfile"), extensionsPath, QStringLiteral("-extensions"),
                                QStringLiteral("leaf_ext")} +
                        validityArguments(),
                    error)) {
        return false;
    }

    const QList<QSslCertificate> certificates = QSslCertificate::fromPath(certificatePath, QSsl::Pem);
    QFile keyFile(keyPath);
    const QSslKey key =
        keyFile.open(QIODevice::ReadOnly)
            ? QSslKey(keyFile.readAll(), rsaKeys() ? QSsl::Rsa : QSsl::Ec, QSsl::Pem, QSsl::PrivateKey)
            : QSslKey();
    if (certificates.size() != 1 || key.isNull()) {
        *error = QStringLiteral("cannot read back the certificate or key of ") + name;
        return false;
    }
    *leaf = Leaf{certificatePath, keyPath, certificates.first(), key};
    return true;
}

bool TestCertificateAuthority::issue(const QString& name, const QStringList& subjectAltNames, Leaf* leaf,
                                     QString* error)
{
    return sign(QDir(m_directory).filePath(QStringLiteral("ca")), name, subjectAltNames, leaf, error);
}

bool TestCertificateAuthority::issue(const QString& name, Leaf* leaf, QString* error)
{
    return issue(name, {QStringLiteral("IP:127.0.0.1")}, leaf, error);
}

bool TestCertificateAuthority::issueUntrusted(const QString& name, const QStringList& subjectAltNames,
                                              Leaf* leaf, QString* error)
{
    const QString authority = QDir(m_directory).filePath(QStringLiteral("untrusted-ca"));
    if (m_directory.isEmpty()) {
        *error = QStringLiteral("no directory for the certificates");
        return false;
    }
    if (!m_untrustedCreated) {
        if (!createAuthority(authority, error)) {
            return false;
        }
        m_untrustedCreated = true;
    }
    return sign(authority, name, subjectAltNames, leaf, error);
}

bool TestCertificateAuthority::issueUntrusted(const QString& name, Leaf* leaf, QString* error)
{
    return issueUntrusted(name, {QStringLiteral("IP:127.0.0.1")}, leaf, error);
}

QSslConfiguration TestCertificateAuthority::clientConfiguration() const
{
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    // Setting CA certificates stops Qt from loading the system's on demand, so they are listed here.
    QList<QSslCertificate> authorities = configuration.caCertificates();
    for (const QList<QSslCertificate>& more : {QSslConfiguration::systemCaCertificates(), m_caCertificates}) {
        for (const QSslCertificate& certificate : more) {
            if (!authorities.contains(certificate)) {
                authorities.append(certificate);
            }
        }
    }
    configuration.setCaCertificates(authorities);
    return configuration;
}

QSslConfiguration TestCertificateAuthority::serverConfiguration(const Leaf& leaf)
{
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setLocalCertificate(leaf.certificate);
    configuration.setPrivateKey(leaf.key);
    configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
    return configuration;
}
