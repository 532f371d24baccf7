#include "network/vantrel_client.h"

#include "cloud/account_client.h"
#include "cloud/service_endpoint.h"
#include "logger.h"
#include "network/vantrel_page_reader.h"
#include "nimbara_version.h"
#include "storage/app_config.h"

#include <QDateTime>
#include <QNetworkAccessManager>
#include <QNetworkCookie>
#include <QNetworkCookieJar>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrlQuery>

#include <sodium.h>

#include <algorithm>
#include <memory>
#include <utility>

namespace {

const char kUserAgent[] = "NIMBARA/" NIMBARA_VERSION " Vantrel read-only sync";
const char kGetAccept[] = "text/html,application/json,image/*;q=0.9,*/*;q=0.8";
const char kPostAccept[] = "text/html,application/xhtml+xml";

QString text(const char* utf8)
{
    return QString::fromUtf8(utf8);
}

const char kSessionExpired[] = "Vantrelnet登录会话已失效，请重新登录。";

bool startsWithLogin(const QString& path)
{
    return path.startsWith(QLatin1String("/login"));
}

// A request that follows at most a few redirects, none to plain HTTP, and gives up on a silent portal.
QNetworkRequest boundedRequest(const QUrl& url, int timeoutMs, const std::optional<QSslConfiguration>& tls)
{
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setMaximumRedirectsAllowed(VantrelClient::kMaxRedirects);
    request.setTransferTimeout(timeoutMs);
    if (tls)
        request.setSslConfiguration(*tls);
    return request;
}

} // namespace

VantrelClient::VantrelClient(QObject* parent)
    : QObject(parent), m_baseUrl(QUrl(QString::fromLatin1(kDefaultBaseUrl)))
{
}

VantrelClient::~VantrelClient() = default;

bool VantrelClient::setBaseUrl(const QUrl& baseUrl, const QList<QSslCertificate>& extraCaCertificates)
{
    const std::optional<QString> normalized = AccountClient::normalizedServiceUrl(baseUrl);
    if (!normalized) {
        SPDLOG_WARN("Vantrelnet网站地址不可用，继续使用 {}: {}", m_baseUrl.toString(QUrl::RemoveUserInfo),
                    baseUrl.toString(QUrl::RemoveUserInfo));
        return false;
    }
    m_baseUrl = QUrl(*normalized);
    m_tls.reset();
    if (!extraCaCertificates.isEmpty())
        m_tls = tlsConfigurationTrusting(extraCaCertificates);
    return true;
}

bool VantrelClient::isBusy() const
{
    return m_pending > 0;
}

QByteArray VantrelClient::cookieHeader() const
{
    if (!m_cookieJar)
        return {};
    QList<QByteArray> pairs;
    for (const QNetworkCookie& cookie : m_cookieJar->cookiesForUrl(m_baseUrl))
        pairs.append(cookie.name() + '=' + cookie.value());
    return pairs.join("; ");
}

void VantrelClient::prepareLogin(const QString& account)
{
    // Replies of the earlier session still arrive from the old manager until it is gone; the new
    // generation makes them count for nothing.
    ++m_generation;
    m_pending = 0;
    if (m_network)
        m_network->deleteLater();
    m_network = new QNetworkAccessManager(this);
    m_network->setRedirectPolicy(QNetworkRequest::NoLessSafeRedirectPolicy);
    m_cookieJar = new QNetworkCookieJar(m_network);
    m_network->setCookieJar(m_cookieJar);
    m_loginToken.clear();
    m_jwt.clear();

    m_account = account.trimmed();
    m_phoneMode = VantrelPageReader::isPhoneAccount(m_account);
    emit syncProgress(text("正在准备Vantrelnet登录会话…"));
    readLoginToken(false);
}

