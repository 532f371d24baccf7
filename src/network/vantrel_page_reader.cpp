#include "network/vantrel_page_reader.h"

#include "platform/secure_memory.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QRegularExpression>
#include <QSet>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <initializer_list>
#include <utility>

namespace {

const char kGroupId[] = "vantrel-vantrelnet";
const char kSourceType[] = "vantrel";
const char kIdPrefix[] = "vantrel-";

// Nested JSON objects a detail reply may keep its values in, and how deep they are followed.
constexpr std::array<const char*, 6> kNestedObjects{"data",     "host",    "host_data",
                                                    "hostData", "service", "product"};
constexpr int kMaxJsonDepth = 8;

enum class Pattern {
    SpaceRun,
    Entity,
    JwtStorage,
    JwtAssignment,
    JwtAuthorization,
    TokenNameFirst,
    TokenValueFirst,
    AlertMessage,
    AlertEnd,
    DataMessage,
    UserId,
    DisplayName,
    GroupLink,
    TableRow,
    DetailQueryLink,
    DetailPathLink,
    HostIdField,
    RowSmallName,
    RowDomainName,
    Ipv4,
    Date,
    HostCopyOne,
    HostCopyContent,
    HostLabel,
    NameAfterStatus,
    NameSection,
    NameWord,
    NameLabel,
    UserLabel,
    UserCell,
    PasswordCopy,
    PasswordLabel,
    OsHeading,
    OsCell,
    PortLabel,
    ExpiryLabel,
    OrderLabel,
    RawUsername,
    RawPassword,
    RawPort,
    Count
};

constexpr auto kDefault =
    QRegularExpression::CaseInsensitiveOption | QRegularExpression::DotMatchesEverythingOption;
constexpr auto kCaseOnly = QRegularExpression::PatternOptions(QRegularExpression::CaseInsensitiveOption);

struct PatternText
{
    Pattern id;
    const char* text;
    QRegularExpression::PatternOptions options;
};

// Runs that may cross tags or attributes are bounded (2000 characters, 8192 for tokens): unbounded,
// a page repeating a pattern's beginning without its end made each start scan to the page's end.
// Bounded is not enough: a page of starts 20 characters apart still made each one scan its 2000, about
// a second per MiB. So a run that must end at a fixed character is possessive ("++", it never gives
// back what it took) and followed by (*SKIP): when the rest fails, the next attempt starts where the
// run ended instead of one character after the start. Starts inside the run would stop at the same
// character and fail the same way (only a run cut off by its bound could end differently, which no
// real page has). Each character is then read by a bounded number of attempts.
// Where a label may stand after a letter ("Paid:", "Support"), it is not the label.
const std::array<PatternText, static_cast<size_t>(Pattern::Count)> kPatterns{{
    {Pattern::SpaceRun, R"(\s+)", QRegularExpression::NoPatternOption},
    // Named entities are case-sensitive; all of them in one pass, so decoded text is never read again.
    {Pattern::Entity, R"(&(?:(quot|lt|gt|amp)|#([0-9]{1,7})|#[xX]([0-9A-Fa-f]{1,6}));)",
     QRegularExpression::NoPatternOption},
    {Pattern::JwtStorage, R"(localStorage\s*\.\s*setItem\s*\(\s*["']jwt["']\s*,\s*["']([^"']{1,8192})["'])",
     kDefault},
    {Pattern::JwtAssignment, R"(["'](?:jwt|access_token|accessToken)["']\s*[:=]\s*["']([^"']{1,8192})["'])",
     kDefault},
    {Pattern::JwtAuthorization, R"(Authorization\s*[:=]\s*["']Bearer\s+([^"']{1,8192})["'])", kDefault},
    // The rest of the tag is taken whole (capture 2), and the token's value is looked for in it by
    // tokenInTag(): searched for by the pattern, each start repeated in a tag read the tag again.
    {Pattern::TokenNameFirst, R"(()name=["']token["']([^>]{0,2000}+))", kDefault},
    {Pattern::TokenValueFirst, R"(value=["']([^"']{1,2000})["']([^>]{0,2000}+))", kDefault},
    // The element's start only: signInError() finds where its text ends (a bounded search from every
    // start read the same text again and again).
    {Pattern::AlertMessage, R"(class=["'][^"']{0,2000}(?:alert|error)[^"']{0,2000}["'][^>]{0,2000}+(*SKIP)>)",
     kDefault},
    {Pattern::AlertEnd, R"(</(?:div|p|span|li|td|section)\s*+>)", kDefault},
    {Pattern::DataMessage, R"(data-message=["']([^"']{1,2000})["'])", kDefault},
    // Between label and value only whole tags may stand, or the digits would be taken for one; short
    // ones, as every "ID:" of a page is a start.
    {Pattern::UserId,
     R"((?<![A-Za-z])(?:用户ID|ID)\s*+[：:]\s*+(?:<[^>]{0,500}+(*SKIP)>\s*+)*+([A-Za-z0-9_-]+))", kDefault},
    {Pattern::DisplayName,
     R"(class=["'][^"']{0,2000}user-center_name[^"']{0,2000}["'][^>]{0,2000}+(*SKIP)>([^<]{1,2000}))",
     kDefault},
    // A link's query is read once up to the first "groupid=<digits>" (or the link's end).
    {Pattern::GroupLink,
     R"((?:/)?service\?(?:[^"'<>g]++|g(?!roupid(?:=|%3[Dd])\d))*+(*SKIP)groupid(?:=|%3[Dd])(\d+))",
     kCaseOnly},
    {Pattern::TableRow, R"(<tr\b[^>]{0,2000}>(.*?)</tr>)", kDefault},
    // Without "." these read the same with or without dot-matches-all, so rows and list pages share them.
    {Pattern::DetailQueryLink,
     R"(servicedetail\s*+\?(?:[^"'<>i]++|\Bi|i(?!d(?:=|%3[Dd])\d))*+(*SKIP)\bid(?:=|%3[Dd])(\d+))",
     kCaseOnly},
    {Pattern::DetailPathLink, R"(servicedetail/(\d+))", kCaseOnly},
    {Pattern::HostIdField, R"(["']host_id["']\s*[:=]\s*["']?(\d+))", kCaseOnly},
    {Pattern::RowSmallName,
     R"(<small[^>]{0,2000}class=["'][^"']{0,2000}text-muted[^"']{0,2000}["'][^>]{0,2000}+(*SKIP)>(.{0,2000}?)</small>)",
     kDefault},
    {Pattern::RowDomainName, R"((?:hostname|domain)["']?\s*[:=]\s*["']([^"']{1,2000}))", kDefault},
    {Pattern::Ipv4, R"(\b((?:(?:25[0-5]|2[0-4]\d|1?\d?\d)\.){3}(?:25[0-5]|2[0-4]\d|1?\d?\d))\b)", kDefault},
    {Pattern::Date, R"(\b((?:20\d{2})[-/]\d{1,2}[-/]\d{1,2}(?:\s+\d{1,2}:\d{2}(?::\d{2})?)?)\b)", kDefault},
    {Pattern::HostCopyOne, R"(id=["']copyOneIp["'][^>]{0,2000}+(*SKIP)>\s*((?:\d{1,3}\.){3}\d{1,3})\s*</)",
     kDefault},
    {Pattern::HostCopyContent, R"(id=["']copyIPContent["'][^>]{0,2000}+(*SKIP)>\s*((?:\d{1,3}\.){3}\d{1,3}))",
     kDefault},
    {Pattern::HostLabel, R"((?:IP地址|独立IP|Dedicated\s*IP)[^0-9]{0,160}((?:\d{1,3}\.){3}\d{1,3}))",
     kDefault},
    {Pattern::NameAfterStatus,
     R"((?:已激活|已暂停|Activated|Suspended)\s*</span>\s*</section>\s*<section[^>]{0,2000}+(*SKIP)>\s*<span[^>]{0,2000}+(*SKIP)>([^<]{1,2000}+)</span>)",
     kDefault},
    {Pattern::NameSection,
     R"(<section[^>]{0,2000}+(*SKIP)>\s*<span[^>]{0,2000}+(*SKIP)>(qly[0-9A-Za-z_-]++)</span>\s*</section>)",
     kDefault},
    {Pattern::NameWord, R"(\b(qly[0-9A-Za-z_-]{4,})\b)", kDefault},
    {Pattern::NameLabel, R"((?:产品名称|服务名称)[^>]{0,2000}+(*SKIP)>\s*([^<]{1,2000}))", kDefault},
    {Pattern::UserLabel, R"((?:用户名|Username)\s*[：:]\s*([^<\s]+))", kDefault},
    {Pattern::UserCell,
     R"((?:用户名|Username)[^<]{0,30}+</[^>]{1,2000}+(*SKIP)>\s*<[^>]{1,2000}+(*SKIP)>\s*([^<]{1,2000}))",
     kDefault},
    {Pattern::PasswordCopy, R"(id=["']copyPwdContent["'][^>]{0,2000}+(*SKIP)>([^<]{1,2000}))", kDefault},
    {Pattern::PasswordLabel, R"((?:密码|Password)\s*[：:]\s*([^<\s]+))", kDefault},
    // Bounded: an unlabelled system field must not reach a heading far down the page (the footer).
    {Pattern::OsHeading,
     R"((?:操作系统|Operating System|OS)</span>(?:[^<]|<(?!h5)){0,400}+(*SKIP)<h5[^>]{0,2000}+(*SKIP)>([^<]{1,2000}+)</h5>)",
     kDefault},
    {Pattern::OsCell,
     R"((?:操作系统|Operating System|OS)[^<]{0,40}+</[^>]{1,2000}+(*SKIP)>\s*<[^>]{1,2000}+(*SKIP)>\s*([^<]{1,2000}))",
     kDefault},
    {Pattern::PortLabel, R"((?<![A-Za-z])(?:远程端口|SSH端口|RDP端口|端口|Port)\s*[：:]\s*(\d{2,5})\s*<)",
     kDefault},
    {Pattern::ExpiryLabel, R"((?:到期时间|下次到期|Due Date)\s*+[：:]\s*+([^<]{1,2000}+)(*SKIP)</)",
     kDefault},
    {Pattern::OrderLabel, R"((?:订购日期|开通时间|Order Date)\s*+[：:]\s*+([^<]{1,2000}+)(*SKIP)</)",
     kDefault},
    {Pattern::RawUsername, R"(["']username["']\s*[:=]\s*["']([^"']{1,2000})["'])", kDefault},
    {Pattern::RawPassword, R"(["'](?:password|passwd)["']\s*[:=]\s*["']([^"']{1,2000})["'])", kDefault},
    {Pattern::RawPort, R"((?<![A-Za-z])(?:远程端口|SSH端口|RDP端口|Port)\s*[：:]?[^0-9]{0,80}(\d{2,5}))",
     kDefault},
}};

