#include "support/test_portal_site.h"

#include "support/test_http_head.h"

#include <QBuffer>
#include <QDateTime>
#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QSslSocket>
#include <QTimer>
#include <QUrlQuery>

#include <array>

namespace {

constexpr qint64 kHugeBytes = 64LL * 1024 * 1024;
constexpr qint64 kHugeChunk = 256 * 1024;
constexpr int kEndlessPageRows = 100;
constexpr int kDeepNesting = 1000;

const QString kCaptchaField = QStringLiteral("allow_login_phone_captcha");

QString escaped(const QString& text)
{
    return text.toHtmlEscaped();
}

QByteArray randomHex(int bytes)
{
    QByteArray raw(bytes, Qt::Uninitialized);
    for (char& byte : raw)
        byte = static_cast<char>(QRandomGenerator::global()->bounded(256));
    return raw.toHex();
}

// Seconds since the epoch of local midnight at the start of `date` ("yyyy-MM-dd").
qint64 timestampOf(const QString& date)
{
    return QDateTime(QDate::fromString(date, Qt::ISODate), QTime(0, 0)).toSecsSinceEpoch();
}

QByteArray pageShell(const QString& title, const QString& body)
{
    return QStringLiteral(
               "<!DOCTYPE html>\n<html lang=\"zh-CN\">\n<head>\n<meta charset=\"utf-8\">\n"
               "<title>%1 - 云主机控制台</title>\n<link rel=\"stylesheet\" href=\"/static/app.css\">\n"
               "</head>\n<body>\n%2\n<footer class=\"site-footer\"><span>7×24 小时</span> "
               "Support：9527</footer>\n"
               "</body>\n</html>\n")
        .arg(title, body)
        .toUtf8();
}

// Digits 0-9 as 3 × 5 bitmaps, one row per three bits.
constexpr std::array<std::array<quint8, 5>, 10> kDigitGlyphs{{
    {7, 5, 5, 5, 7},
    {2, 6, 2, 2, 7},
    {7, 1, 7, 4, 7},
    {7, 1, 7, 1, 7},
    {5, 5, 7, 1, 1},
    {7, 4, 7, 1, 7},
    {7, 4, 7, 5, 7},
    {7, 1, 2, 2, 2},
    {7, 5, 7, 5, 7},
    {7, 5, 7, 1, 7},
}};

} // namespace

struct TestPortalSite::Answer
{
    int status = 200;
    QByteArray reason = "OK";
    QByteArray contentType = "text/html; charset=utf-8";
    QByteArray body;
    QList<QPair<QByteArray, QByteArray>> headers;
    bool huge = false;
    bool silent = false;

    static Answer redirect(const QByteArray& location)
    {
        Answer answer;
        answer.status = 302;
        answer.reason = "Found";
        answer.headers.append({"Location", location});
        return answer;
    }
    static Answer error(int status, const QByteArray& reason)
    {
        Answer answer;
        answer.status = status;
        answer.reason = reason;
        answer.body = pageShell(QString::fromLatin1(reason), QString::fromLatin1("<h1>" + reason + "</h1>"));
        return answer;
    }
};

QByteArray TestPortalSite::Request::header(const QByteArray& name) const
{
    TestHttpHead head;
    head.headers = headers;
    return head.header(name);
}

QString TestPortalSite::Request::path() const
{
    return QUrl(QStringLiteral("https://127.0.0.1") + QString::fromLatin1(target)).path();
}

TestPortalSite::TestPortalSite(TestCertificateAuthority& ca)
    : m_ca(ca), m_server([this](QSslSocket* socket) { serve(socket); })
{
}

TestPortalSite::~TestPortalSite() = default;

bool TestPortalSite::start(QString* error)
{
    return m_server.listen(m_ca, QStringLiteral("portal-site"), error);
}

QUrl TestPortalSite::baseUrl() const
{
    return QUrl(m_server.baseUrl());
}

