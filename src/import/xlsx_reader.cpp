#include "import/xlsx_reader.h"

#include "import/sheet_rows.h"
#include "logger.h"

#include <minizip/unzip.h>

#include <QDate>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QTime>
#include <QXmlStreamReader>

#include <cmath>
#include <limits>

namespace {

// minizip reads the package through a QFile, so a path in any script opens on every system.
namespace zipio {

voidpf open(voidpf, const void* file, int)
{
    return const_cast<void*>(file);
}

uLong read(voidpf, voidpf stream, void* buffer, uLong size)
{
    const qint64 count = static_cast<QFile*>(stream)->read(static_cast<char*>(buffer), qint64(size));
    return count < 0 ? 0 : uLong(count);
}

uLong write(voidpf, voidpf, const void*, uLong)
{
    return 0;
}

ZPOS64_T tell(voidpf, voidpf stream)
{
    return ZPOS64_T(static_cast<QFile*>(stream)->pos());
}

long seek(voidpf, voidpf stream, ZPOS64_T offset, int origin)
{
    auto* file = static_cast<QFile*>(stream);
    qint64 base = 0;
    if (origin == ZLIB_FILEFUNC_SEEK_CUR) {
        base = file->pos();
    } else if (origin == ZLIB_FILEFUNC_SEEK_END) {
        base = file->size();
    }
    if (offset > ZPOS64_T(std::numeric_limits<qint64>::max() - base)) {
        return -1;
    }
    return file->seek(base + qint64(offset)) ? 0 : -1;
}

int close(voidpf, voidpf)
{
    return 0;
}

int error(voidpf, voidpf stream)
{
    return static_cast<QFile*>(stream)->error() == QFileDevice::NoError ? 0 : 1;
}

} // namespace zipio

// An open package: the file and minizip's reader over it.
class ZipPackage
{
public:
    explicit ZipPackage(const QString& path) : m_file(path)
    {
        if (!m_file.open(QIODevice::ReadOnly)) {
            return;
        }
        zlib_filefunc64_def functions{};
        functions.zopen64_file = zipio::open;
        functions.zread_file = zipio::read;
        functions.zwrite_file = zipio::write;
        functions.ztell64_file = zipio::tell;
        functions.zseek64_file = zipio::seek;
        functions.zclose_file = zipio::close;
        functions.zerror_file = zipio::error;
        m_zip = unzOpen2_64(&m_file, &functions);
    }
    ~ZipPackage()
    {
        if (m_zip != nullptr) {
            unzClose(m_zip);
        }
    }
    ZipPackage(const ZipPackage&) = delete;
    ZipPackage& operator=(const ZipPackage&) = delete;

