#include "server_config.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <toml++/toml.h>

#include <algorithm>
#include <limits>

namespace {

QString text(const toml::table& root, std::string_view section, std::string_view key, bool* wrongType)
{
    const toml::node* node = root.at_path(std::string(section) + "." + std::string(key)).node();
    if (!node) {
        return {};
    }
    if (const auto* value = node->as_string()) {
        return QString::fromStdString(value->get());
    }
    *wrongType = true;
    return {};
}

std::optional<qint64> integer(const toml::table& root, std::string_view section, std::string_view key,
                              bool* wrongType)
{
    const toml::node* node = root.at_path(std::string(section) + "." + std::string(key)).node();
    if (!node) {
        return std::nullopt;
    }
    if (const auto* value = node->as_integer()) {
        // Saturated to int's range: the callers store an int, and a huge value must reach the range
        // checks as huge, not wrapped (idle_days = 2^32 + 30 would read as 30).
        return std::clamp<qint64>(value->get(), std::numeric_limits<int>::min(),
                                  std::numeric_limits<int>::max());
    }
    *wrongType = true;
    return std::nullopt;
}

std::optional<bool> boolean(const toml::table& root, std::string_view section, std::string_view key,
                            bool* wrongType)
{
    const toml::node* node = root.at_path(std::string(section) + "." + std::string(key)).node();
    if (!node) {
        return std::nullopt;
    }
    if (const auto* value = node->as_boolean()) {
        return value->get();
    }
    *wrongType = true;
    return std::nullopt;
}

bool parseListen(const QString& value, QHostAddress* address, quint16* port)
{
    const qsizetype colon = value.lastIndexOf(QLatin1Char(':'));
    if (colon <= 0) {
        return false;
    }
    QString host = value.left(colon);
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']'))) {
        host = host.mid(1, host.size() - 2);
    }
    bool ok = false;
    const uint number = value.mid(colon + 1).toUInt(&ok);
    if (!ok || number > 65535 || !address->setAddress(host)) {
        return false;
    }
    *port = static_cast<quint16>(number);
    return true;
}

} // namespace

