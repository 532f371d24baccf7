#pragma once

#include <QHostAddress>
#include <QString>
#include <QUrl>

// The account server's configuration file (TOML):
//
//     [server]   listen = "127.0.0.1:8443", certificate, private_key (PEM paths; both absent means
//                plain HTTP, loopback only), public_url, allow_registration, trust_forwarded_for
//     [storage]  sqlite = PATH  or  postgresql = "<libpq key=value connection string>",
//                timeout_seconds (how long a PostgreSQL call may take before it is given up)
//     [update]   directory = PATH
//     [sessions] idle_days, max_days
//     [limits]   sign_in_failures_per_email, sign_in_failures_per_address, sign_in_window_minutes,
//                max_connections_per_address, request_timeout_seconds, idle_timeout_seconds
//                registrations_per_address, registration_window_minutes, snapshot_quota_mib
//
// Relative paths are read relative to the file's own directory.
struct ServerConfig
{
    QHostAddress listenAddress = QHostAddress::LocalHost;
    quint16 listenPort = 8443;
    QString certificatePath;
    QString privateKeyPath;
    // The address clients use (download links are built on it); empty: derived from the listener.
    QUrl publicUrl;
    bool allowRegistration = true;
    // Behind a reverse proxy on loopback, the client's address is the last X-Forwarded-For entry.
    bool trustForwardedFor = false;

    QString sqlitePath;
    QString postgresql;
    int databaseTimeoutSeconds = 5;

    QString updateDirectory;

    int idleDays = 30;
    int maxDays = 180;

    int signInFailuresPerEmail = 5;
    int signInFailuresPerAddress = 50;
    int signInWindowMinutes = 15;
    // Registrations counted per client address (IPv4, or an IPv6 /64) within their own window.
    int registrationsPerAddress = 10;
    int registrationWindowMinutes = 60;
    // The largest snapshot a self-registered account may keep; accounts made with `user add` have
    // only the upload limit of 64 MiB.
    int snapshotQuotaMiB = 16;

    // Open connections one client address (IPv6: one /64) may hold; loopback clients are exempt
    // behind a trusted proxy, which carries every client over its own connections.
    int maxConnectionsPerAddress = 32;
    // A request head must be complete, and a body or an answer must move, within this time.
    int requestTimeoutSeconds = 30;
    // A connection with no request under way is closed after this time.
    int idleTimeoutSeconds = 60;

    bool usesTls() const { return !certificatePath.isEmpty(); }

    // Configuration files are small; anything larger (or endless, /dev/zero) is refused unread.
    static constexpr qint64 kMaxFileBytes = 1024 * 1024;

    // Reads and checks `path`; false with a one-line English reason.
    static bool load(const QString& path, ServerConfig* config, QString* error);
    // "address:port" of the listener, an IPv6 address in brackets ("[::1]:8443").
    QString listenText(quint16 actualPort) const;
    // The public base address without a trailing slash, given the port the listener got.
    QString publicBase(quint16 actualPort) const;
};
