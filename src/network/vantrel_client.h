#pragma once

#include "storage/remote.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QSet>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <functional>
#include <optional>

class QNetworkAccessManager;
class QNetworkCookieJar;
class QNetworkReply;
class QNetworkRequest;
struct AppConfig;

// Signs in to the partner cloud's customer portal (a web site) and reads every server the account
// can see, read-only: only GET requests and the sign-in form are ever sent. The finished list goes
// out whole through syncFinished, or not at all.
class VantrelClient : public QObject
{
    Q_OBJECT
public:
    // Used unless the configuration names another address.
    static constexpr const char* kDefaultBaseUrl = "https://www.vantrel.net";
    static constexpr int kMaxDetailsInFlight = 4;
    static constexpr int kPageSize = 100;
    static constexpr int kMaxPages = 1000;
    // A hostile or broken portal must not make the program wait or grow without bound.
    static constexpr int kRequestTimeoutMs = 20000;
    static constexpr int kMaxRedirects = 10;
    static constexpr qint64 kMaxPageBytes = 8LL * 1024 * 1024;
    // Sign-in and detail pages are read on the GUI thread by many patterns each: a tighter bound keeps
    // a hostile page from holding the window up. The sign-in answer may be the user centre.
    static constexpr qint64 kMaxSignInPageBytes = 2LL * 1024 * 1024;
    static constexpr qint64 kMaxDetailPageBytes = 1024 * 1024;
    static constexpr qint64 kMaxCaptchaBytes = 1024 * 1024;
    static constexpr int kMaxServers = 20000;

    explicit VantrelClient(QObject* parent = nullptr);
    ~VantrelClient() override;

    // Sends every request to `baseUrl` (https; http only for a loopback host) and trusts
    // `extraCaCertificates` besides the system's roots. An unusable address keeps the current one,
    // logs a warning and returns false.
    bool setBaseUrl(const QUrl& baseUrl, const QList<QSslCertificate>& extraCaCertificates = {});
    QUrl baseUrl() const { return m_baseUrl; }
    // Seam for tests of a silent portal.
    void setRequestTimeoutMs(int milliseconds) { m_requestTimeoutMs = milliseconds; }

    void prepareLogin(const QString& account);
    void refreshCaptcha();
    void login(const QString& account, const QString& password, const QString& captcha);

    // Every cookie of the jar for the portal address as name=value, joined by "; ".
    QByteArray cookieHeader() const;
    QString jwt() const { return m_jwt; }
    bool isPhoneMode() const { return m_phoneMode; }
    // True between a request sent and the run's end (prepared, failed or syncFinished).
    bool isBusy() const;

signals:
    void prepared(bool captchaRequired);
    void captchaReady(const QByteArray& imageData);
    void syncProgress(const QString& message);
    void failed(const QString& message);
    void syncFinished(const QString& userId, const QString& name, const QString& accountLabel,
                      const QList<Remote>& remotes);

private:
    using ReplyHandler = std::function<void(const QByteArray& body, const QUrl& finalUrl, int status)>;

    void readLoginToken(bool afterFailedSignIn);
    void onSignInReply(const QByteArray& body, const QUrl& finalUrl, int status);
    void fetchCaptcha();
    void fetchServiceIndex();
    void continueScan();
    void fetchServicePage(int page);
    void startDetails();
    void fetchDetailBundle(const QString& serverId);
    void finish();

    QNetworkRequest getRequest(const QUrl& url) const;
    QNetworkRequest postRequest(const QUrl& url) const;
    void get(const QUrl& url, ReplyHandler handler, qint64 maxBytes = kMaxPageBytes);
    void post(const QUrl& url, const QByteArray& form, ReplyHandler handler);
    void track(QNetworkReply* reply, ReplyHandler handler, qint64 maxBytes);
    void captureJwt(const QByteArray& body, const QByteArray& authorizationHeader);
    QUrl portalUrl(const QString& path) const;
    // The path of a reply's address below the portal address ("/login" for ".../login?x").
    QString portalPath(const QUrl& url) const;
    // Reports a failed run; `namesServer` adds the portal's address to the message.
    void fail(const QString& message, bool namesServer = true);

    QNetworkAccessManager* m_network = nullptr;
    QNetworkCookieJar* m_cookieJar = nullptr;
    QString m_account;
    QString m_loginToken;
    QString m_jwt;
    QString m_userId;
    QString m_displayName;
    QStringList m_groupIds;
    QStringList m_detailIds;
    QSet<QString> m_knownDetailIds;
    QHash<QString, Remote> m_listHints;
    QList<Remote> m_remotes;
    int m_nextDetail = 0;
    int m_inFlight = 0;
    int m_failedDetails = 0;
    int m_groupIndex = 0;
    bool m_phoneMode = true;

    QUrl m_baseUrl;
    std::optional<QSslConfiguration> m_tls; // set when extra roots are trusted
    int m_requestTimeoutMs = kRequestTimeoutMs;
    // Bumped by prepareLogin: replies of an earlier session are dropped.
    quint64 m_generation = 0;
    int m_pending = 0;
};

// Points `client` at `[portal] base_url` / `[portal] ca_certificates`, or leaves the built-in
// address when they are unset or unusable (logged). False when a configured value was unusable.
bool applyPortalConfig(VantrelClient& client, const AppConfig& config);