    unzFile handle() const { return m_zip; }

private:
    QFile m_file;
    unzFile m_zip = nullptr;
};

enum class PartStatus { Read, Missing, Unreadable };

// Reads one part of the package. Parts that unpack beyond the limit are refused, whatever their
// header claims, so a zip bomb costs at most that much memory.
PartStatus readPart(const ZipPackage& zip, const QString& name, QByteArray* data)
{
    // Part names are compared without regard to case (2 asks minizip for that).
    const int located = unzLocateFile(zip.handle(), name.toUtf8().constData(), 2);
    if (located != UNZ_OK) {
        return located == UNZ_END_OF_LIST_OF_FILE ? PartStatus::Missing : PartStatus::Unreadable;
    }
    unz_file_info64 info{};
    if (unzGetCurrentFileInfo64(zip.handle(), &info, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK) {
        return PartStatus::Unreadable;
    }
    if (info.uncompressed_size > quint64(XlsxReader::kMaxPartSize)) {
        SPDLOG_WARN("Excel 工作簿部件过大: {} ({} 字节)", name, quint64(info.uncompressed_size));
        return PartStatus::Unreadable;
    }

    if (unzOpenCurrentFile(zip.handle()) != UNZ_OK) {
        return PartStatus::Unreadable;
    }
    QByteArray content;
    QByteArray buffer(64 * 1024, Qt::Uninitialized);
    for (;;) {
        const int count = unzReadCurrentFile(zip.handle(), buffer.data(), unsigned(buffer.size()));
        if (count < 0) {
            unzCloseCurrentFile(zip.handle());
            return PartStatus::Unreadable;
        }
        if (count == 0) {
            break;
        }
        if (content.size() + count > XlsxReader::kMaxPartSize) {
            SPDLOG_WARN("Excel 工作簿部件解压后过大: {}", name);
            unzCloseCurrentFile(zip.handle());
            return PartStatus::Unreadable;
        }
        content.append(buffer.constData(), count);
    }
    // A damaged or truncated part fails its CRC check here.
    if (unzCloseCurrentFile(zip.handle()) != UNZ_OK) {
        return PartStatus::Unreadable;
    }
    *data = std::move(content);
    return PartStatus::Read;
}

struct Relationship
{
    QString type;
    QString target; // part name inside the package
};

// Relationship targets are relative to the folder of the part that owns them, or absolute from
// the package root.
QString resolvePartName(const QString& baseFolder, const QString& target)
{
    if (target.startsWith(QLatin1Char('/'))) {
        return QDir::cleanPath(target.mid(1));
    }
    if (baseFolder.isEmpty()) {
        return QDir::cleanPath(target);
    }
    return QDir::cleanPath(baseFolder + QLatin1Char('/') + target);
}

QString folderOf(const QString& partName)
{
    const qsizetype slash = partName.lastIndexOf(QLatin1Char('/'));
    return slash < 0 ? QString() : partName.left(slash);
}

QString relationshipsPartOf(const QString& partName)
{
    const QString folder = folderOf(partName);
    const QString file = partName.mid(folder.isEmpty() ? 0 : folder.size() + 1);
    return (folder.isEmpty() ? QString() : folder + QLatin1Char('/')) + QStringLiteral("_rels/") + file +
           QStringLiteral(".rels");
}

bool readRelationships(const QByteArray& xml, const QString& baseFolder, QHash<QString, Relationship>* result)
{
    QXmlStreamReader reader(xml);
    while (!reader.atEnd()) {
        reader.readNext();
        if (!reader.isStartElement() || reader.name() != u"Relationship") {
            continue;
        }
        const QXmlStreamAttributes attributes = reader.attributes();
        if (attributes.value(QLatin1String("TargetMode")).compare(u"External", Qt::CaseInsensitive) == 0) {
            continue;
        }
        result->insert(attributes.value(QLatin1String("Id")).toString(),
                       {attributes.value(QLatin1String("Type")).toString(),
                        resolvePartName(baseFolder, attributes.value(QLatin1String("Target")).toString())});
    }
    return !reader.hasError();
}

// The first relationship whose type ends with `typeSuffix` ("/styles", "/sharedStrings" ...).
QString targetOfType(const QHash<QString, Relationship>& relationships, QStringView typeSuffix)
{
    for (auto it = relationships.cbegin(); it != relationships.cend(); ++it) {
        if (it->type.endsWith(typeSuffix)) {
            return it->target;
        }
    }
    return QString();
}

// The relationship id attribute (r:id) in whatever namespace the producer bound it to.
QString relationshipIdOf(const QXmlStreamAttributes& attributes)
{
    for (const QXmlStreamAttribute& attribute : attributes) {
        if (attribute.name() == u"id" && !attribute.namespaceUri().isEmpty()) {
            return attribute.value().toString();
        }
    }
    return QString();
}

bool isTrue(QStringView value)
{
    return value == u"1" || value.compare(u"true", Qt::CaseInsensitive) == 0;
}

struct Workbook
{
    QStringList sheetIds; // relationship ids, in tab order
    bool date1904 = false;
};

bool readWorkbook(const QByteArray& xml, Workbook* workbook)
{
    QXmlStreamReader reader(xml);
    while (!reader.atEnd()) {
        reader.readNext();
        if (!reader.isStartElement()) {
            continue;
        }
        if (reader.name() == u"workbookPr") {
            workbook->date1904 = isTrue(reader.attributes().value(QLatin1String("date1904")));
        } else if (reader.name() == u"sheet") {
            workbook->sheetIds.append(relationshipIdOf(reader.attributes()));
        }
    }
    return !reader.hasError();
}

// Excel writes characters that XML cannot carry (and some it can) as _xHHHH_.
QString unescapeText(const QString& text)
{
    if (!text.contains(QLatin1String("_x"))) {
        return text;
    }
    const auto isHex = [](QChar c) {
        return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
    };
    QString result;
    result.reserve(text.size());
    qsizetype i = 0;
    while (i < text.size()) {
        if (text[i] == u'_' && i + 6 < text.size() && text[i + 1] == u'x' && text[i + 6] == u'_' &&
            isHex(text[i + 2]) && isHex(text[i + 3]) && isHex(text[i + 4]) && isHex(text[i + 5])) {
            result.append(QChar(char16_t(text.mid(i + 2, 4).toUShort(nullptr, 16))));
            i += 7;
            continue;
        }
        result.append(text[i]);
        ++i;
    }
    return result;
}

// The text of a string item (<si> or <is>): its <t>, or the <t> of all its rich-text runs, without
// the phonetic guides of East Asian text. The reader stands on the item's start element.
QString readStringItem(QXmlStreamReader& reader)
{
    QString text;
    int depth = 1;
    while (depth > 0 && !reader.atEnd()) {
        reader.readNext();
        if (reader.isStartElement()) {
            if (reader.name() == u"rPh" || reader.name() == u"phoneticPr") {
                reader.skipCurrentElement();
            } else if (reader.name() == u"t") {
                text += reader.readElementText(QXmlStreamReader::IncludeChildElements);
            } else {
                ++depth;
            }
        } else if (reader.isEndElement()) {
            --depth;
        }
    }
    return unescapeText(text);
}

enum class PartContent { Read, Damaged, TooLarge };

// A table of millions of tiny strings fits in a small part but costs far more memory as strings
// than its bytes, so it is capped by count and by the text it holds, not only by the part size.
PartContent readSharedStrings(const QByteArray& xml, QStringList* strings)
{
    QXmlStreamReader reader(xml);
    qsizetype chars = 0;
    while (!reader.atEnd()) {
        reader.readNext();
        if (reader.isStartElement() && reader.name() == u"si") {
            if (strings->size() >= XlsxReader::kMaxSharedStrings) {
                return PartContent::TooLarge;
            }
            strings->append(readStringItem(reader));
            chars += strings->constLast().size();
            if (chars > XlsxReader::kMaxSharedStringChars) {
                return PartContent::TooLarge;
            }
        }
    }
    return reader.hasError() ? PartContent::Damaged : PartContent::Read;
}

// Whether a number format shows a date or time: the built-in date formats (including those of the
// East Asian locales), or a format code with a day, month, year, hour or second field outside
// quoted text, escapes and [colour]/[locale] sections.
bool isDateFormat(int id, const QString& code)
{
    if (code.isEmpty()) {
        return (id >= 14 && id <= 22) || (id >= 27 && id <= 36) || (id >= 45 && id <= 47) ||
               (id >= 50 && id <= 58);
    }
    bool quoted = false;
    for (qsizetype i = 0; i < code.size(); ++i) {
        const QChar c = code[i];
        if (quoted) {
            quoted = c != u'"';
            continue;
        }
        if (c == u'"') {
            quoted = true;
        } else if (c == u'\\' || c == u'_' || c == u'*') {
            ++i; // the next character is literal (or a padding / fill character)
        } else if (c == u'[') {
            const qsizetype close = code.indexOf(u']', i);
            if (close < 0) {
                return false;
            }
            // [h], [mm], [ss]: elapsed time.
            const QString inside = code.mid(i + 1, close - i - 1).toLower();
            if (!inside.isEmpty() &&
                inside.count(u'h') + inside.count(u'm') + inside.count(u's') == inside.size()) {
                return true;
            }
            i = close;
        } else {
            const char16_t lower = c.toLower().unicode();
            if (lower == u'd' || lower == u'm' || lower == u'y' || lower == u'h' || lower == u's') {
                return true;
            }
        }
    }
    return false;
}

// For each cell format (the cell's s attribute) whether it shows a date.
PartContent readDateStyles(const QByteArray& xml, QList<bool>* dateStyles)
{
    QHash<int, QString> formatCodes;
    QList<int> cellFormats;
    bool inCellFormats = false;
    QXmlStreamReader reader(xml);
    while (!reader.atEnd()) {
        reader.readNext();
        if (reader.isStartElement()) {
            if (reader.name() == u"numFmt") {
                const QXmlStreamAttributes attributes = reader.attributes();
                formatCodes.insert(attributes.value(QLatin1String("numFmtId")).toInt(),
                                   attributes.value(QLatin1String("formatCode")).toString());
            } else if (reader.name() == u"cellXfs") {
                inCellFormats = true;
            } else if (inCellFormats && reader.name() == u"xf") {
                if (cellFormats.size() >= XlsxReader::kMaxCellFormats) {
                    return PartContent::TooLarge;
                }
                cellFormats.append(reader.attributes().value(QLatin1String("numFmtId")).toInt());
            }
        } else if (reader.isEndElement() && reader.name() == u"cellXfs") {
            inCellFormats = false;
        }
    }
    for (const int id : std::as_const(cellFormats)) {
        dateStyles->append(isDateFormat(id, formatCodes.value(id)));
    }
    return reader.hasError() ? PartContent::Damaged : PartContent::Read;
}

QString timeText(int secondsOfDay)
{
    return QTime(0, 0).addSecs(secondsOfDay).toString(QStringLiteral("HH:mm:ss"));
}

QString withTime(const QString& day, int secondsOfDay)
{
    return secondsOfDay == 0 ? day : day + QLatin1Char(' ') + timeText(secondsOfDay);
}

QString dateTimeText(const QDate& date, int secondsOfDay)
{
    return withTime(date.toString(QStringLiteral("yyyy-MM-dd")), secondsOfDay);
}

// A date serial number as ISO text. In the 1900 system serial 1 is 1900-01-01 and serial 60 the
// 1900-02-29 that Lotus 1-2-3 invented and Excel kept; in the 1904 system serial 0 is 1904-01-01.
QString serialDateText(double serial, bool date1904)
{
    constexpr double kLastSerial = 2958466.0; // 10000-01-01 in the 1900 system
    if (!std::isfinite(serial) || serial < 0 || serial >= kLastSerial) {
        return SheetRows::numberText(serial);
    }
    const qint64 seconds = std::llround(serial * 86400.0);
    const qint64 days = seconds / 86400;
    const int secondsOfDay = int(seconds % 86400);
    if (days == 0) {
        return timeText(secondsOfDay);
    }
    if (date1904) {
        return dateTimeText(QDate(1904, 1, 1).addDays(days), secondsOfDay);
    }
    if (days == 60) {
        return withTime(QStringLiteral("1900-02-29"), secondsOfDay);
    }
    return dateTimeText(QDate(1899, 12, days < 60 ? 31 : 30).addDays(days), secondsOfDay);
}

// Cells of type "d" hold ISO 8601 text already.
QString isoDateText(const QString& value)
{
    const QDateTime dateTime = QDateTime::fromString(value, Qt::ISODate);
    if (dateTime.isValid()) {
        return dateTimeText(dateTime.date(), dateTime.time().msecsSinceStartOfDay() / 1000);
    }
    const QDate date = QDate::fromString(value, Qt::ISODate);
    return date.isValid() ? dateTimeText(date, 0) : value;
}

// Column index (from 0) of a cell reference such as "C5"; -1 when it has no column letters.
int columnOfReference(QStringView reference)
{
    int column = 0;
    qsizetype letters = 0;
    for (const QChar c : reference) {
        const char16_t upper = c.toUpper().unicode();
        if (upper < u'A' || upper > u'Z') {
            break;
        }
        // Anything beyond Excel's last column (XFD) is refused later by the column limit.
        column = std::min(column * 26 + (upper - u'A' + 1), 1'000'000);
        ++letters;
    }
    return letters == 0 ? -1 : column - 1;
}

struct SheetContext
{
    const QStringList& sharedStrings;
    const QList<bool>& dateStyles;
    bool date1904;
};

// The shown text of one cell; nullopt when it points at a shared string that does not exist.
std::optional<QString> cellText(const SheetContext& context, QStringView type, int style,
                                const QString& value, const QString& inlineText)
{
    if (type == u"s") {
        if (value.trimmed().isEmpty()) {
            return QString();
        }
        bool ok = false;
        const int index = value.trimmed().toInt(&ok);
        if (!ok || index < 0 || index >= context.sharedStrings.size()) {
            return std::nullopt;
        }
        return context.sharedStrings.at(index);
    }
    if (type == u"inlineStr") {
        return inlineText;
    }
    if (type == u"str" || type == u"e") {
        return unescapeText(value);
    }
    if (type == u"b") {
        if (value.trimmed().isEmpty()) {
            return QString();
        }
        return isTrue(value.trimmed()) ? QStringLiteral("TRUE") : QStringLiteral("FALSE");
    }
    if (type == u"d") {
        return isoDateText(value.trimmed());
    }
    if (value.isEmpty()) {
        return inlineText;
    }
    bool ok = false;
    const double number = value.trimmed().toDouble(&ok);
    if (!ok) {
        return value;
    }
    if (style >= 0 && style < context.dateStyles.size() && context.dateStyles.at(style)) {
        return serialDateText(number, context.date1904);
    }
    return SheetRows::numberText(number);
}

enum class SheetStatus { Read, Damaged, TooLarge };

SheetStatus readSheet(const QByteArray& xml, const SheetContext& context, SheetRows* rows)
{
    QXmlStreamReader reader(xml);
    int nextColumn = 0;
    while (!reader.atEnd()) {
        reader.readNext();
        if (reader.isEndElement()) {
            if (reader.name() == u"row") {
                if (!rows->finishRow()) {
                    return SheetStatus::TooLarge;
                }
            } else if (reader.name() == u"sheetData") {
                break;
            }
            continue;
        }
        if (!reader.isStartElement()) {
            continue;
        }
        if (reader.name() == u"row") {
            nextColumn = 0;
            continue;
        }
        if (reader.name() != u"c") {
            continue;
        }

        const QXmlStreamAttributes attributes = reader.attributes();
        int column = columnOfReference(attributes.value(QLatin1String("r")));
        if (column < 0) {
            column = nextColumn;
        }
        nextColumn = column + 1;
        const QString type = attributes.value(QLatin1String("t")).toString();
        const int style =
            attributes.hasAttribute(QLatin1String("s")) ? attributes.value(QLatin1String("s")).toInt() : 0;

        QString value;
        QString inlineText;
        while (!reader.atEnd()) {
            reader.readNext();
            if (reader.isEndElement() && reader.name() == u"c") {
                break;
            }
            if (!reader.isStartElement()) {
                continue;
            }
            if (reader.name() == u"v") {
                value = reader.readElementText(QXmlStreamReader::IncludeChildElements);
            } else if (reader.name() == u"is") {
                inlineText = readStringItem(reader);
            } else {
                reader.skipCurrentElement(); // formulas and extensions: only the cached value counts
            }
        }
        if (reader.hasError()) {
            return SheetStatus::Damaged;
        }
        const std::optional<QString> text = cellText(context, type, style, value, inlineText);
        if (!text) {
            return SheetStatus::Damaged;
        }
        if (!rows->addCell(column, *text)) {
            return SheetStatus::TooLarge;
        }
    }
    if (reader.hasError()) {
        return SheetStatus::Damaged;
    }
    return rows->finishRow() ? SheetStatus::Read : SheetStatus::TooLarge;
}

std::optional<QList<QStringList>> refuse(const QString& path, const char* reason, const QString& text,
                                         QString* error)
{
    SPDLOG_WARN("无法读取 Excel 工作簿 {}: {}", path, reason);
    if (error) {
        *error = text;
    }
    return std::nullopt;
}

} // namespace

std::optional<QList<QStringList>> XlsxReader::readFirstSheet(const QString& path, QString* error)
{
    const QString unreadable = SheetRows::unreadableError();
    const ZipPackage zip(path);
    if (zip.handle() == nullptr) {
        return refuse(path, "不是有效的 zip 包", unreadable, error);
    }

    // The package relationships name the workbook part; producers all use xl/workbook.xml.
    QString workbookPart = QStringLiteral("xl/workbook.xml");
    QByteArray xml;
    PartStatus status = readPart(zip, QStringLiteral("_rels/.rels"), &xml);
    if (status == PartStatus::Unreadable) {
        return refuse(path, "包关系无法读取", unreadable, error);
    }
    if (status == PartStatus::Read) {
        QHash<QString, Relationship> packageRelationships;
        if (!readRelationships(xml, QString(), &packageRelationships)) {
            return refuse(path, "包关系已损坏", unreadable, error);
        }
        const QString named = targetOfType(packageRelationships, u"/officeDocument");
        if (!named.isEmpty()) {
            workbookPart = named;
        }
    }

    Workbook workbook;
    if (readPart(zip, workbookPart, &xml) != PartStatus::Read || !readWorkbook(xml, &workbook)) {
        return refuse(path, "没有可读的工作簿", unreadable, error);
    }
    QHash<QString, Relationship> relationships;
    if (readPart(zip, relationshipsPartOf(workbookPart), &xml) != PartStatus::Read ||
        !readRelationships(xml, folderOf(workbookPart), &relationships)) {
        return refuse(path, "工作簿关系无法读取", unreadable, error);
    }

    // The first sheet that is a worksheet (a leading chart sheet has no cells).
    QString sheetPart;
    for (const QString& id : std::as_const(workbook.sheetIds)) {
        const auto it = relationships.constFind(id);
        if (it != relationships.cend() && it->type.endsWith(u"/worksheet")) {
            sheetPart = it->target;
            break;
        }
    }
    if (sheetPart.isEmpty()) {
        return refuse(path, "没有工作表", unreadable, error);
    }

    QStringList sharedStrings;
    const QString sharedPart = targetOfType(relationships, u"/sharedStrings");
    if (!sharedPart.isEmpty()) {
        status = readPart(zip, sharedPart, &xml);
        const PartContent content =
            status == PartStatus::Read ? readSharedStrings(xml, &sharedStrings) : PartContent::Read;
        if (content == PartContent::TooLarge) {
            return refuse(path, "共享字符串超过数量或内容上限", SheetRows::contentTooLargeError(), error);
        }
        if (status == PartStatus::Unreadable || content == PartContent::Damaged) {
            return refuse(path, "共享字符串已损坏", unreadable, error);
        }
    }

    QList<bool> dateStyles;
    const QString stylesPart = targetOfType(relationships, u"/styles");
    if (!stylesPart.isEmpty()) {
        status = readPart(zip, stylesPart, &xml);
        const PartContent content =
            status == PartStatus::Read ? readDateStyles(xml, &dateStyles) : PartContent::Read;
        if (content == PartContent::TooLarge) {
            return refuse(path, "单元格格式超过数量上限", SheetRows::contentTooLargeError(), error);
        }
        if (status == PartStatus::Unreadable || content == PartContent::Damaged) {
            return refuse(path, "样式已损坏", unreadable, error);
        }
    }

    if (readPart(zip, sheetPart, &xml) != PartStatus::Read) {
        return refuse(path, "工作表无法读取", unreadable, error);
    }
    SheetRows rows;
    switch (readSheet(xml, {sharedStrings, dateStyles, workbook.date1904}, &rows)) {
    case SheetStatus::Damaged:
        return refuse(path, "工作表已损坏", unreadable, error);
    case SheetStatus::TooLarge:
        return refuse(path, "工作表超过行、列或内容上限", rows.limitError(), error);
    case SheetStatus::Read:
        break;
    }
    return rows.take();
}