// PCRE2 gives up on a start position after this much work (no match): a hostile page could
// otherwise make a pattern scan to its end from every position.
const char kMatchLimit[] = "(*LIMIT_MATCH=1000000)";

const QRegularExpression& regex(Pattern pattern)
{
    static const std::array<QRegularExpression, static_cast<size_t>(Pattern::Count)> compiled = [] {
        std::array<QRegularExpression, static_cast<size_t>(Pattern::Count)> result;
        for (const PatternText& entry : kPatterns) {
            QRegularExpression& expression = result[static_cast<size_t>(entry.id)];
            expression = QRegularExpression(QString::fromLatin1(kMatchLimit) + QString::fromUtf8(entry.text),
                                            entry.options);
            expression.optimize();
        }
        return result;
    }();
    return compiled[static_cast<size_t>(pattern)];
}

std::atomic<qint64> g_matchingNanoseconds{0};
thread_local int t_readerDepth = 0;

// Adds the time of the outermost reader call; nested calls are inside it already.
class MatchingClock
{
public:
    MatchingClock()
    {
        if (t_readerDepth++ == 0)
            m_timer.start();
    }
    ~MatchingClock()
    {
        if (--t_readerDepth == 0)
            g_matchingNanoseconds.fetch_add(m_timer.nsecsElapsed(), std::memory_order_relaxed);
    }
    MatchingClock(const MatchingClock&) = delete;
    MatchingClock& operator=(const MatchingClock&) = delete;

private:
    QElapsedTimer m_timer;
};