void VantrelClient::readLoginToken(bool afterFailedSignIn)
{
    get(
        portalUrl(QStringLiteral("/login")),
        [this, afterFailedSignIn](const QByteArray& body, const QUrl&, int) {
            const QString token = VantrelPageReader::loginToken(QString::fromUtf8(body));
            if (afterFailedSignIn) {
                // A portal that keeps its token accepts the old one; one that hands out a token per page
                // refuses it, so a fresh one is used whenever there is one.
                if (token.isEmpty())
                    SPDLOG_WARN("Vantrelnet登录失败后未能取得新的登录令牌");
                else
                    m_loginToken = token;
                if (m_phoneMode)
                    fetchCaptcha();
                return;
            }
            if (token.isEmpty()) {
                fail(text("无法取得Vantrelnet登录令牌，请检查网站是否可访问。"));
                return;
            }
            m_loginToken = token;
            if (m_phoneMode)
                fetchCaptcha();
            else
                emit prepared(false);
        },
        kMaxSignInPageBytes);
}

void VantrelClient::refreshCaptcha()
{
    if (!m_loginToken.isEmpty() && m_phoneMode)
        fetchCaptcha();
    else
        prepareLogin(m_account);
}

void VantrelClient::fetchCaptcha()
{
    QUrl url = portalUrl(QStringLiteral("/verify"));
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("name"), QStringLiteral("allow_login_phone_captcha"));
    query.addQueryItem(QStringLiteral("_"), QString::number(QDateTime::currentMSecsSinceEpoch()));
    url.setQuery(query);
    get(
        url,
        [this](const QByteArray& body, const QUrl&, int) {
            if (body.isEmpty()) {
                fail(text("Vantrelnet未返回图片验证码。"));
                return;
            }
            const quint64 generation = m_generation;
            emit captchaReady(body);
            if (generation == m_generation)
                emit prepared(true);
        },
        kMaxCaptchaBytes);
}

void VantrelClient::login(const QString& account, const QString& password, const QString& captcha)
{
    if (m_loginToken.isEmpty() || !m_network) {
        fail(text("登录会话尚未准备好，请等待图片验证码加载完成。"), false);
        return;
    }
    m_account = account.trimmed();
    m_phoneMode = VantrelPageReader::isPhoneAccount(m_account);

    QByteArray form = VantrelPageReader::signInForm(m_loginToken, m_account, password, captcha);
    emit syncProgress(text("正在验证Vantrelnet账号…"));
    QUrl url = portalUrl(QStringLiteral("/login"));
    url.setQuery(m_phoneMode ? QStringLiteral("action=phone") : QStringLiteral("action=email"));
    post(url, form, [this](const QByteArray& body, const QUrl& finalUrl, int status) {
        onSignInReply(body, finalUrl, status);
    });
    // post() keeps the bytes it sends and wipes them once the request is over; this copy shares them.
    form.clear();
}

void VantrelClient::onSignInReply(const QByteArray& body, const QUrl& finalUrl, int status)
{
    const QString page = QString::fromUtf8(body);
    // A reply that broke off after a redirect away from the sign-in page proves no session either.
    if (status < 0 || startsWithLogin(portalPath(finalUrl)) || VantrelPageReader::asksForPassword(page)) {
        const QString message = VantrelPageReader::signInError(page);
        SPDLOG_WARN("Vantrelnet登录失败: {}", message);
        const quint64 generation = m_generation;
        emit failed(message);
        // Some portals take each form token once: the next attempt needs the token of a new page.
        if (generation == m_generation)
            readLoginToken(true);
        return;
    }
    m_userId = VantrelPageReader::userId(page);
    if (m_userId.isEmpty())
        m_userId = m_account;
    m_displayName = VantrelPageReader::displayName(page);
    if (m_displayName.isEmpty())
        m_displayName = m_account;
    m_groupIds.clear();
    m_detailIds.clear();
    m_knownDetailIds.clear();
    m_listHints.clear();
    m_remotes.clear();
    SPDLOG_INFO("Vantrelnet登录成功，用户 {}", m_userId);
    const quint64 generation = m_generation;
    emit syncProgress(text("登录成功，正在读取全部服务器列表…"));
    if (generation == m_generation)
        fetchServiceIndex();
}

