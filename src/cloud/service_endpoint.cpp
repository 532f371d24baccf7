#include "cloud/service_endpoint.h"

#include "cloud/account_client.h"
#include "logger.h"
#include "storage/app_config.h"

#include <QFile>
#include <QUrl>

namespace {

// A CA bundle is a few kilobytes; anything far larger is not one.
constexpr qint64 kMaxCaFileSize = 4 * 1024 * 1024;

} // namespace

QList<QSslCertificate> readCaCertificates(const QString& path, QString* error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (error)
            *error = file.errorString();
        return {};
    }
    const QByteArray pem = file.read(kMaxCaFileSize + 1);
    if (pem.size() > kMaxCaFileSize) {
        if (error)
            *error = QStringLiteral("file larger than 4 MiB");
        return {};
    }
    QList<QSslCertificate> certificates = QSslCertificate::fromData(pem, QSsl::Pem);
    if (certificates.isEmpty() && error)
        *error = QStringLiteral("no PEM certificate");
    return certificates;
}

QList<QSslCertificate> systemRootCertificates()
{
    // Qt's own list parses every file of the certificate directories, some twice (about a quarter of
    // a second); the distribution's bundle holds the same roots in one file. Read once per process.
    static const QList<QSslCertificate> roots = [] {
        for (const char* bundle : {"/etc/ssl/certs/ca-certificates.crt", "/etc/pki/tls/certs/ca-bundle.crt",
                                   "/etc/ssl/ca-bundle.pem"}) {
            QFile file(QString::fromLatin1(bundle));
            if (file.open(QIODevice::ReadOnly)) {
                const QList<QSslCertificate> certificates =
                    QSslCertificate::fromData(file.read(kMaxCaFileSize * 4), QSsl::Pem);
                if (!certificates.isEmpty())
                    return certificates;
            }
        }
        return QSslConfiguration::systemCaCertificates();
    }();
    return roots;
}

QSslConfiguration tlsConfigurationTrusting(const QList<QSslCertificate>& extra)
{
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    if (extra.isEmpty())
        return tls;
    // Listing roots stops Qt from loading the system's on demand, so those are listed too.
    QList<QSslCertificate> roots = tls.caCertificates();
    for (const QList<QSslCertificate>& more : {systemRootCertificates(), extra}) {
        for (const QSslCertificate& certificate : more) {
            if (!roots.contains(certificate))
                roots.append(certificate);
        }
    }
    tls.setCaCertificates(roots);
    return tls;
}

namespace {

// The endpoint one section's address key (`urlKey`) and `ca_certificates` name; `serviceName` words
// the warning.
ServiceEndpoint configuredEndpoint(const char* section, const char* urlKey, const QString& urlText,
                                   const QString& caPath, const QString& defaultUrl, const char* serviceName)
{
    const ServiceEndpoint fallback{defaultUrl, {}, false};
    const QUrl url = urlText.isEmpty() ? QUrl(defaultUrl) : QUrl(urlText, QUrl::StrictMode);
    const std::optional<QString> normalized = AccountClient::normalizedServiceUrl(url);
    if (!normalized) {
        SPDLOG_WARN("[{}] {} 不可用（需 https，http 仅限本机回环地址），继续使用默认地址: {}", section,
                    urlKey, urlText);
        return fallback;
    }

    ServiceEndpoint endpoint{*normalized, {}, true};
    if (!caPath.isEmpty()) {
        QString error;
        endpoint.extraCaCertificates = readCaCertificates(caPath, &error);
        if (endpoint.extraCaCertificates.isEmpty()) {
            SPDLOG_WARN("[{}] ca_certificates 无法读取或不含 PEM 证书（{}），继续使用默认{}地址: {}", section,
                        error, serviceName, caPath);
            return fallback;
        }
    }
    return endpoint;
}

} // namespace

ServiceEndpoint accountServiceEndpoint(const AppConfig& config)
{
    return configuredEndpoint("account", "service_url", config.account_service_url.trimmed(),
                              config.account_ca_certificates.trimmed(),
                              QString::fromLatin1(AccountClient::kDefaultServiceUrl), "会员服务");
}

ServiceEndpoint accelerationServiceEndpoint(const AppConfig& config, const QString& defaultUrl)
{
    return configuredEndpoint("acceleration", "service_url", config.acceleration_service_url.trimmed(),
                              config.acceleration_ca_certificates.trimmed(), defaultUrl, "加速服务");
}

ServiceEndpoint portalEndpoint(const AppConfig& config, const QString& defaultUrl)
{
    return configuredEndpoint("portal", "base_url", config.portal_base_url.trimmed(),
                              config.portal_ca_certificates.trimmed(), defaultUrl, "合作门户");
}