QList<TestPortalSite::Server> TestPortalSite::generateServers(int count, int groups, int firstId)
{
    QList<Server> servers;
    servers.reserve(count);
    const QDate firstDue(2027, 1, 1);
    for (int i = 0; i < count; ++i) {
        Server server;
        const bool windows = i % 2 == 0;
        server.id = QString::number(firstId + i);
        server.name =
            QStringLiteral("%1-%2").arg(windows ? QStringLiteral("win") : QStringLiteral("web"), server.id);
        const int n = i + 1;
        server.ip = QStringLiteral("10.%1.%2.%3").arg(n / 62500 % 250).arg(n / 250 % 250).arg(n % 250 + 1);
        server.port = windows ? 3389 : 0;
        server.os =
            windows ? QStringLiteral("Windows Server 2019 数据中心版") : QStringLiteral("CentOS 7.9 64位");
        server.username = windows ? QStringLiteral("administrator") : QStringLiteral("root");
        // Text that reads as an entity, and characters the pages write as entities, named and numeric.
        server.password = QStringLiteral("Pw<%1>&lt;$x").arg(server.id);
        server.dueDate = firstDue.addDays(i % 365).toString(Qt::ISODate);
        server.groupId = QString::number(i % std::max(1, groups) + 1);
        server.json = i % 5 == 4;
        servers.append(server);
    }
    return servers;
}

void TestPortalSite::setServers(const QList<Server>& servers)
{
    m_servers = servers;
    m_serverIndex.clear();
    for (int i = 0; i < m_servers.size(); ++i)
        m_serverIndex.insert(m_servers.at(i).id, i);
}

void TestPortalSite::addJwt(JwtPlace place, const QByteArray& value)
{
    m_jwts.append({place, value});
}

int TestPortalSite::requestCount(const QByteArray& method, const QString& path) const
{
    int count = 0;
    for (const Request& request : m_requests) {
        if (request.method == method && request.path() == path)
            ++count;
    }
    return count;
}

void TestPortalSite::clearRecords()
{
    m_requests.clear();
    m_refused = 0;
    m_signIns = 0;
    m_connections = 0;
}

const TestPortalSite::Server* TestPortalSite::findServer(const QString& id) const
{
    const auto found = m_serverIndex.constFind(id);
    return found == m_serverIndex.constEnd() ? nullptr : &m_servers.at(*found);
}

void TestPortalSite::serve(QSslSocket* socket)
{
    ++m_connections;
    socket->setParent(&m_context);
    QObject::connect(socket, &QSslSocket::disconnected, socket, &QObject::deleteLater);
    auto buffer = std::make_shared<QByteArray>();
    // Answers every complete request in arrival order; a silent or streaming answer stops the line.
    auto busy = std::make_shared<bool>(false);
    const auto onReadable = [this, socket, buffer, busy] {
        *buffer += socket->readAll();
        while (!*busy) {
            const std::optional<TestHttpHead> head = TestHttpHead::parse(*buffer);
            if (!head)
                return;
            const qsizetype length = head->header("Content-Length").toLongLong();
            if (buffer->size() < head->size + length)
                return;
            const QByteArray body = buffer->mid(head->size, length);
            buffer->remove(0, head->size + length);
            m_requests.append({head->method, head->target, head->headers, body});
            const Answer reply = answer(*head, body);
            if (reply.silent) {
                *busy = true;
                return;
            }
            QByteArray text = "HTTP/1.1 " + QByteArray::number(reply.status) + ' ' + reply.reason + "\r\n";
            if (reply.status != 302 || !reply.body.isEmpty())
                text += "Content-Type: " + reply.contentType + "\r\n";
            const qint64 length_ = reply.huge ? kHugeBytes : reply.body.size();
            text += "Content-Length: " + QByteArray::number(length_) + "\r\n";
            for (const auto& [name, value] : reply.headers)
                text += name + ": " + value + "\r\n";
            // A streamed page ends its connection, as a server that cannot frame what follows would.
            const bool close =
                reply.huge || head->header("Connection").compare("close", Qt::CaseInsensitive) == 0;
            text += close ? "Connection: close\r\n\r\n" : "Connection: keep-alive\r\n\r\n";
            socket->write(text + reply.body);
            if (reply.huge) {
                *busy = true;
                streamHugeBody(socket);
                return;
            }
            if (close) {
                socket->disconnectFromHost();
                *busy = true;
                return;
            }
        }
    };
    QObject::connect(socket, &QSslSocket::readyRead, socket, onReadable);
    // Bytes may have come with the handshake.
    QTimer::singleShot(0, socket, onReadable);
}