// Decode trims: names, addresses and ids stand in template white space. Exact keeps the blanks of the
// text as the portal shows it, for passwords and user names, where a blank may belong to the value.
enum class Cleanup { Decode, Exact, Strip };

QString cleaned(const QString& capture, Cleanup cleanup)
{
    switch (cleanup) {
    case Cleanup::Strip:
        return VantrelPageReader::stripTags(capture);
    case Cleanup::Exact: {
        // Line breaks and tabs around the value are the page's layout; blanks may be the value's own.
        const QString text = VantrelPageReader::decodeEntities(capture);
        const auto layout = [](QChar c) {
            return c == QLatin1Char('\n') || c == QLatin1Char('\r') || c == QLatin1Char('\t');
        };
        qsizetype begin = 0;
        qsizetype end = text.size();
        while (begin < end && layout(text.at(begin)))
            ++begin;
        while (end > begin && layout(text.at(end - 1)))
            --end;
        return text.mid(begin, end - begin);
    }
    case Cleanup::Decode:
        break;
    }
    return VantrelPageReader::decodeEntities(capture).trimmed();
}

// Capture 1 of the first match of the patterns in turn whose cleaned text is not empty.
QString firstMatch(const QString& text, std::initializer_list<Pattern> patterns,
                   Cleanup cleanup = Cleanup::Decode)
{
    for (const Pattern pattern : patterns) {
        QRegularExpressionMatchIterator it = regex(pattern).globalMatch(text);
        while (it.hasNext()) {
            const QString value = cleaned(it.next().captured(1), cleanup);
            if (!value.isEmpty())
                return value;
        }
    }
    return {};
}