void VantrelClient::fetchServiceIndex()
{
    get(portalUrl(QStringLiteral("/clientarea")),
        [this](const QByteArray& body, const QUrl& finalUrl, int status) {
            if (status < 0 || body.isEmpty()) {
                fail(text("Vantrelnet产品导航读取失败，本次未更新本机数据。"));
                return;
            }
            if (startsWithLogin(portalPath(finalUrl))) {
                fail(text(kSessionExpired));
                return;
            }
            const QString page = QString::fromUtf8(body);
            m_listHints = VantrelPageReader::listHints(page);
            m_groupIds = VantrelPageReader::groupIds(page);
            if (m_groupIds.isEmpty())
                m_groupIds.append(QString()); // all services
            m_groupIndex = 0;
            const quint64 generation = m_generation;
            emit syncProgress(text("已发现 %1 个产品分组，正在逐组读取服务器…").arg(m_groupIds.size()));
            if (generation == m_generation)
                continueScan();
        });
}

void VantrelClient::continueScan()
{
    if (m_groupIndex < m_groupIds.size()) {
        fetchServicePage(1);
        return;
    }
    m_nextDetail = 0;
    m_inFlight = 0;
    m_failedDetails = 0;
    if (m_detailIds.isEmpty()) {
        finish();
        return;
    }
    startDetails();
}

void VantrelClient::fetchServicePage(int page)
{
    QUrl url = portalUrl(QStringLiteral("/service"));
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("limit"), QString::number(kPageSize));
    query.addQueryItem(QStringLiteral("page"), QString::number(page));
    const QString groupId = m_groupIds.at(m_groupIndex);
    if (!groupId.isEmpty())
        query.addQueryItem(QStringLiteral("groupid"), groupId);
    url.setQuery(query);
    get(url, [this, page](const QByteArray& body, const QUrl& finalUrl, int status) {
        if (status < 0 || body.isEmpty()) {
            fail(text("服务器列表读取失败，本次未更新本机数据。"));
            return;
        }
        if (startsWithLogin(portalPath(finalUrl))) {
            fail(text(kSessionExpired));
            return;
        }
        int added = 0;
        for (const QString& id : VantrelPageReader::serverIds(QString::fromUtf8(body))) {
            if (m_knownDetailIds.contains(id))
                continue;
            m_knownDetailIds.insert(id);
            m_detailIds.append(id);
            ++added;
        }
        if (m_detailIds.size() > kMaxServers) {
            fail(text("服务器数量超过 %1 台，本次未更新本机数据。").arg(kMaxServers));
            return;
        }
        if (added == 0 || page >= kMaxPages) {
            ++m_groupIndex;
            continueScan();
            return;
        }
        const quint64 generation = m_generation;
        emit syncProgress(text("已发现 %1 台服务器，继续读取列表…").arg(m_detailIds.size()));
        if (generation == m_generation)
            fetchServicePage(page + 1);
    });
}

void VantrelClient::startDetails()
{
    while (m_inFlight < kMaxDetailsInFlight && m_nextDetail < m_detailIds.size()) {
        ++m_inFlight;
        fetchDetailBundle(m_detailIds.at(m_nextDetail++));
    }
}