void TestPortalSite::streamHugeBody(QSslSocket* socket)
{
    // Queues at most a few chunks: the page costs this process little however slowly it is read.
    static const QByteArray chunk = [] {
        QByteArray line = "<tr><td>" + QByteArray(100, 'x') + "</td></tr>\n";
        QByteArray block;
        while (block.size() + line.size() <= kHugeChunk)
            block += line;
        return block.leftJustified(kHugeChunk, ' ');
    }();
    auto remaining = std::make_shared<qint64>(kHugeBytes);
    const auto feed = [socket, remaining] {
        if (*remaining == 0)
            return;
        // Written bytes move on to the encrypted buffer at once: both count.
        while (*remaining > 0 && socket->bytesToWrite() + socket->encryptedBytesToWrite() < 4 * kHugeChunk) {
            const qint64 size = std::min(*remaining, kHugeChunk);
            socket->write(chunk.left(size));
            *remaining -= size;
        }
        if (*remaining == 0)
            socket->disconnectFromHost();
    };
    QObject::connect(socket, &QSslSocket::bytesWritten, socket, feed);
    QObject::connect(socket, &QSslSocket::encryptedBytesWritten, socket, feed);
    feed();
}

TestPortalSite::Answer TestPortalSite::answer(const TestHttpHead& head, const QByteArray& body)
{
    const QUrl url(QStringLiteral("https://127.0.0.1") + QString::fromLatin1(head.target));
    const QString path = url.path();
    const QUrlQuery query(url);
    const bool signInForm = head.method == "POST" && path == QLatin1String("/login");
    if (head.method != "GET" && !signInForm) {
        ++m_refused;
        Answer refused = Answer::error(405, "Method Not Allowed");
        refused.headers.append({QByteArray("Allow"), QByteArray("GET")});
        return refused;
    }
    if (m_fault == Fault::Silent) {
        Answer silent;
        silent.silent = true;
        return silent;
    }

    // The session named by the cookie, or a new one announced with Set-Cookie.
    QByteArray sessionId;
    for (const QByteArray& pair : head.header("Cookie").split(';')) {
        const QByteArray trimmed = pair.trimmed();
        if (trimmed.startsWith(QByteArray(kSessionCookie) + '='))
            sessionId = trimmed.mid(qstrlen(kSessionCookie) + 1);
    }
    QList<QPair<QByteArray, QByteArray>> sessionHeaders;
    if (!m_sessions.contains(sessionId)) {
        sessionId = randomHex(16);
        m_sessions.insert(sessionId, Session());
        sessionHeaders.append(
            {"Set-Cookie", QByteArray(kSessionCookie) + '=' + sessionId + "; Path=/; Secure; HttpOnly"});
    }
    Session& session = m_sessions[sessionId];

    Answer reply;
    if (signInForm) {
        reply = signIn(session, query.queryItemValue(QStringLiteral("action")), body);
    } else if (path == QLatin1String("/") || path == QLatin1String("/login")) {
        reply.body = loginPage(session);
    } else if (path == QLatin1String("/verify") &&
               query.queryItemValue(QStringLiteral("name")) == kCaptchaField) {
        session.captcha.clear();
        for (int i = 0; i < 4; ++i)
            session.captcha += QChar(u'0' + QRandomGenerator::global()->bounded(10));
        m_lastCaptchaCode = session.captcha;
        ++m_captchasDrawn;
        reply.contentType = "image/png";
        reply.body = captchaImage(session.captcha);
        if (m_fault == Fault::NonImageCaptcha) {
            reply.body = pageShell(QStringLiteral("验证码"), QStringLiteral("<p>服务繁忙</p>"));
        }
        reply.headers.append({QByteArray("Cache-Control"), QByteArray("no-store")});
    } else if (!session.signedIn &&
               (path == QLatin1String("/clientarea") || path == QLatin1String("/home") ||
                path == QLatin1String("/service") || path == QLatin1String("/servicedetail") ||
                path.startsWith(QLatin1String("/v10/")))) {
        reply = Answer::redirect("/login");
    } else if (path == QLatin1String("/clientarea")) {
        if (m_fault == Fault::EndlessRedirect) {
            reply = Answer::redirect("/clientarea?hop=" + QByteArray::number(++m_redirectHops));
        } else if (m_fault == Fault::HugeIndex) {
            reply.huge = true;
        } else {
            reply.body = indexPage();
        }
    } else if (path == QLatin1String("/home")) {
        reply.body = indexPage();
    } else if (path == QLatin1String("/service")) {
        reply.body = listPage(query.queryItemValue(QStringLiteral("groupid")),
                              query.queryItemValue(QStringLiteral("page")).toInt());
    } else if (path == QLatin1String("/servicedetail") && m_fault == Fault::SilentDetails) {
        reply.silent = true;
    } else if (path == QLatin1String("/servicedetail")) {
        reply = detailPage(query.queryItemValue(QStringLiteral("id")));
    } else {
        reply = Answer::error(404, "Not Found");
    }
    if (session.signedIn && signInForm == false) {
        for (const auto& [place, value] : std::as_const(m_jwts)) {
            if (place == JwtPlace::Header)
                reply.headers.append({"Authorization", value});
        }
    }
    reply.headers = sessionHeaders + reply.headers;
    return reply;
}