// Capture 1 of every match of the patterns, by position in `text`, each value once.
QStringList allMatches(const QString& text, std::initializer_list<Pattern> patterns)
{
    QList<std::pair<qsizetype, QString>> found;
    for (const Pattern pattern : patterns) {
        QRegularExpressionMatchIterator it = regex(pattern).globalMatch(text);
        while (it.hasNext()) {
            const QRegularExpressionMatch match = it.next();
            found.append({match.capturedStart(1), match.captured(1)});
        }
    }
    std::stable_sort(found.begin(), found.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    QStringList values;
    QSet<QString> seen;
    for (const auto& [position, value] : found) {
        if (!seen.contains(value)) {
            seen.insert(value);
            values.append(value);
        }
    }
    return values;
}

QString protocolFor(bool isLinux)
{
    return isLinux ? QStringLiteral("ssh") : QStringLiteral("rdp");
}

int defaultPort(const QString& protocol)
{
    return protocol == QLatin1String("ssh") ? 22 : 3389;
}

int portNumber(const QString& text)
{
    bool ok = false;
    const int port = text.toInt(&ok);
    return ok && port > 0 && port <= 65535 ? port : 0;
}

QString expiryRemark(const QString& expiry)
{
    return QStringLiteral("到期时间：%1").arg(expiry);
}

// A JSON scalar as text: strings trimmed unless `cleanup` is Exact, whole numbers without a fraction.
QString jsonText(const QJsonValue& value, Cleanup cleanup)
{
    if (value.isString())
        return cleanup == Cleanup::Exact ? value.toString() : value.toString().trimmed();
    if (value.isDouble()) {
        const double number = value.toDouble();
        if (std::isfinite(number) && number == std::floor(number) && std::fabs(number) < 9.0e15)
            return QString::number(static_cast<qint64>(number));
        return QString::number(number);
    }
    return {};
}

QJsonObject firstObject(const QJsonArray& array)
{
    for (const QJsonValue& element : array) {
        if (element.isObject())
            return element.toObject();
    }
    return {};
}

QJsonObject nestedObject(const QJsonValue& value)
{
    if (value.isObject())
        return value.toObject();
    if (value.isArray())
        return firstObject(value.toArray());
    return {};
}

// The value of `key` in `object` or, failing that, in its nested objects, depth first.
QString findJsonValue(const QJsonObject& object, const QString& key, int depth, Cleanup cleanup)
{
    const QString own = jsonText(object.value(key), cleanup);
    if (!own.isEmpty() || depth >= kMaxJsonDepth)
        return own;
    for (const char* name : kNestedObjects) {
        const QJsonObject nested = nestedObject(object.value(QLatin1String(name)));
        if (nested.isEmpty())
            continue;
        const QString value = findJsonValue(nested, key, depth + 1, cleanup);
        if (!value.isEmpty())
            return value;
    }
    return {};
}

QString jsonValue(const QJsonObject& root, std::initializer_list<const char*> keys,
                  Cleanup cleanup = Cleanup::Decode)
{
    for (const char* key : keys) {
        const QString value = findJsonValue(root, QString::fromLatin1(key), 0, cleanup);
        if (!value.isEmpty())
            return value;
    }
    return {};
}

// A time as the portal writes it (timestamp or date text, in the portal's local time) in UTC.
QDateTime portalTime(const QString& text)
{
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty())
        return {};
    bool isNumber = false;
    const qint64 number = trimmed.toLongLong(&isNumber);
    if (isNumber) {
        if (number < 1)
            return {};
        const QDateTime time = number < 100000000001LL ? QDateTime::fromSecsSinceEpoch(number, Qt::UTC)
                                                       : QDateTime::fromMSecsSinceEpoch(number, Qt::UTC);
        return time.isValid() ? time : QDateTime();
    }
    QString normalized = trimmed;
    normalized.replace(QLatin1Char('/'), QLatin1Char('-'));
    for (const char* format : {"yyyy-M-d H:mm:ss", "yyyy-M-d H:mm", "yyyy-M-d"}) {
        const QDateTime time = QDateTime::fromString(normalized, QString::fromLatin1(format));
        if (time.isValid())
            return time.toUTC();
    }
    return {};
}

