#pragma once

#include <QList>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QString>

struct AppConfig;

// Where the account service answers and which authorities, besides the system's, may sign its
// certificate: read once from the configuration by the start-up update check and the account client.
struct ServiceEndpoint
{
    QString baseUrl; // normalised: no trailing slash
    QList<QSslCertificate> extraCaCertificates;
    bool fromConfiguration = false; // false: the configured value was unusable, so the default is used
};

// The endpoint `[account] service_url` / `[account] ca_certificates` name, or the default service
// when they are unusable (logged).
ServiceEndpoint accountServiceEndpoint(const AppConfig& config);

// The endpoint `[acceleration] service_url` / `[acceleration] ca_certificates` name, or
// `defaultUrl` when they are unusable (logged).
ServiceEndpoint accelerationServiceEndpoint(const AppConfig& config, const QString& defaultUrl);

// The partner portal `[portal] base_url` / `[portal] ca_certificates` name, or `defaultUrl` when they
// are unusable (logged).
ServiceEndpoint portalEndpoint(const AppConfig& config, const QString& defaultUrl);

// PEM certificates from a file of at most 4 MiB. Empty, with `error` set, when there are none.
QList<QSslCertificate> readCaCertificates(const QString& path, QString* error);

// The operating system's trusted roots.
QList<QSslCertificate> systemRootCertificates();

// TLS settings that trust the system's roots plus `extra`.
QSslConfiguration tlsConfigurationTrusting(const QList<QSslCertificate>& extra);