TestPortalSite::Answer TestPortalSite::signIn(Session& session, const QString& action, const QByteArray& body)
{
    if (action != QLatin1String("phone") && action != QLatin1String("email")) {
        ++m_refused;
        return Answer::error(405, "Method Not Allowed");
    }
    ++m_signIns;
    // application/x-www-form-urlencoded: '+' stands for a blank.
    QByteArray form = body;
    form.replace('+', ' ');
    const QUrlQuery fields(QString::fromUtf8(form));
    const auto field = [&](const QString& name) {
        return fields.queryItemValue(name, QUrl::FullyDecoded);
    };

    QString problem;
    if (session.token.isEmpty() || field(QStringLiteral("token")) != session.token) {
        problem = QStringLiteral("页面已过期，请刷新后重新登录");
    } else if (action == QLatin1String("phone")) {
        const QString expected = session.captcha;
        session.captcha.clear(); // one guess per image
        if (field(QStringLiteral("phone_code")) != QLatin1String("+86"))
            problem = QStringLiteral("请选择手机号所属地区");
        else if (expected.isEmpty() ||
                 field(QStringLiteral("captcha")).compare(expected, Qt::CaseInsensitive) != 0)
            problem = QStringLiteral("图片验证码错误");
        else if (field(QStringLiteral("phone")) != QLatin1String(kPhone) ||
                 field(QStringLiteral("password")) != QLatin1String(kPassword))
            problem = QStringLiteral("手机号或密码错误");
    } else if (field(QStringLiteral("email")) != QLatin1String(kEmail) ||
               field(QStringLiteral("password")) != QLatin1String(kPassword)) {
        problem = QStringLiteral("邮箱或密码错误");
    }

    if (!problem.isEmpty()) {
        session.signedIn = false;
        session.flash = problem;
        if (m_failureInline) {
            Answer page;
            page.body = loginPage(session);
            return page;
        }
        return Answer::redirect("/login");
    }
    session.signedIn = true;
    session.token.clear();
    Answer success = Answer::redirect(m_landing);
    for (const auto& [place, value] : std::as_const(m_jwts)) {
        if (place == JwtPlace::Cookie)
            success.headers.append({"Set-Cookie", "jwt=" + value + "; Path=/; Secure"});
    }
    return success;
}

