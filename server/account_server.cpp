#include "account_server.h"

#include "account_api.h"
#include "account_store.h"
#include "http_server.h"
#include "password_hasher.h"

#include <QFile>
#include <QSslCertificate>
#include <QSslKey>

#include <spdlog/spdlog.h>

#include <sys/resource.h>

#include <algorithm>

namespace {

constexpr int kPurgeIntervalMs = 60 * 60 * 1000;
constexpr rlim_t kWantedConnections = 4096;
constexpr rlim_t kReservedDescriptors = 64; // database, log, listener, update files

// The path as it may be logged: a decoded %0A would start a forged line and %1B a terminal escape,
// so control, format and separator characters (and the backslash) are written as \x.. / \u{..}.
std::string loggablePath(const QString& path)
{
    // Nearly every path is printable ASCII: written as it is, without looking at each character.
    if (std::all_of(path.cbegin(), path.cend(),
                    [](QChar c) { return c.unicode() >= 0x20 && c.unicode() < 0x7f && c != u'\\'; })) {
        return path.toStdString();
    }
    QString out;
    out.reserve(path.size());
    for (const char32_t c : path.toUcs4()) {
        const QChar::Category category = QChar::category(c);
        if (c == U'\\') {
            out += QStringLiteral("\\\\");
        } else if (c < 0x80 && (c < 0x20 || c == 0x7f)) {
            out += QStringLiteral("\\x%1").arg(static_cast<uint>(c), 2, 16, QLatin1Char('0'));
        } else if (category == QChar::Other_Control || category == QChar::Other_Format ||
                   category == QChar::Separator_Line || category == QChar::Separator_Paragraph ||
                   category == QChar::Other_Surrogate) {
            out += QStringLiteral("\\u{%1}").arg(static_cast<uint>(c), 0, 16);
        } else {
            out += QString::fromUcs4(&c, 1);
        }
    }
    return out.toStdString();
}

// Every connection is a file descriptor, and the usual soft limit is 1024: raise it to the hard
// limit, and accept only as many connections as then fit.
int connectionLimit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return 512;
    }
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0) {
            limit = raised;
        }
    }
    if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > kWantedConnections + kReservedDescriptors) {
        return static_cast<int>(kWantedConnections);
    }
    return static_cast<int>(qMax<rlim_t>(16, limit.rlim_cur - kReservedDescriptors));
}

bool loadTls(const ServerConfig& config, QSslConfiguration* tls, QString* error)
{
    const QList<QSslCertificate> chain = QSslCertificate::fromPath(config.certificatePath, QSsl::Pem);
    if (chain.isEmpty()) {
        *error = QStringLiteral("no PEM certificate in %1").arg(config.certificatePath);
        return false;
    }
    QFile keyFile(config.privateKeyPath);
    if (!keyFile.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1: %2").arg(config.privateKeyPath, keyFile.errorString());
        return false;
    }
    const QByteArray pem = keyFile.readAll();
    QSslKey key;
    for (const QSsl::KeyAlgorithm algorithm : {QSsl::Ec, QSsl::Rsa, QSsl::Dsa}) {
        key = QSslKey(pem, algorithm, QSsl::Pem, QSsl::PrivateKey);
        if (!key.isNull()) {
            break;
        }
    }
    if (key.isNull()) {
        *error = QStringLiteral("no unencrypted PEM private key in %1").arg(config.privateKeyPath);
        return false;
    }
    *tls = QSslConfiguration::defaultConfiguration();
    tls->setLocalCertificateChain(chain);
    tls->setPrivateKey(key);
    tls->setProtocol(QSsl::TlsV1_2OrLater);
    tls->setPeerVerifyMode(QSslSocket::VerifyNone);
    return true;
}

} // namespace

AccountServer::AccountServer(const ServerConfig& config, QObject* parent)
    : QObject(parent), m_config(config), m_store(std::make_unique<AccountStore>())
{
}

AccountServer::~AccountServer()
{
    delete m_http;
    delete m_api;
    delete m_hasher; // waits for running hashes, whose answers then go nowhere
}

bool AccountServer::start(QString* error)
{
    std::optional<QSslConfiguration> tls;
    if (m_config.usesTls()) {
        QSslConfiguration configuration;
        if (!loadTls(m_config, &configuration, error)) {
            return false;
        }
        tls = configuration;
    }
    if (!m_store->open(m_config, error)) {
        return false;
    }
    m_hasher = new PasswordHasher();
    m_api = new AccountApi(m_config, m_store.get(), m_hasher);
    m_http = new HttpServer();
    m_http->setMaxConnections(connectionLimit());
    m_http->setMaxConnectionsPerAddress(m_config.maxConnectionsPerAddress, m_config.trustForwardedFor);
    HttpConnection::Limits limits;
    limits.stallTimeoutMs = m_config.requestTimeoutSeconds * 1000;
    limits.idleTimeoutMs = m_config.idleTimeoutSeconds * 1000;
    m_http->setLimits(limits);
    m_http->setHandler([this](const HttpRequest& request, HttpResponder respond) {
        m_api->handle(request, std::move(respond));
    });
    m_http->setAdmission(
        [this](const HttpRequest& head, qint64 length) { return m_api->admit(head, length); });
    m_http->setAccessLog([](const HttpRequest& request, int status, qint64 elapsedMs) {
        // Method, path and status only: never a header, a token or a body.
        spdlog::info("{} {} {} {} {} ms", request.peer.toString().toStdString(), request.method.toStdString(),
                     loggablePath(request.path), status, elapsedMs);
    });
    AccountStore* store = m_store.get();
    m_http->setBatchHooks([store] { store->beginLookupBatch(); },
                          [store] {
                              store->endLookupBatch();
                              spdlog::default_logger_raw()->flush();
                          });
    if (!m_http->listen(m_config.listenAddress, m_config.listenPort, tls, error)) {
        *error =
            QStringLiteral("cannot listen on %1: %2").arg(m_config.listenText(m_config.listenPort), *error);
        return false;
    }
    m_api->setPublicBase(publicBase());
    m_api->purge();
    m_purgeTimer.setInterval(kPurgeIntervalMs);
    connect(&m_purgeTimer, &QTimer::timeout, m_api, &AccountApi::purge);
    m_purgeTimer.start();
    return true;
}

quint16 AccountServer::port() const
{
    return m_http ? m_http->port() : 0;
}

QString AccountServer::publicBase() const
{
    return m_config.publicBase(port());
}