// Expiry as shown in the remark: timestamps as local dates, text as written, no date for zero.
QString expiryText(const QString& value, const QString& timestampFormat)
{
    const QString time = VantrelPageReader::timestampText(value, timestampFormat);
    if (!time.isEmpty())
        return time;
    bool isNumber = false;
    value.toLongLong(&isNumber);
    return isNumber ? QString() : value;
}

// The values a detail page gives, before gaps are filled.
struct DetailFields
{
    QString name;
    QString host;
    QString os;
    QString port;
    QString username;
    QString password;
    QString expiry;
    QString ordered;
};

DetailFields jsonDetail(const QJsonObject& root, const QString& page)
{
    DetailFields fields;
    fields.host =
        jsonValue(root, {"dedicate_ip", "dedicatedip", "dedicated_ip", "main_ip", "server_ip", "serverip"});
    fields.os = jsonValue(root, {"os_name", "operating_system", "system", "image_name", "image"});
    fields.ordered = jsonValue(root, {"active_time", "regdate", "create_time"});
    fields.expiry = expiryText(jsonValue(root, {"due_time", "nextduedate", "expiry_time"}),
                               QStringLiteral("yyyy-MM-dd HH:mm"));
    fields.name = VantrelPageReader::stripTags(jsonValue(root, {"hostname", "host_name", "domain"}));
    fields.port = jsonValue(root, {"port", "remote_port", "ssh_port", "rdp_port"});
    fields.username = jsonValue(root, {"username", "user", "login_name"}, Cleanup::Exact);
    fields.password = jsonValue(root, {"password", "passwd"}, Cleanup::Exact);
    if (fields.username.isEmpty())
        fields.username = firstMatch(page, {Pattern::RawUsername}, Cleanup::Exact);
    if (fields.password.isEmpty())
        fields.password = firstMatch(page, {Pattern::PasswordCopy, Pattern::RawPassword}, Cleanup::Exact);
    if (portNumber(fields.port) == 0)
        fields.port = firstMatch(page, {Pattern::RawPort});
    return fields;
}

DetailFields htmlDetail(const QString& page)
{
    DetailFields fields;
    fields.host = firstMatch(page, {Pattern::HostCopyOne, Pattern::HostCopyContent, Pattern::HostLabel});
    fields.name = firstMatch(
        page, {Pattern::NameAfterStatus, Pattern::NameSection, Pattern::NameWord, Pattern::NameLabel},
        Cleanup::Strip);
    // A label's value ends at the first blank and a table cell is laid out with white space; the copy
    // field holds the password alone.
    fields.username = firstMatch(page, {Pattern::UserLabel, Pattern::UserCell});
    fields.password = firstMatch(page, {Pattern::PasswordCopy, Pattern::PasswordLabel}, Cleanup::Exact);
    fields.os = firstMatch(page, {Pattern::OsHeading, Pattern::OsCell});
    fields.port = firstMatch(page, {Pattern::PortLabel});
    fields.expiry = firstMatch(page, {Pattern::ExpiryLabel});
    fields.ordered = firstMatch(page, {Pattern::OrderLabel});
    return fields;
}

} // namespace