QByteArray TestPortalSite::loginPage(Session& session)
{
    if (m_rotateTokens || session.token.isEmpty())
        session.token = QString::fromLatin1(randomHex(20));
    m_lastToken = session.token;
    QString alert;
    if (!session.flash.isEmpty()) {
        alert = QStringLiteral("<div class=\"alert alert-danger\"><i class=\"icon\"></i>%1</div>\n")
                    .arg(escaped(session.flash));
        session.flash.clear();
    }
    const QString token =
        QStringLiteral("<input type=\"hidden\" name=\"token\" value=\"%1\">").arg(session.token);
    return pageShell(
        QStringLiteral("登录"),
        QStringLiteral("<main class=\"login\">\n%1<ul class=\"tabs\"><li "
                       "class=\"active\">手机登录</li><li>邮箱登录</li></ul>\n"
                       "<form method=\"post\" action=\"/login?action=phone\" id=\"phone-login\">\n%2\n"
                       "<select name=\"phone_code\"><option value=\"+86\" selected>+86</option>"
                       "<option value=\"+852\">+852</option></select>\n"
                       "<input type=\"text\" name=\"phone\" placeholder=\"手机号\">\n"
                       "<input type=\"text\" name=\"captcha\" placeholder=\"图片验证码\">"
                       "<img src=\"/verify?name=allow_login_phone_captcha\" alt=\"验证码\">\n"
                       "<input type=\"password\" name=\"password\" placeholder=\"密码\">\n"
                       "<button type=\"submit\">登录</button>\n</form>\n"
                       "<form method=\"post\" action=\"/login?action=email\" id=\"email-login\" hidden>\n%2\n"
                       "<input type=\"email\" name=\"email\">\n<input type=\"password\" name=\"password\">\n"
                       "<button type=\"submit\">登录</button>\n</form>\n</main>")
            .arg(alert, token));
}

QByteArray TestPortalSite::indexPage() const
{
    QStringList groups;
    for (const Server& server : m_servers) {
        if (!groups.contains(server.groupId))
            groups.append(server.groupId);
    }
    QString navigation = QStringLiteral("<nav class=\"products\">\n");
    for (const QString& group : std::as_const(groups))
        navigation += QStringLiteral("<a href=\"service?groupid=%1\">产品分组 %1</a>\n").arg(group);
    navigation += QStringLiteral("</nav>\n");

    QString rows;
    for (const Server& server : m_servers) {
        rows += QStringLiteral(
                    "<tr><td><a href=\"servicedetail?id=%1\">Vantrelnet服务器</a>"
                    "<small class=\"text-muted\">%2</small></td><td>%3</td><td>%4</td><td>%5</td></tr>\n")
                    .arg(server.id, escaped(server.name), server.ip, escaped(server.os), server.dueDate);
    }
    QString script;
    for (const auto& [place, value] : m_jwts) {
        if (place == JwtPlace::Script)
            script += QStringLiteral("<script>localStorage.setItem(\"jwt\", \"%1\");</script>\n")
                          .arg(QString::fromUtf8(value));
    }
    QString junk;
    if (m_fault == Fault::MalformedHtml) {
        for (int i = 0; i < 2000; ++i)
            junk += QStringLiteral("<tr class=\"row-%1\"><td><a href=\"servicedetail?id=\n").arg(i);
        junk += QStringLiteral("<div class=\"x <<<>>> &amp &#; &#99999999; <table><tr><td>");
    }
    return pageShell(
        QStringLiteral("用户中心"),
        QStringLiteral("<header class=\"user-center\"><span class=\"user-center_name\">%1</span>\n"
                       "<p>用户ID：<b>%2</b></p></header>\n%3%4"
                       "<table class=\"table\">\n<tr><th>产品</th><th>IP</th><th>系统</th>"
                       "<th>到期</th></tr>\n%5</table>\n%6")
            .arg(QString::fromUtf8(kUserName), QString::fromLatin1(kUserId), navigation, script, rows, junk));
}