bool ServerConfig::load(const QString& path, ServerConfig* config, QString* error)
{
    auto fail = [&](const QString& reason) {
        *error = QStringLiteral("%1: %2").arg(path, reason);
        return false;
    };
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return fail(file.errorString());
    }
    // A device or a pipe has no size to check first: read one byte past the limit at most.
    const QByteArray content = file.read(kMaxFileBytes + 1);
    if (content.size() > kMaxFileBytes) {
        return fail(QStringLiteral("file too large (a configuration has at most 1 MiB)"));
    }
    if (file.error() != QFileDevice::NoError) {
        return fail(file.errorString());
    }
    toml::table root;
    try {
        root = toml::parse(std::string_view(content.constData(), static_cast<size_t>(content.size())));
    } catch (const toml::parse_error& e) {
        return fail(QStringLiteral("line %1: %2")
                        .arg(e.source().begin.line)
                        .arg(QString::fromStdString(std::string(e.description()))));
    }

    const QDir base = QFileInfo(path).absoluteDir();
    auto resolve = [&](const QString& value) {
        return value.isEmpty() ? value : QDir::cleanPath(base.absoluteFilePath(value));
    };

    ServerConfig result;
    bool wrongType = false;
    const QString listen = text(root, "server", "listen", &wrongType);
    if (!listen.isEmpty() && !parseListen(listen, &result.listenAddress, &result.listenPort)) {
        return fail(QStringLiteral("[server] listen must be \"address:port\", got \"%1\"").arg(listen));
    }
    result.certificatePath = resolve(text(root, "server", "certificate", &wrongType));
    result.privateKeyPath = resolve(text(root, "server", "private_key", &wrongType));
    const QString publicUrl = text(root, "server", "public_url", &wrongType);
    result.allowRegistration = boolean(root, "server", "allow_registration", &wrongType).value_or(true);
    result.trustForwardedFor = boolean(root, "server", "trust_forwarded_for", &wrongType).value_or(false);
    result.sqlitePath = resolve(text(root, "storage", "sqlite", &wrongType));
    result.postgresql = text(root, "storage", "postgresql", &wrongType);
    result.databaseTimeoutSeconds =
        static_cast<int>(integer(root, "storage", "timeout_seconds", &wrongType).value_or(5));
    result.updateDirectory = resolve(text(root, "update", "directory", &wrongType));
    result.idleDays = static_cast<int>(integer(root, "sessions", "idle_days", &wrongType).value_or(30));
    result.maxDays = static_cast<int>(integer(root, "sessions", "max_days", &wrongType).value_or(180));
    result.signInFailuresPerEmail =
        static_cast<int>(integer(root, "limits", "sign_in_failures_per_email", &wrongType).value_or(5));
    result.signInFailuresPerAddress =
        static_cast<int>(integer(root, "limits", "sign_in_failures_per_address", &wrongType).value_or(50));
    result.signInWindowMinutes =
        static_cast<int>(integer(root, "limits", "sign_in_window_minutes", &wrongType).value_or(15));
    result.maxConnectionsPerAddress =
        static_cast<int>(integer(root, "limits", "max_connections_per_address", &wrongType).value_or(32));
    result.requestTimeoutSeconds =
        static_cast<int>(integer(root, "limits", "request_timeout_seconds", &wrongType).value_or(30));
    result.idleTimeoutSeconds =
        static_cast<int>(integer(root, "limits", "idle_timeout_seconds", &wrongType).value_or(60));
    result.registrationsPerAddress =
        static_cast<int>(integer(root, "limits", "registrations_per_address", &wrongType).value_or(10));
    result.registrationWindowMinutes =
        static_cast<int>(integer(root, "limits", "registration_window_minutes", &wrongType).value_or(60));
    result.snapshotQuotaMiB =
        static_cast<int>(integer(root, "limits", "snapshot_quota_mib", &wrongType).value_or(16));
    if (wrongType) {
        return fail(
            QStringLiteral("a key has the wrong type (texts are quoted, numbers and true/false are not)"));
    }

    if (result.certificatePath.isEmpty() != result.privateKeyPath.isEmpty()) {
        return fail(QStringLiteral("[server] certificate and private_key go together"));
    }
    if (!result.usesTls() && !result.listenAddress.isLoopback()) {
        return fail(QStringLiteral("plain HTTP is only allowed on a loopback address; "
                                   "set [server] certificate and private_key"));
    }
    if (!publicUrl.isEmpty()) {
        result.publicUrl = QUrl(publicUrl, QUrl::StrictMode);
        const QString scheme = result.publicUrl.scheme();
        if (!result.publicUrl.isValid() || result.publicUrl.host().isEmpty() ||
            (scheme != QLatin1String("https") && scheme != QLatin1String("http")) ||
            !result.publicUrl.userInfo().isEmpty() || result.publicUrl.hasQuery() ||
            result.publicUrl.hasFragment()) {
            return fail(
                QStringLiteral("[server] public_url must be an http(s) address without user, query or "
                               "fragment"));
        }
    }
    const bool anyAddress = result.listenAddress == QHostAddress(QHostAddress::AnyIPv4) ||
                            result.listenAddress == QHostAddress(QHostAddress::AnyIPv6) ||
                            result.listenAddress == QHostAddress(QHostAddress::Any);
    if (anyAddress && result.publicUrl.isEmpty() && !result.updateDirectory.isEmpty()) {
        return fail(QStringLiteral("set [server] public_url: download links cannot name the address %1")
                        .arg(result.listenAddress.toString()));
    }
    if (result.sqlitePath.isEmpty() == result.postgresql.isEmpty()) {
        return fail(QStringLiteral("set exactly one of [storage] sqlite and [storage] postgresql"));
    }
    if (result.postgresql.contains(QLatin1Char(';')) || result.postgresql.contains(QLatin1String("://"))) {
        return fail(QStringLiteral("[storage] postgresql takes the key=value form without ';' "
                                   "(host=... port=... dbname=... user=...)"));
    }
    if (result.databaseTimeoutSeconds < 1 || result.databaseTimeoutSeconds > 600) {
        return fail(QStringLiteral("[storage] timeout_seconds must be between 1 and 600"));
    }
    if (result.idleDays < 1 || result.maxDays < 1 || result.idleDays > 3650 || result.maxDays > 3650) {
        return fail(QStringLiteral("[sessions] idle_days and max_days must be between 1 and 3650"));
    }
    if (result.signInFailuresPerEmail < 1 || result.signInFailuresPerAddress < 1 ||
        result.signInWindowMinutes < 1 || result.signInWindowMinutes > 24 * 60) {
        return fail(QStringLiteral("[limits] values must be positive (window at most 1440 minutes)"));
    }
    if (result.maxConnectionsPerAddress < 1 || result.maxConnectionsPerAddress > 100000 ||
        result.requestTimeoutSeconds < 1 || result.requestTimeoutSeconds > 3600 ||
        result.idleTimeoutSeconds < 1 || result.idleTimeoutSeconds > 3600) {
        return fail(QStringLiteral("[limits] max_connections_per_address must be 1 to 100000, "
                                   "request_timeout_seconds and idle_timeout_seconds 1 to 3600"));
    }
    if (result.registrationsPerAddress < 1 || result.registrationWindowMinutes < 1 ||
        result.registrationWindowMinutes > 24 * 60) {
        return fail(QStringLiteral("[limits] registrations_per_address must be positive and "
                                   "registration_window_minutes between 1 and 1440"));
    }
    if (result.snapshotQuotaMiB < 1 || result.snapshotQuotaMiB > 64) {
        return fail(QStringLiteral("[limits] snapshot_quota_mib must be between 1 and 64"));
    }
    *config = result;
    return true;
}

QString ServerConfig::listenText(quint16 actualPort) const
{
    const QString host = listenAddress.toString();
    const bool ipv6 = listenAddress.protocol() == QAbstractSocket::IPv6Protocol;
    return QStringLiteral("%1:%2")
        .arg(ipv6 ? QLatin1Char('[') + host + QLatin1Char(']') : host)
        .arg(actualPort);
}

QString ServerConfig::publicBase(quint16 actualPort) const
{
    if (!publicUrl.isEmpty()) {
        QString base = publicUrl.toString(QUrl::FullyEncoded);
        while (base.endsWith(QLatin1Char('/'))) {
            base.chop(1);
        }
        return base;
    }
    QUrl url;
    url.setScheme(usesTls() ? QStringLiteral("https") : QStringLiteral("http"));
    url.setHost(listenAddress.toString());
    url.setPort(actualPort);
    return url.toString(QUrl::FullyEncoded);
}