QString VantrelPageReader::decodeEntities(const QString& text)
{
    MatchingClock clock;
    if (!text.contains(QLatin1Char('&')))
        return text;
    QString result;
    result.reserve(text.size());
    qsizetype last = 0;
    QRegularExpressionMatchIterator it = regex(Pattern::Entity).globalMatch(text);
    while (it.hasNext()) {
        const QRegularExpressionMatch match = it.next();
        QString replacement;
        if (match.hasCaptured(1)) {
            const QString name = match.captured(1);
            replacement = name == QLatin1String("quot") ? QStringLiteral("\"")
                          : name == QLatin1String("lt") ? QStringLiteral("<")
                          : name == QLatin1String("gt") ? QStringLiteral(">")
                                                        : QStringLiteral("&");
        } else {
            bool ok = false;
            const uint code =
                match.hasCaptured(2) ? match.captured(2).toUInt(&ok, 10) : match.captured(3).toUInt(&ok, 16);
            // No character: NUL, surrogate halves and numbers beyond Unicode stay as written.
            if (!ok || code == 0 || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF)
                continue;
            const char32_t character = code;
            replacement = QString::fromUcs4(&character, 1);
        }
        result += QStringView(text).mid(last, match.capturedStart(0) - last);
        result += replacement;
        last = match.capturedEnd(0);
    }
    result += QStringView(text).mid(last);
    return result;
}

QString VantrelPageReader::stripTags(const QString& html)
{
    MatchingClock clock;
    // The same as replacing every match of "<[^>]*>", in one pass: as a pattern, each "<" without a
    // later ">" would scan to the end of the page again.
    QString text;
    text.reserve(html.size());
    const QStringView view(html);
    qsizetype position = 0;
    while (position < html.size()) {
        const qsizetype open = html.indexOf(QLatin1Char('<'), position);
        if (open < 0)
            break;
        const qsizetype close = html.indexOf(QLatin1Char('>'), open + 1);
        if (close < 0)
            break;
        // A blank, not nothing: the texts of neighbouring cells must stay apart.
        text += view.mid(position, open - position);
        text += QLatin1Char(' ');
        position = close + 1;
    }
    text += view.mid(position);
    return decodeEntities(text).replace(regex(Pattern::SpaceRun), QStringLiteral(" ")).trimmed();
}

bool VantrelPageReader::looksLikeLinux(const QString& text)
{
    MatchingClock clock;
    const QString lower = text.toLower();
    static const std::array<const char*, 12> kWords{"linux", "centos",       "ubuntu", "debian",
                                                    "rocky", "alma",         "fedora", "red hat",
                                                    "rhel",  "oracle linux", "alpine", "freebsd"};
    return std::any_of(kWords.begin(), kWords.end(),
                       [&lower](const char* word) { return lower.contains(QLatin1String(word)); });
}

bool VantrelPageReader::isGenericName(const QString& strippedName, const QString& fallback)
{
    return strippedName.contains(QStringLiteral("Vantrelnet服务器")) ||
           strippedName.contains(QStringLiteral("轻量云")) ||
           (!fallback.isEmpty() && strippedName == fallback);
}

QString VantrelPageReader::timestampText(const QString& value, const QString& format)
{
    const QString trimmed = value.trimmed();
    if (trimmed.isEmpty() ||
        !std::all_of(trimmed.begin(), trimmed.end(), [](QChar c) { return c.isDigit(); }))
        return {};
    bool ok = false;
    const qint64 number = trimmed.toLongLong(&ok);
    if (!ok || number < 1)
        return {};
    const QDateTime time = number < 100000000001LL ? QDateTime::fromSecsSinceEpoch(number)
                                                   : QDateTime::fromMSecsSinceEpoch(number);
    return time.isValid() ? time.toString(format) : QString();
}

QString VantrelPageReader::acceptedJwt(const QString& candidate)
{
    QString token = candidate.trimmed();
    if (token.startsWith(QLatin1String("Bearer "), Qt::CaseInsensitive))
        token = token.mid(7).trimmed();
    if (token.size() < 20 || token.compare(QLatin1String("null"), Qt::CaseInsensitive) == 0 ||
        token.compare(QLatin1String("undefined"), Qt::CaseInsensitive) == 0) {
        return {};
    }
    return token;
}

QString VantrelPageReader::pageJwt(const QString& page)
{
    MatchingClock clock;
    for (const Pattern pattern : {Pattern::JwtStorage, Pattern::JwtAssignment, Pattern::JwtAuthorization}) {
        QRegularExpressionMatchIterator it = regex(pattern).globalMatch(page);
        while (it.hasNext()) {
            const QString token = acceptedJwt(decodeEntities(it.next().captured(1)));
            if (!token.isEmpty())
                return token;
        }
    }
    return {};
}

bool VantrelPageReader::isPhoneAccount(const QString& account)
{
    return !account.contains(QLatin1Char('@'));
}