QByteArray TestPortalSite::listPage(const QString& groupId, int page) const
{
    QList<const Server*> shown;
    if (m_fault == Fault::EndlessPaging) {
        // Ids no other page had: a portal that never runs out.
        QString rows;
        for (int i = 0; i < kEndlessPageRows; ++i) {
            rows += QStringLiteral("<tr><td><a href=\"servicedetail?id=%1\">endless-%1</a></td></tr>\n")
                        .arg(m_endlessNext);
            ++m_endlessNext;
        }
        return pageShell(QStringLiteral("产品列表"), QStringLiteral("<table>\n%1</table>").arg(rows));
    }
    QList<const Server*> group;
    for (const Server& server : m_servers) {
        if (groupId.isEmpty() || server.groupId == groupId)
            group.append(&server);
    }
    const int size = std::max(1, m_pageSize);
    const int pages = static_cast<int>((group.size() + size - 1) / size);
    int shownPage = std::max(1, page);
    if (shownPage > pages && m_repeatLastPage)
        shownPage = pages;
    const qsizetype from =
        std::max<qsizetype>(0, qsizetype(shownPage - 1) * size - (shownPage > 1 ? m_pageOverlap : 0));
    const qsizetype to = std::min<qsizetype>(group.size(), qsizetype(shownPage) * size);
    for (qsizetype i = from; i < to; ++i)
        shown.append(group.at(i));

    QString rows;
    for (const Server* server : std::as_const(shown)) {
        rows +=
            QStringLiteral("<tr><td><a href=\"servicedetail?id=%1\">%2</a></td><td>%3</td><td>%4</td></tr>\n")
                .arg(server->id, escaped(server->name), server->ip, server->dueDate);
    }
    return pageShell(
        QStringLiteral("产品列表"),
        QStringLiteral("<table class=\"table\">\n<tr><th>产品</th><th>IP</th><th>到期</th></tr>\n%1"
                       "</table>\n<ul class=\"pagination\"><li>第 %2 页</li></ul>")
            .arg(rows)
            .arg(page));
}

TestPortalSite::Answer TestPortalSite::detailPage(const QString& serverId) const
{
    if (serverId == m_failingDetail)
        return Answer::error(500, "Internal Server Error");
    Server endless;
    const Server* server = findServer(serverId);
    if (!server && m_fault == Fault::EndlessPaging && serverId.toInt() >= kEndlessFirstId) {
        endless = generateServers(1, 1, serverId.toInt()).constFirst();
        server = &endless;
    }
    if (!server)
        return Answer::error(404, "Not Found");
    Answer reply;
    if (server->json) {
        reply.contentType = "application/json";
        reply.body = jsonDetail(*server);
    } else {
        reply.body = htmlDetail(*server);
    }
    return reply;
}