void VantrelClient::fetchDetailBundle(const QString& serverId)
{
    QUrl url = portalUrl(QStringLiteral("/servicedetail"));
    url.setQuery(QUrlQuery{{QStringLiteral("id"), serverId}});
    get(
        url,
        [this, serverId](const QByteArray& body, const QUrl& finalUrl, int status) {
            --m_inFlight;
            const bool readable = status >= 0 && !body.isEmpty() && !startsWithLogin(portalPath(finalUrl));
            Remote record;
            if (readable) {
                const auto hint = m_listHints.constFind(serverId);
                record = VantrelPageReader::detailRecord(serverId, body,
                                                         hint == m_listHints.cend() ? nullptr : &*hint,
                                                         QDateTime::currentDateTimeUtc());
            }
            // A server without an address cannot be connected to, and writing it would replace the
            // address an earlier sync stored: it counts as unreadable.
            if (record.id.isEmpty() || record.host.isEmpty()) {
                ++m_failedDetails;
                SPDLOG_WARN("Vantrelnet服务器 {} 详情读取失败 (HTTP {}{})", serverId, status,
                            readable ? "，页面中没有地址" : "");
            } else {
                m_remotes.append(record);
            }
            const quint64 generation = m_generation;
            emit syncProgress(text("正在同步服务器详情：%1/%2")
                                  .arg(m_remotes.size() + m_failedDetails)
                                  .arg(m_detailIds.size()));
            if (generation != m_generation)
                return;
            if (m_nextDetail >= m_detailIds.size() && m_inFlight == 0)
                finish();
            else
                startDetails();
        },
        kMaxDetailPageBytes);
}

void VantrelClient::finish()
{
    if (m_failedDetails >= 1) {
        fail(text("有 %1 台服务器详情读取失败，本次未更新本机列表，以免误删旧数据。").arg(m_failedDetails));
        return;
    }
    // Details arrive in any order; the list keeps the portal's.
    QHash<QString, qsizetype> order;
    for (qsizetype i = 0; i < m_detailIds.size(); ++i)
        order.insert(QStringLiteral("vantrel-") + m_detailIds.at(i), i);
    std::stable_sort(m_remotes.begin(), m_remotes.end(), [&order](const Remote& a, const Remote& b) {
        return order.value(a.id) < order.value(b.id);
    });
    SPDLOG_INFO("Vantrelnet同步完成，共 {} 台服务器", m_remotes.size());
    emit syncFinished(m_userId, m_displayName, m_account, m_remotes);
}

QNetworkRequest VantrelClient::getRequest(const QUrl& url) const
{
    QNetworkRequest request = boundedRequest(url, m_requestTimeoutMs, m_tls);
    request.setRawHeader("Accept", kGetAccept);
    request.setRawHeader("User-Agent", kUserAgent);
    if (portalPath(url).startsWith(QLatin1String("/v10/"))) {
        request.setRawHeader("X-Requested-With", "XMLHttpRequest");
        request.setRawHeader("Referer", portalUrl(QStringLiteral("/service")).toEncoded());
        // The bearer token is for the portal only.
        if (!m_jwt.isEmpty() && url.host().compare(m_baseUrl.host(), Qt::CaseInsensitive) == 0)
            request.setRawHeader("Authorization", "Bearer " + m_jwt.toUtf8());
    }
    return request;
}

QNetworkRequest VantrelClient::postRequest(const QUrl& url) const
{
    QNetworkRequest request = boundedRequest(url, m_requestTimeoutMs, m_tls);
    request.setHeader(QNetworkRequest::ContentTypeHeader,
                      QByteArrayLiteral("application/x-www-form-urlencoded"));
    request.setRawHeader("Accept", kPostAccept);
    request.setRawHeader("User-Agent", kUserAgent);
    return request;
}

void VantrelClient::get(const QUrl& url, ReplyHandler handler, qint64 maxBytes)
{
    track(m_network->get(getRequest(url)), std::move(handler), maxBytes);
}

void VantrelClient::post(const QUrl& url, const QByteArray& form, ReplyHandler handler)
{
    QNetworkReply* reply = m_network->post(postRequest(url), form);
    // Qt sends from bytes shared with `form`: they are wiped in place once the reply is gone.
    connect(reply, &QObject::destroyed, [sent = form] {
        if (!sent.isEmpty())
            sodium_memzero(const_cast<char*>(sent.constData()), static_cast<size_t>(sent.size()));
    });
    // Only the sign-in form is posted: its answer is a sign-in page (or the user centre).
    track(reply, std::move(handler), kMaxSignInPageBytes);
}

