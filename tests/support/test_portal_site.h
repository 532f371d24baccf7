#pragma once

#include "support/test_certificate_authority.h"
#include "support/tls_test_server.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPair>
#include <QSet>
#include <QString>
#include <QUrl>

#include <memory>

class QSslSocket;
struct TestHttpHead;

// The partner cloud's customer portal as a small web site on 127.0.0.1 over HTTPS (certificate of the
// given private CA): sign-in page with a form token, captcha image, sign-in form, user centre, paged
// service lists per product group and one detail page per server (HTML, or JSON for some). HTTP/1.1
// with keep-alive; requests on one connection are answered in order. Pages past the sign-in need the
// session cookie and send visitors without one to "/login". Anything but GET and the sign-in POST is
// refused with 405 and counted; every request is recorded.
//
//     TestPortalSite site(ca);
//     QVERIFY2(site.start(&error), qPrintable(error));
//     site.setServers(TestPortalSite::generateServers(30, 2));
//     client.setBaseUrl(site.baseUrl(), ca.caCertificates());
//     client.prepareLogin(TestPortalSite::kPhone);
//     …
//     client.login(TestPortalSite::kPhone, TestPortalSite::kPassword, site.captchaCode());
class TestPortalSite
{
public:
    static constexpr const char* kPhone = "13800138000";
    static constexpr const char* kEmail = "admin@example.com";
    static constexpr const char* kPassword = "Secret-Pass&1";
    static constexpr const char* kUserId = "100234";
    static constexpr const char* kUserName = "张晓明";
    static constexpr const char* kSessionCookie = "portal_session";
    // Ids of the servers an endless list invents.
    static constexpr int kEndlessFirstId = 5000000;

    struct Server
    {
        QString id; // numeric
        QString name;
        QString ip;
        int port = 0; // 0: the detail page shows none
        QString os;
        QString username;
        QString password;
        QString dueDate; // "yyyy-MM-dd"; JSON pages send it as a timestamp
        QString groupId = QStringLiteral("1");
        bool json = false;
    };

    // Where a JWT shows up once signed in.
    enum class JwtPlace {
        Cookie, // Set-Cookie "jwt" on the sign-in answer
        Header, // "Authorization" header of every page past the sign-in
        Script, // localStorage.setItem("jwt", …) in the user centre
    };

    enum class Fault {
        None,
        HugeIndex,       // the user centre is 64 MiB long, sent as fast as the reader takes it
        EndlessRedirect, // the user centre redirects to itself, a new address each time
        EndlessPaging,   // every list page brings 100 servers never seen before
        MalformedHtml,   // unclosed rows after the index table, detail pages cut off mid-tag
        MalformedJson,   // JSON detail pages cut off, or nested far too deep
        NonImageCaptcha, // the captcha answer is an HTML page
        Silent,          // requests are read and never answered
        SilentDetails,   // detail pages are never answered
    };

    struct Request
    {
        QByteArray method;
        QByteArray target;
        QList<QPair<QByteArray, QByteArray>> headers;
        QByteArray body;

        QByteArray header(const QByteArray& name) const;
        QString path() const;
    };

    explicit TestPortalSite(TestCertificateAuthority& ca);
    ~TestPortalSite();
    TestPortalSite(const TestPortalSite&) = delete;
    TestPortalSite& operator=(const TestPortalSite&) = delete;

    bool start(QString* error);
    QUrl baseUrl() const;

    // `count` servers spread round robin over `groups` product groups (ids "1", "2", …): even ones
    // Windows with port 3389 on HTML pages, odd ones CentOS without a port; every fifth a JSON page.
    static QList<Server> generateServers(int count, int groups = 1, int firstId = 1001);
    void setServers(const QList<Server>& servers);
    QList<Server> servers() const { return m_servers; }

    // Rows per list page, whatever "limit" asks for.
    void setPageSize(int rows) { m_pageSize = rows; }
    // Each list page after the first starts with the last `rows` servers of the page before.
    void setPageOverlap(int rows) { m_pageOverlap = rows; }
    // Past its last page a group shows its last page again, instead of an empty table.
    void setRepeatLastPage(bool repeat) { m_repeatLastPage = repeat; }
    // Every sign-in page gets a new form token; only the latest one is accepted.
    void setRotateTokens(bool rotate) { m_rotateTokens = rotate; }
    // A refused sign-in answers the sign-in page itself (200) instead of redirecting to it.
    void setFailureInline(bool inline_) { m_failureInline = inline_; }
    // Where a successful sign-in leads: the user centre "/clientarea" (default), or "/home", the same
    // page under another address that the faults leave alone.
    void setSignInLanding(const QByteArray& path) { m_landing = path; }
    void addJwt(JwtPlace place, const QByteArray& value);
    // The detail page of this server answers 500.
    void setFailingDetail(const QString& serverId) { m_failingDetail = serverId; }
    void setFault(Fault fault) { m_fault = fault; }

    // The code drawn on the latest captcha image.
    QString captchaCode() const { return m_lastCaptchaCode; }
    int captchasDrawn() const { return m_captchasDrawn; }
    // The form token of the latest sign-in page.
    QString latestToken() const { return m_lastToken; }

    const QList<Request>& requests() const { return m_requests; }
    int requestCount(const QByteArray& method, const QString& path) const;
    // Requests answered 405.
    int refusedRequests() const { return m_refused; }
    int signIns() const { return m_signIns; }
    int connections() const { return m_connections; }
    void clearRecords();

private:
    struct Session
    {
        QString token;
        QString captcha;
        QString flash;
        bool signedIn = false;
    };
    struct Answer;

    void serve(QSslSocket* socket);
    void respond(QSslSocket* socket, const TestHttpHead& head, const QByteArray& body);
    Answer answer(const TestHttpHead& head, const QByteArray& body);
    Answer signIn(Session& session, const QString& action, const QByteArray& body);
    QByteArray loginPage(Session& session);
    QByteArray indexPage() const;
    QByteArray listPage(const QString& groupId, int page) const;
    Answer detailPage(const QString& serverId) const;
    QByteArray htmlDetail(const Server& server) const;
    QByteArray jsonDetail(const Server& server) const;
    QByteArray captchaImage(const QString& code) const;
    const Server* findServer(const QString& id) const;
    void streamHugeBody(QSslSocket* socket);

    TestCertificateAuthority& m_ca;
    TlsTestServer m_server;
    QObject m_context;
    QList<Server> m_servers;
    QHash<QString, int> m_serverIndex;
    QHash<QByteArray, Session> m_sessions;
    QList<QPair<JwtPlace, QByteArray>> m_jwts;
    QList<Request> m_requests;
    QByteArray m_landing = "/clientarea";
    QString m_failingDetail;
    QString m_lastCaptchaCode;
    QString m_lastToken;
    Fault m_fault = Fault::None;
    int m_pageSize = 100;
    int m_pageOverlap = 0;
    bool m_repeatLastPage = false;
    bool m_rotateTokens = false;
    bool m_failureInline = false;
    int m_refused = 0;
    int m_signIns = 0;
    int m_connections = 0;
    int m_captchasDrawn = 0;
    int m_redirectHops = 0;
    mutable int m_endlessNext = kEndlessFirstId;
};