QByteArray TestPortalSite::htmlDetail(const Server& server) const
{
    const QString port =
        server.port > 0 ? QStringLiteral("<p><span>远程端口：%1</span></p>\n").arg(server.port) : QString();
    const QByteArray page = pageShell(
        QStringLiteral("产品详情"),
        QStringLiteral(
            "<div class=\"product-head\"><section><span class=\"badge\">已激活</span></section>"
            "<section><span class=\"title\">%1</span></section></div>\n"
            "<div class=\"os\"><span>操作系统</span>\n<div class=\"value\"><h5>%2</h5></div></div>\n"
            "<div class=\"ip\"><span>IP地址</span><span id=\"copyOneIp\">%3</span></div>\n%4"
            "<p><span>用户名：%5</span></p>\n"
            "<p><span>密码</span><span id=\"copyPwdContent\">%6</span></p>\n"
            "<p><span>订购日期：2025-06-01 10:00</span></p>\n"
            "<p><span>到期时间：%7</span></p>\n")
            .arg(escaped(server.name), escaped(server.os), server.ip, port, escaped(server.username),
                 escaped(server.password).replace(QLatin1Char('$'), QLatin1String("&#36;")), server.dueDate));
    if (m_fault == Fault::MalformedHtml) {
        // Cut in the middle of the address element's tag.
        return page.left(page.indexOf("id=\"copyOneIp\"") + 7);
    }
    return page;
}

QByteArray TestPortalSite::jsonDetail(const Server& server) const
{
    QJsonObject host{{QStringLiteral("id"), server.id.toInt()},
                     {QStringLiteral("hostname"), server.name},
                     {QStringLiteral("dedicate_ip"), server.ip},
                     {QStringLiteral("os_name"), server.os},
                     {QStringLiteral("username"), server.username},
                     {QStringLiteral("password"), server.password},
                     {QStringLiteral("regdate"), timestampOf(QStringLiteral("2025-06-01"))},
                     {QStringLiteral("due_time"), timestampOf(server.dueDate)}};
    if (server.port > 0)
        host.insert(QStringLiteral("port"), server.port);
    const QByteArray text =
        QJsonDocument(QJsonObject{{QStringLiteral("status"), 200},
                                  {QStringLiteral("msg"), QStringLiteral("请求成功")},
                                  {QStringLiteral("data"), QJsonObject{{QStringLiteral("host"), host}}}})
            .toJson(QJsonDocument::Compact);
    if (m_fault != Fault::MalformedJson)
        return text;
    switch (server.id.toInt() % 3) {
    case 0: // cut off in the middle of the name
        return text.left(text.indexOf(server.name.toUtf8()) + 2);
    case 1: { // valid, but the address sits a thousand objects deep
        QByteArray deep;
        for (int i = 0; i < kDeepNesting; ++i)
            deep += "{\"data\":";
        deep += "{\"dedicate_ip\":\"" + server.ip.toUtf8() + "\"}";
        deep += QByteArray(kDeepNesting, '}');
        return deep;
    }
    default: // deeper than any parser goes
        return QByteArray(200000, '[');
    }
}

QByteArray TestPortalSite::captchaImage(const QString& code) const
{
    constexpr int kScale = 6;
    QImage image(4 * 4 * kScale + 2 * kScale, 7 * kScale, QImage::Format_RGB32);
    image.fill(qRgb(236, 240, 245));
    auto* random = QRandomGenerator::global();
    for (int i = 0; i < 300; ++i)
        image.setPixel(random->bounded(image.width()), random->bounded(image.height()), qRgb(150, 160, 170));
    for (int d = 0; d < code.size(); ++d) {
        const auto& glyph = kDigitGlyphs.at(static_cast<size_t>(code.at(d).digitValue()));
        const int left = kScale + d * 4 * kScale;
        for (int row = 0; row < 5; ++row) {
            for (int column = 0; column < 3; ++column) {
                if (!(glyph.at(static_cast<size_t>(row)) & (4 >> column)))
                    continue;
                for (int y = 0; y < kScale; ++y) {
                    for (int x = 0; x < kScale; ++x)
                        image.setPixel(left + column * kScale + x, kScale + row * kScale + y,
                                       qRgb(30, 60, 140));
                }
            }
        }
    }
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return png;
}