QByteArray VantrelPageReader::signInForm(const QString& token, const QString& account,
                                         const QString& password, const QString& captcha)
{
    // Each value's plain bytes are wiped: any of them may be the password.
    const auto item = [](QByteArray& form, const char* name, const QString& value) {
        QByteArray utf8 = value.toUtf8();
        QByteArray encoded = utf8.toPercentEncoding();
        if (!form.isEmpty())
            form += '&';
        form += name;
        form += '=';
        form += encoded;
        SecureMemory::wipe(utf8);
        SecureMemory::wipe(encoded);
    };
    QByteArray form;
    form.reserve(256);
    item(form, "token", token);
    if (isPhoneAccount(account)) {
        item(form, "phone_code", QStringLiteral("+86"));
        item(form, "phone", account);
        item(form, "captcha", captcha.trimmed());
    } else {
        item(form, "email", account);
    }
    item(form, "password", password);
    return form;
}

QString VantrelPageReader::loginToken(const QString& page)
{
    MatchingClock clock;
    // Both patterns take the rest of the tag (capture 2) whole; what they need of it is looked for in
    // that piece alone, so no part of the page is read twice. With the name first, the last value of
    // the rest counts (as a search that backtracked from the tag's end would have found it).
    static const QRegularExpression valueAttribute(QStringLiteral(R"(value=["']([^"']{1,2000})["'])"),
                                                   kDefault);
    static const QRegularExpression tokenName(QStringLiteral(R"(name=["']token["'])"), kDefault);
    QRegularExpressionMatchIterator names = regex(Pattern::TokenNameFirst).globalMatch(page);
    while (names.hasNext()) {
        QRegularExpressionMatchIterator values = valueAttribute.globalMatch(names.next().captured(2));
        QString value;
        while (values.hasNext())
            value = values.next().captured(1);
        value = cleaned(value, Cleanup::Decode);
        if (!value.isEmpty())
            return value;
    }
    QRegularExpressionMatchIterator valuesFirst = regex(Pattern::TokenValueFirst).globalMatch(page);
    while (valuesFirst.hasNext()) {
        const QRegularExpressionMatch match = valuesFirst.next();
        if (!tokenName.match(match.captured(2)).hasMatch())
            continue;
        const QString value = cleaned(match.captured(1), Cleanup::Decode);
        if (!value.isEmpty())
            return value;
    }
    return {};
}

bool VantrelPageReader::asksForPassword(const QString& page)
{
    return page.contains(QLatin1String("name=\"password\""), Qt::CaseInsensitive);
}

QString VantrelPageReader::signInError(const QString& page)
{
    MatchingClock clock;
    // The message runs to the end of the element that carries the class, so an icon or a bold
    // prefix inside it does not hide the text; an empty element yields nothing, and the next
    // candidate is read instead.
    QString message;
    // The first closing tag at or after a position; starts only move forward, so the page is searched
    // for closing tags once.
    qsizetype end = -1;
    qsizetype searchedFrom = -1;
    const auto endFrom = [&](qsizetype from) {
        if (end >= from || (end < 0 && searchedFrom >= 0 && searchedFrom <= from))
            return end;
        const QRegularExpressionMatch match = regex(Pattern::AlertEnd).match(page, from);
        searchedFrom = from;
        end = match.hasMatch() ? match.capturedStart(0) : -1;
        return end;
    };
    QRegularExpressionMatchIterator starts = regex(Pattern::AlertMessage).globalMatch(page);
    while (message.isEmpty() && starts.hasNext()) {
        const qsizetype textStart = starts.next().capturedEnd(0);
        const qsizetype textEnd = endFrom(textStart);
        if (textEnd >= 0 && textEnd - textStart <= 2000)
            message = stripTags(page.mid(textStart, textEnd - textStart));
    }
    if (message.isEmpty())
        message = firstMatch(page, {Pattern::DataMessage});
    return message.isEmpty() ? QStringLiteral("账号、密码或图片验证码不正确。") : message;
}

QString VantrelPageReader::userId(const QString& page)
{
    MatchingClock clock;
    return firstMatch(page, {Pattern::UserId});
}

QString VantrelPageReader::displayName(const QString& page)
{
    MatchingClock clock;
    return firstMatch(page, {Pattern::DisplayName});
}

QStringList VantrelPageReader::groupIds(const QString& page)
{
    MatchingClock clock;
    return allMatches(page, {Pattern::GroupLink});
}