void VantrelClient::track(QNetworkReply* reply, ReplyHandler handler, qint64 maxBytes)
{
    ++m_pending;
    const quint64 generation = m_generation;
    // A body beyond the limit is cut off as it arrives rather than buffered whole.
    auto tooLarge = std::make_shared<bool>(false);
    // Qt's network thread reads on while the limit below waits for the event loop: a fast peer could
    // fill memory with a whole huge page first. One byte over the limit is enough to know.
    reply->setReadBufferSize(maxBytes + 1);
    connect(reply, &QNetworkReply::downloadProgress, reply,
            [reply, maxBytes, tooLarge](qint64 received, qint64 total) {
                if (received > maxBytes || total > maxBytes) {
                    *tooLarge = true;
                    reply->abort();
                }
            });
    connect(reply, &QNetworkReply::finished, this,
            [this, reply, generation, maxBytes, tooLarge, handler = std::move(handler)] {
                reply->deleteLater();
                if (generation != m_generation)
                    return;
                --m_pending;
                int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
                QByteArray body;
                if (reply->error() == QNetworkReply::NoError && !*tooLarge) {
                    body = reply->read(maxBytes + 1);
                    *tooLarge = body.size() > maxBytes;
                }
                if (reply->error() != QNetworkReply::NoError || *tooLarge) {
                    SPDLOG_WARN("Vantrelnet请求失败: {} (HTTP {}): {}", portalPath(reply->url()), status,
                                *tooLarge ? QStringLiteral("reply too large") : reply->errorString());
                    body.clear();
                    status = status > 0 ? -status : -1;
                }
                captureJwt(body, reply->rawHeader("Authorization"));
                handler(body, reply->url(), status);
            });
}

void VantrelClient::captureJwt(const QByteArray& body, const QByteArray& authorizationHeader)
{
    QString token = VantrelPageReader::acceptedJwt(QString::fromUtf8(authorizationHeader));
    if (token.isEmpty() && m_cookieJar) {
        for (const QNetworkCookie& cookie : m_cookieJar->cookiesForUrl(m_baseUrl)) {
            const QByteArray name = cookie.name().toLower();
            if (name == "jwt" || name == "access_token" || name == "access-token" ||
                name == "authorization") {
                token = VantrelPageReader::acceptedJwt(QString::fromUtf8(cookie.value()));
                if (!token.isEmpty())
                    break;
            }
        }
    }
    if (token.isEmpty() && !body.isEmpty())
        token = VantrelPageReader::pageJwt(QString::fromUtf8(body));
    if (!token.isEmpty())
        m_jwt = token;
}

QUrl VantrelClient::portalUrl(const QString& path) const
{
    QUrl url = m_baseUrl;
    url.setPath(m_baseUrl.path() + path);
    return url;
}

QString VantrelClient::portalPath(const QUrl& url) const
{
    const QString path = url.path();
    const QString basePath = m_baseUrl.path();
    return !basePath.isEmpty() && path.startsWith(basePath) ? path.mid(basePath.size()) : path;
}

void VantrelClient::fail(const QString& message, bool namesServer)
{
    // A staging portal set in the configuration fails with its own address, so the user sees which
    // server did not answer.
    const QString shown =
        namesServer
            ? message + text("（服务器：%1）")
                            .arg(m_baseUrl.toDisplayString(QUrl::RemoveUserInfo | QUrl::StripTrailingSlash))
            : message;
    SPDLOG_WARN("Vantrelnet同步失败: {}", shown);
    emit failed(shown);
}

bool applyPortalConfig(VantrelClient& client, const AppConfig& config)
{
    const ServiceEndpoint endpoint =
        portalEndpoint(config, QString::fromLatin1(VantrelClient::kDefaultBaseUrl));
    return client.setBaseUrl(QUrl(endpoint.baseUrl), endpoint.extraCaCertificates) &&
           endpoint.fromConfiguration;
}
