#include "import/host_import_parser.h"

#include "import/export_labels.h"
#include "storage/host_address.h"

#include <QDateTime>
#include <QHash>
#include <QScopeGuard>
#include <QStringDecoder>
#include <QUuid>

#if defined(Q_OS_WIN)
#include <windows.h>
#else
#include <iconv.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <limits>
#include <optional>

namespace {

// One import holds at most this many rows (the header included); more is refused as a whole.
constexpr int kMaxRows = 100000;
// Fields kept per row: no host list has more columns, and a line of a million separators must not
// cost a million strings.
constexpr qsizetype kMaxFields = 256;

constexpr char16_t kFullWidthComma = 0xFF0C;

std::optional<QString> decodeStrictly(QStringDecoder decoder, const QByteArray& bytes)
{
    if (!decoder.isValid()) {
        return std::nullopt;
    }
    QString text = decoder.decode(bytes);
    if (decoder.hasError() || text.contains(QChar::ReplacementCharacter)) {
        return std::nullopt;
    }
    return text;
}

#if defined(Q_OS_WIN)
// GB18030 where the system has it; else GBK (936), its two-byte part and what a Chinese Windows
// writes (Wine, for one, lacks 54936).
UINT gb18030CodePage()
{
    static const UINT codePage = IsValidCodePage(54936) ? 54936 : 936;
    return codePage;
}

// `bytes` through a Windows code page; with `strict`, nothing when a sequence does not belong to it.
std::optional<QString> viaCodePage(UINT codePage, const QByteArray& bytes, bool strict)
{
    if (bytes.isEmpty()) {
        return QString();
    }
    const int length = MultiByteToWideChar(codePage, 0, bytes.constData(), int(bytes.size()), nullptr, 0);
    if (length <= 0) {
        return std::nullopt;
    }
    QString text(length, Qt::Uninitialized);
    MultiByteToWideChar(codePage, 0, bytes.constData(), int(bytes.size()),
                        reinterpret_cast<wchar_t*>(text.data()), length);
    if (strict) {
        // GB18030 maps all of Unicode: only bytes that belong to it come back unchanged (not every
        // system honours MB_ERR_INVALID_CHARS for it).
        const auto* wide = reinterpret_cast<const wchar_t*>(text.constData());
        const int size = WideCharToMultiByte(codePage, 0, wide, length, nullptr, 0, nullptr, nullptr);
        QByteArray back(size, Qt::Uninitialized);
        if (size <= 0 ||
            WideCharToMultiByte(codePage, 0, wide, length, back.data(), size, nullptr, nullptr) != size ||
            back != bytes) {
            return std::nullopt;
        }
    }
    return text;
}

// GB18030 through the system's code page 54936, for Qt builds without ICU; undecodable bytes become
// U+FFFD.
QString gb18030ViaSystem(const QByteArray& bytes)
{
    return viaCodePage(gb18030CodePage(), bytes, false).value_or(QString::fromLatin1(bytes));
}

// Whether the local code page is one of the multi-byte ones of a Chinese, Japanese or Korean Windows.
bool localCodePageIsMultiByte()
{
    CPINFO info{};
    return GetCPInfo(CP_ACP, &info) && info.MaxCharSize > 1;
}
#else
// GB18030 through glibc's iconv, for Qt builds without ICU; undecodable bytes become U+FFFD.
QString gb18030ViaSystem(const QByteArray& bytes)
{
    iconv_t converter = iconv_open("UTF-8", "GB18030");
    if (converter == reinterpret_cast<iconv_t>(static_cast<intptr_t>(-1))) {
        return QString::fromLatin1(bytes);
    }
    const auto closeConverter = qScopeGuard([converter] { iconv_close(converter); });

    // A GB18030 byte sequence never grows beyond three UTF-8 bytes per byte, U+FFFD included.
    QByteArray output(bytes.size() * 3 + 4, Qt::Uninitialized);
    char* in = const_cast<char*>(bytes.constData());
    size_t inLeft = size_t(bytes.size());
    char* out = output.data();
    size_t outLeft = size_t(output.size());
    while (inLeft > 0) {
        if (iconv(converter, &in, &inLeft, &out, &outLeft) != size_t(-1)) {
            break;
        }
        if ((errno != EILSEQ && errno != EINVAL) || outLeft < 3) {
            return QString::fromLatin1(bytes);
        }
        static constexpr char kReplacement[] = "\xEF\xBF\xBD";
        std::copy(kReplacement, kReplacement + 3, out);
        out += 3;
        outLeft -= 3;
        ++in;
        --inLeft;
        iconv(converter, nullptr, nullptr, nullptr, nullptr);
    }
    output.truncate(out - output.data());
    return QString::fromUtf8(output);
}
#endif

QString decodeGb18030(const QByteArray& bytes)
{
    QStringDecoder decoder("GB18030", QStringConverter::Flag::Stateless);
    return decoder.isValid() ? decoder.decode(bytes) : gb18030ViaSystem(bytes);
}

QString textOf(const QByteArray& bytes)
{
    // UTF-16 with a byte-order mark: what spreadsheet programs save as "Unicode text".
    if (bytes.startsWith("\xFF\xFE")) {
        return QStringDecoder(QStringConverter::Utf16LE).decode(bytes);
    }
    if (bytes.startsWith("\xFE\xFF")) {
        return QStringDecoder(QStringConverter::Utf16BE).decode(bytes);
    }

    QStringDecoder utf8(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
    QString text = utf8.decode(bytes);
    if (!utf8.hasError()) {
        return text;
    }
#if defined(Q_OS_WIN)
    // A single-byte code page (a Western Windows) decodes any bytes, rightly or not, while a host list
    // that is not UTF-8 mostly comes from a Chinese Windows: GB18030 first, when all of it is GB18030.
    if (!localCodePageIsMultiByte()) {
        if (std::optional<QString> chinese = viaCodePage(gb18030CodePage(), bytes, true)) {
            return *chinese;
        }
    }
#endif
    if (std::optional<QString> local = decodeStrictly(
            QStringDecoder(QStringConverter::System, QStringConverter::Flag::Stateless), bytes)) {
        return *local;
    }
    // On Linux the local code page is UTF-8 as well; a CSV from a Chinese Windows is GB18030 (GBK).
    // It is also the last resort: what it cannot decode becomes U+FFFD.
    return decodeGb18030(bytes);
}

// The tokenizer proper. Hands each finished row to `onRow` together with the flags of the fields
// that began with a quote; `onRow` returns false to stop early. Fields beyond `maxFields` in a row
// are dropped.
template <typename OnRow>
void tokenizeRows(QStringView text, qsizetype maxFields, QStringList* errors, OnRow&& onRow)
{
    QString field;
    QStringList row;
    QList<bool> quoted;
    bool fieldQuoted = false;
    bool inQuotes = false;

    const auto endField = [&] {
        if (row.size() < maxFields) {
            row.append(field);
            quoted.append(fieldQuoted);
        }
        field.clear();
        fieldQuoted = false;
    };

    const qsizetype size = text.size();
    for (qsizetype i = 0; i < size; ++i) {
        const QChar c = text[i];
        if (inQuotes) {
            if (c != u'"') {
                field.append(c);
            } else if (i + 1 < size && text[i + 1] == u'"') {
                field.append(c);
                ++i;
            } else {
                inQuotes = false;
            }
            continue;
        }
        switch (c.unicode()) {
        case u'"':
            if (field.isEmpty()) {
                inQuotes = true;
                fieldQuoted = true;
            } else {
                field.append(c);
            }
            break;
        case u',':
        case kFullWidthComma:
        case u'\t':
            endField();
            break;
        case u'\n':
            endField();
            if (!(row.size() == 1 && row.constFirst().isEmpty())) {
                if (!onRow(std::move(row), quoted)) {
                    return;
                }
            }
            row = QStringList();
            quoted.clear();
            break;
        case u'\r':
            break;
        default:
            field.append(c);
            break;
        }
    }

    if (inQuotes && errors) {
        errors->append(QStringLiteral("导入内容存在未闭合的引号"));
    }
    if (!field.isEmpty() || !row.isEmpty()) {
        endField();
        onRow(std::move(row), quoted);
    }
}

// Column of each field; -1 when the header has none.
struct Columns
{
    int host = 0;
    int port = 1;
    int username = 2;
    int password = 3;
    int remark = 4;
    int name = 5;
    int system = 6;
    int scope = 7;
    int group = -1; // only a header names it
};

const QStringList& hostAliases()
{
    static const QStringList aliases = {QStringLiteral("public_ip"), QStringLiteral("host"),
                                        QStringLiteral("ip"), QStringLiteral("主机"),
                                        QStringLiteral("公网ip")};
    return aliases;
}

// The columns named by a header row, or nothing when `row` is not a header.
std::optional<Columns> headerColumns(const QStringList& row)
{
    QHash<QString, int> positions; // a name given twice counts for its last column
    bool hasHostColumn = false;
    for (int i = 0; i < row.size(); ++i) {
        const QString name = row.at(i).trimmed().toLower();
        positions.insert(name, i);
        hasHostColumn = hasHostColumn || hostAliases().contains(name);
    }
    if (!hasHostColumn) {
        return std::nullopt;
    }
    const auto find = [&positions](const QStringList& aliases) {
        for (const QString& alias : aliases) {
            const auto it = positions.constFind(alias);
            if (it != positions.cend()) {
                return *it;
            }
        }
        return -1;
    };
    Columns columns;
    columns.host = find(hostAliases());
    columns.port = find({QStringLiteral("port"), QStringLiteral("端口")});
    columns.username = find({QStringLiteral("user"), QStringLiteral("username"), QStringLiteral("用户名")});
    columns.password = find({QStringLiteral("passwd"), QStringLiteral("password"), QStringLiteral("密码")});
    columns.remark = find({QStringLiteral("remark"), QStringLiteral("note"), QStringLiteral("remarks"),
                           QStringLiteral("备注")});
    columns.name = find({QStringLiteral("hostname"), QStringLiteral("name"), QStringLiteral("名称")});
    columns.system = find({QStringLiteral("system"), QStringLiteral("os"), QStringLiteral("protocol"),
                           QStringLiteral("type"), QStringLiteral("系统"), QStringLiteral("协议"),
                           QStringLiteral("类型")});
    columns.scope =
        find({QStringLiteral("access_scope"), QStringLiteral("permission"), QStringLiteral("权限")});
    columns.group = find({QStringLiteral("group"), QStringLiteral("group_name"), QStringLiteral("分组"),
                          QStringLiteral("分组名称"), QStringLiteral("组")});
    return columns;
}

class RowParser
{
public:
    RowParser(const QString& groupId, HostParseResult* result)
        : m_groupId(groupId), m_result(result), m_now(QDateTime::currentDateTimeUtc())
    {
    }

    // `number` counts all rows from 1, the header included.
    void parse(const QStringList& row, const QList<bool>& quoted, int number, const Columns& columns,
               bool hasHeader)
    {
        const auto cell = [&row](int index) {
            return index >= 0 && index < row.size() ? row.at(index).trimmed() : QString();
        };
        // A quoted password is taken as written: leading or trailing spaces may belong to it.
        const bool passwordQuoted =
            columns.password >= 0 && columns.password < quoted.size() && quoted.at(columns.password);
        const QString host = cell(columns.host);
        if (host.isEmpty()) {
            return;
        }
        const QString portText = cell(columns.port);
        const QString username = cell(columns.username);
        const QString password = passwordQuoted ? row.at(columns.password) : cell(columns.password);
        const QString remark = cell(columns.remark);
        const QString name = cell(columns.name);
        const QString system = cell(columns.system);
        const QString scope = cell(columns.scope);
        const QString group = cell(columns.group);

        // A NUL would be cut off wherever the value ends up as a C string (ssh, RDP, the log).
        const QChar nul(u'\0');
        for (const QString* value :
             {&host, &portText, &username, &password, &remark, &name, &system, &scope, &group}) {
            if (value->contains(nul)) {
                m_result->errors.append(QStringLiteral("第 %1 行含有空字符，未导入").arg(number));
                return;
            }
        }

        // A group name shows on one line in the tree and the group lists.
        if (std::any_of(group.cbegin(), group.cend(),
                        [](QChar c) { return c.category() == QChar::Other_Control; })) {
            m_result->errors.append(QStringLiteral("第 %1 行分组名称无效").arg(number));
            return;
        }

        // A system that names Windows or RDP wins over port 22: an RDP host may listen there.
        const bool namesSsh = system.contains(QLatin1String("linux"), Qt::CaseInsensitive) ||
                              system.contains(QLatin1String("ssh"), Qt::CaseInsensitive);
        const bool namesRdp = system.contains(QLatin1String("windows"), Qt::CaseInsensitive) ||
                              system.contains(QLatin1String("rdp"), Qt::CaseInsensitive);
        const bool ssh = namesSsh || (!namesRdp && portText == QLatin1String("22"));
        bool portOk = true;
        const int port = portText.isEmpty() ? (ssh ? 22 : 3389) : portText.toInt(&portOk, 10);
        if (!portOk || !isValidSshTarget(host, port)) {
            m_result->errors.append(QStringLiteral("第 %1 行主机或端口无效").arg(number));
            return;
        }

        Remote remote;
        remote.id = QUuid::createUuid().toString(QUuid::WithoutBraces);
        remote.name = name.isEmpty() ? host : name;
        remote.host = host;
        remote.port = port;
        remote.username = username;
        remote.password = password;
        // A system description is kept as the remark; the export's own protocol label is not one.
        remote.remark =
            remark.isEmpty() && hasHeader && !ExportLabels::isProtocolLabel(system) ? system : remark;
        remote.group_id = m_groupId;
        remote.protocol = ssh ? QStringLiteral("ssh") : QStringLiteral("rdp");
        remote.legacy_rdp_security = !ssh;
        remote.access_scope = scope.contains(QStringLiteral("子账号")) ||
                                      scope.compare(QLatin1String("team"), Qt::CaseInsensitive) == 0
                                  ? QStringLiteral("team")
                                  : QStringLiteral("owner");
        remote.source_type = QStringLiteral("manual");
        remote.created_at = m_now;
        remote.updated_at = m_now;
        m_result->remotes.append(remote);
        m_result->groupNames.append(group);
    }

private:
    QString m_groupId;
    HostParseResult* m_result;
    QDateTime m_now;
};

} // namespace

QString HostImportParser::decode(const QByteArray& bytes)
{
    QString text = textOf(bytes);
    if (text.startsWith(QChar(0xFEFF))) {
        text.remove(0, 1);
    }
    return text;
}

QList<QStringList> HostImportParser::tokenize(const QString& text, QStringList* errors)
{
    QList<QStringList> rows;
    tokenizeRows(text, std::numeric_limits<qsizetype>::max(), errors,
                 [&rows](QStringList&& row, const QList<bool>&) {
                     rows.append(std::move(row));
                     return true;
                 });
    return rows;
}

HostParseResult HostImportParser::parse(const QByteArray& bytes, const QString& groupId)
{
    HostParseResult result;
    const QString text = decode(bytes);

    // Rows are handled as the tokenizer finishes them, so a large file is never held twice.
    QStringList tokenizerErrors;
    RowParser rowParser(groupId, &result);
    Columns columns;
    bool hasHeader = false;
    int rowCount = 0;
    tokenizeRows(text, kMaxFields, &tokenizerErrors, [&](QStringList&& row, const QList<bool>& quoted) {
        ++rowCount;
        if (rowCount > kMaxRows) {
            return false;
        }
        if (rowCount == 1) {
            if (const std::optional<Columns> named = headerColumns(row)) {
                columns = *named;
                hasHeader = true;
                return true;
            }
        }
        rowParser.parse(row, quoted, rowCount, columns, hasHeader);
        return true;
    });

    if (rowCount > kMaxRows) {
        HostParseResult refused;
        refused.errors.append(QStringLiteral("导入内容超过 %1 行，请拆分后导入。").arg(kMaxRows));
        return refused;
    }
    if (rowCount == 0) {
        tokenizerErrors.append(QStringLiteral("导入内容为空"));
    }
    result.errors = tokenizerErrors + result.errors;
    return result;
}