QHash<QString, Remote> VantrelPageReader::listHints(const QString& page)
{
    MatchingClock clock;
    QHash<QString, Remote> hints;
    // Rows end at a "</tr>": beyond the last one no row can start, and without this cut every open row
    // there would be searched to the page's end for one.
    const qsizetype end = page.lastIndexOf(QLatin1String("</tr>"), -1, Qt::CaseInsensitive);
    if (end < 0)
        return hints;
    QRegularExpressionMatchIterator rows = regex(Pattern::TableRow).globalMatch(page.left(end + 5));
    while (rows.hasNext()) {
        const QString row = rows.next().captured(1);
        const QString serverId = firstMatch(row, {Pattern::DetailQueryLink, Pattern::DetailPathLink});
        if (serverId.isEmpty() || hints.contains(serverId))
            continue;
        const QString text = stripTags(row);
        Remote hint;
        hint.id = QString::fromLatin1(kIdPrefix) + serverId;
        hint.source_type = QString::fromLatin1(kSourceType);
        hint.group_id = QString::fromLatin1(kGroupId);
        hint.name = firstMatch(row, {Pattern::RowSmallName, Pattern::RowDomainName}, Cleanup::Strip);
        if (hint.name == QLatin1String("-"))
            hint.name.clear();
        hint.host = firstMatch(text, {Pattern::Ipv4});
        const QString expiry = firstMatch(text, {Pattern::Date});
        if (!expiry.isEmpty())
            hint.remark = expiryRemark(expiry);
        hint.protocol = protocolFor(looksLikeLinux(text));
        hint.port = defaultPort(hint.protocol);
        hint.legacy_rdp_security = !hint.isSsh();
        hints.insert(serverId, hint);
    }
    return hints;
}

QStringList VantrelPageReader::serverIds(const QString& page)
{
    MatchingClock clock;
    return allMatches(page, {Pattern::DetailQueryLink, Pattern::DetailPathLink, Pattern::HostIdField});
}

Remote VantrelPageReader::detailRecord(const QString& serverId, const QByteArray& body, const Remote* hint,
                                       const QDateTime& nowUtc)
{
    MatchingClock clock;
    if (serverId.isEmpty() || body.trimmed().isEmpty())
        return {};
    const QString page = QString::fromUtf8(body);
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(body, &error);
    DetailFields fields;
    if (error.error == QJsonParseError::NoError && document.isObject())
        fields = jsonDetail(document.object(), page);
    else if (error.error == QJsonParseError::NoError && document.isArray())
        fields = jsonDetail(firstObject(document.array()), page);
    else
        fields = htmlDetail(page);

    const QString placeholder = QStringLiteral("Vantrelnet服务器 %1").arg(serverId);
    Remote remote;
    remote.id = QString::fromLatin1(kIdPrefix) + serverId;
    remote.source_type = QString::fromLatin1(kSourceType);
    remote.group_id = QString::fromLatin1(kGroupId);
    remote.host = fields.host;
    remote.username = fields.username;
    remote.password = fields.password;
    remote.name = isGenericName(fields.name, placeholder) ? QString() : fields.name;
    if (!fields.os.isEmpty())
        remote.protocol = protocolFor(looksLikeLinux(fields.os));
    if (!fields.expiry.isEmpty())
        remote.remark = expiryRemark(fields.expiry);

    if (hint) {
        if (remote.name.isEmpty() && !isGenericName(hint->name, placeholder))
            remote.name = hint->name;
        if (remote.host.isEmpty())
            remote.host = hint->host;
        if (fields.os.isEmpty())
            remote.protocol = hint->protocol;
        if (remote.remark.isEmpty())
            remote.remark = hint->remark;
    }
    if (remote.name.isEmpty())
        remote.name = remote.host.isEmpty() ? placeholder : remote.host;
    // A hint's port is only the default of its protocol, so a missing port follows the protocol found.
    const int port = portNumber(fields.port);
    remote.port = port > 0 ? port : defaultPort(remote.protocol);
    remote.legacy_rdp_security = !remote.isSsh();
    const QDateTime ordered = portalTime(fields.ordered);
    remote.created_at = ordered.isValid() ? ordered : nowUtc;
    remote.updated_at = nowUtc;
    return remote;
}

qint64 VantrelPageReader::matchingNanoseconds()
{
    return g_matchingNanoseconds.load(std::memory_order_relaxed);
}

void VantrelPageReader::resetMatchingTime()
{
    g_matchingNanoseconds.store(0, std::memory_order_relaxed);
}
