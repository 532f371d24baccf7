#include "import/host_file_reader.h"
#include "import/host_import_parser.h"
#include "import/sheet_rows_codec.h"
#include "import/xls_reader.h"
#include "import/xlsx_reader.h"
#include "support/log_capture.h"
#include "support/test_environment.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <array>
#include <cerrno>
#include <csignal>

namespace {

QString helperDirectory()
{
#ifdef Q_OS_WIN
    // The Windows tests lie beside the helper, as the program does.
    return QCoreApplication::applicationDirPath();
#else
    return QStringLiteral(NIMBARA_BINARY_DIR);
#endif
}

const QString kUnreadableWorkbook = QStringLiteral("无法读取 Excel 文件。请将文件另存为 CSV/TXT 后导入。");
const QString kSheetTooLarge = QStringLiteral("Excel 工作表过大（最多 100000 行、256 列），请拆分后导入。");
const QString kFileTooLarge = QStringLiteral("文件过大（超过 64 MB），请拆分后导入。");
const QString kContentTooLarge = QStringLiteral("Excel 文件内容过大，请拆分后导入。");

using Rows = QList<QStringList>;

QString dataPath(const QString& name)
{
    return QStringLiteral(NIMBARA_TEST_DATA_DIR "/import/") + name;
}

// --- A minimal zip writer, so that tests can build workbooks of any shape (and zip bombs). ---

void put16(QByteArray& out, quint32 value)
{
    out.append(char(value & 0xFF));
    out.append(char((value >> 8) & 0xFF));
}

void put32(QByteArray& out, quint32 value)
{
    put16(out, value & 0xFFFF);
    put16(out, value >> 16);
}

quint32 crc32Of(const QByteArray& data)
{
    static const std::array<quint32, 256> table = [] {
        std::array<quint32, 256> entries{};
        for (quint32 i = 0; i < 256; ++i) {
            quint32 c = i;
            for (int k = 0; k < 8; ++k) {
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            }
            entries[i] = c;
        }
        return entries;
    }();
    quint32 crc = 0xFFFFFFFFu;
    for (const char byte : data) {
        crc = table[(crc ^ quint8(byte)) & 0xFF] ^ (crc >> 8);
    }
    return crc ^ 0xFFFFFFFFu;
}

// qCompress gives a 4-byte length and a zlib stream; zip wants the bare deflate data inside it.
QByteArray rawDeflate(const QByteArray& data)
{
    const QByteArray zlib = qCompress(data, 9);
    return zlib.mid(6, zlib.size() - 10);
}

struct ZipEntry
{
    QString name;
    QByteArray data;
    qint64 claimedSize = -1; // the uncompressed size written in the headers; -1: the true one
};

QByteArray zipArchive(const QList<ZipEntry>& entries)
{
    QByteArray archive;
    QByteArray directory;
    for (const ZipEntry& entry : entries) {
        const QByteArray name = entry.name.toUtf8();
        const QByteArray packed = rawDeflate(entry.data);
        const quint32 crc = crc32Of(entry.data);
        const quint32 size = quint32(entry.claimedSize >= 0 ? entry.claimedSize : entry.data.size());
        const quint32 offset = quint32(archive.size());

        put32(archive, 0x04034b50);
        put16(archive, 20);     // version needed
        put16(archive, 0x0800); // UTF-8 names
        put16(archive, 8);      // deflate
        put16(archive, 0);      // time
        put16(archive, 0x21);   // date
        put32(archive, crc);
        put32(archive, quint32(packed.size()));
        put32(archive, size);
        put16(archive, quint32(name.size()));
        put16(archive, 0);
        archive += name;
        archive += packed;

        put32(directory, 0x02014b50);
        put16(directory, 20);
        put16(directory, 20);
        put16(directory, 0x0800);
        put16(directory, 8);
        put16(directory, 0);
        put16(directory, 0x21);
        put32(directory, crc);
        put32(directory, quint32(packed.size()));
        put32(directory, size);
        put16(directory, quint32(name.size()));
        put16(directory, 0); // extra
        put16(directory, 0); // comment
        put16(directory, 0); // disk
        put16(directory, 0); // internal attributes
        put32(directory, 0); // external attributes
        put32(directory, offset);
        directory += name;
    }
    const quint32 directoryOffset = quint32(archive.size());
    archive += directory;
    put32(archive, 0x06054b50);
    put16(archive, 0);
    put16(archive, 0);
    put16(archive, quint32(entries.size()));
    put16(archive, quint32(entries.size()));
    put32(archive, quint32(directory.size()));
    put32(archive, directoryOffset);
    put16(archive, 0);
    return archive;
}

constexpr char kMainNamespace[] = "http://schemas.openxmlformats.org/spreadsheetml/2006/main";
constexpr char kRelationshipType[] = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/";

QByteArray relationship(const QByteArray& id, const QByteArray& type, const QByteArray& target)
{
    return "<Relationship Id=\"" + id + "\" Type=\"" + kRelationshipType + type + "\" Target=\"" + target +
           "\"/>";
}

QByteArray relationships(const QByteArray& items)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><Relationships "
           "xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">" +
           items + "</Relationships>";
}

QByteArray worksheet(const QByteArray& sheetData)
{
    return QByteArray("<?xml version=\"1.0\" encoding=\"UTF-8\"?><worksheet xmlns=\"") + kMainNamespace +
           "\"><dimension ref=\"A1\"/><sheetData>" + sheetData +
           "</sheetData><mergeCells count=\"1\"><mergeCell ref=\"Z1:Z2\"/></mergeCells></worksheet>";
}

// The parts of a one-sheet workbook as spreadsheet programs write it.
struct Workbook
{
    QByteArray sheetData;     // inside <sheetData>
    QByteArray sharedStrings; // <si> items; empty: no shared strings part
    QByteArray styles;        // inside <styleSheet>; empty: no styles part
    QByteArray workbookPr;    // e.g. date1904="1"

    QList<ZipEntry> entries() const
    {
        QByteArray workbookRelationships = relationship("rId1", "worksheet", "worksheets/sheet1.xml");
        QList<ZipEntry> parts = {
            {QStringLiteral("[Content_Types].xml"),
             "<?xml version=\"1.0\"?><Types "
             "xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\"/>"},
            {QStringLiteral("_rels/.rels"),
             relationships(relationship("rId1", "officeDocument", "xl/workbook.xml"))},
            {QStringLiteral("xl/workbook.xml"),
             QByteArray("<?xml version=\"1.0\"?><workbook xmlns=\"") + kMainNamespace +
                 "\" xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\">"
                 "<workbookPr " +
                 workbookPr +
                 "/><sheets><sheet name=\"Sheet1\" sheetId=\"1\" r:id=\"rId1\"/></sheets></workbook>"},
            {QStringLiteral("xl/worksheets/sheet1.xml"), worksheet(sheetData)},
        };
        if (!sharedStrings.isEmpty()) {
            workbookRelationships += relationship("rId2", "sharedStrings", "sharedStrings.xml");
            parts.append({QStringLiteral("xl/sharedStrings.xml"),
                          QByteArray("<?xml version=\"1.0\"?><sst xmlns=\"") + kMainNamespace + "\">" +
                              sharedStrings + "</sst>"});
        }
        if (!styles.isEmpty()) {
            workbookRelationships += relationship("rId3", "styles", "styles.xml");
            parts.append(
                {QStringLiteral("xl/styles.xml"), QByteArray("<?xml version=\"1.0\"?><styleSheet xmlns=\"") +
                                                      kMainNamespace + "\">" + styles + "</styleSheet>"});
        }
        parts.append({QStringLiteral("xl/_rels/workbook.xml.rels"), relationships(workbookRelationships)});
        return parts;
    }
};

Workbook withCells(const QByteArray& sheetData, const QByteArray& sharedStrings = QByteArray())
{
    Workbook workbook;
    workbook.sheetData = sheetData;
    workbook.sharedStrings = sharedStrings;
    return workbook;
}

// Cell formats 0..5: General, built-in date 14, built-in date-time 22, a custom Chinese date,
// elapsed hours, and a quoted-text number format that is no date.
const QByteArray kStyles =
    "<numFmts count=\"3\"><numFmt numFmtId=\"164\" "
    "formatCode=\"yyyy&quot;年&quot;m&quot;月&quot;d&quot;日&quot;\"/>"
    "<numFmt numFmtId=\"165\" formatCode=\"[h]:mm:ss\"/>"
    "<numFmt numFmtId=\"166\" formatCode=\"[Red]0.00&quot; days&quot;;\\-0.00\"/></numFmts>"
    "<cellStyleXfs count=\"1\"><xf numFmtId=\"14\"/></cellStyleXfs>"
    "<cellXfs count=\"6\"><xf numFmtId=\"0\"/><xf numFmtId=\"14\"/><xf numFmtId=\"22\"/>"
    "<xf numFmtId=\"164\"/><xf numFmtId=\"165\"/><xf numFmtId=\"166\"/></cellXfs>";

QString writeBytes(const QTemporaryDir& dir, const QString& name, const QByteArray& bytes)
{
    const QString path = dir.filePath(name);
    writeFile(path, bytes);
    return path;
}

QString writeWorkbook(const QTemporaryDir& dir, const Workbook& workbook,
                      const QString& name = QStringLiteral("book.xlsx"))
{
    return writeBytes(dir, name, zipArchive(workbook.entries()));
}

// The rows a file gives, read back with the import tokenizer.
std::optional<Rows> rowsOf(const QString& path, QString* error)
{
    const std::optional<QByteArray> bytes = HostFileReader::read(path, error);
    if (!bytes) {
        return std::nullopt;
    }
    QStringList tokenizerErrors;
    const Rows rows = HostImportParser::tokenize(HostImportParser::decode(*bytes), &tokenizerErrors);
    if (!tokenizerErrors.isEmpty()) {
        *error = tokenizerErrors.join(QLatin1Char('\n'));
        return std::nullopt;
    }
    return rows;
}

QStringList hostSummaries(const QByteArray& bytes)
{
    QStringList lines;
    for (const Remote& remote : HostImportParser::parse(bytes, QStringLiteral("g")).remotes) {
        lines.append(QStringList{remote.host, QString::number(remote.port), remote.protocol, remote.name,
                                 remote.username, remote.password, remote.remark, remote.access_scope}
                         .join(QLatin1Char('|')));
    }
    return lines;
}

QByteArray cellRow(int row, const QList<QByteArray>& cells)
{
    QByteArray xml = "<row r=\"" + QByteArray::number(row) + "\">";
    for (const QByteArray& cell : cells) {
        xml += cell;
    }
    return xml + "</row>";
}

QByteArray inlineCell(const QByteArray& reference, const QByteArray& text)
{
    return "<c r=\"" + reference + "\" t=\"inlineStr\"><is><t>" + text + "</t></is></c>";
}

} // namespace

class TestHostFileReader : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void suffixDecidesTheReader_data();
    void suffixDecidesTheReader();
    void missingOrSpecialFilesAreUnreadable();
    void textFilesAreReadUnchanged();
    void oversizedFilesAreRefusedBeforeReading_data();
    void oversizedFilesAreRefusedBeforeReading();

    void officeWorkbooks_data();
    void officeWorkbooks();
    void workbooksImportLikeTheirCsvSource_data();
    void workbooksImportLikeTheirCsvSource();
    void contentDecidesTheWorkbookFormat();
    void damagedWorkbooks_data();
    void damagedWorkbooks();

    void cellValues_data();
    void cellValues();
    void packageLayout_data();
    void packageLayout();

    void sheetLimits_data();
    void sheetLimits();
    void tenThousandRowWorkbookReads();
    void zipBombsAreRefused_data();
    void zipBombsAreRefused();
    void sharedStringLimits_data();
    void sharedStringLimits();
    void cellFormatLimit();

    void xlsHelperEndings_data();
    void xlsHelperEndings();
    void hangingXlsHelperIsKilledAtTheTimeLimit();
    void missingXlsHelperMakesTheFileUnreadable();
    void xlsThatCrashesFreexlIsRefused();

private:
    QTemporaryDir m_dir;
};

void TestHostFileReader::initTestCase()
{
    QVERIFY(m_dir.isValid());
    XlsReader::setHelperDirectory(helperDirectory());
}

void TestHostFileReader::suffixDecidesTheReader_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("error");

    const QString unsupported = QStringLiteral("仅支持 CSV、TXT、XLS、XLSX 文件");
    QTest::newRow("csv") << QStringLiteral("a.csv") << QString();
    QTest::newRow("upper-case CSV") << QStringLiteral("B.CSV") << QString();
    QTest::newRow("txt") << QStringLiteral("c.Txt") << QString();
    QTest::newRow("xlsx holding text") << QStringLiteral("d.xlsx") << kUnreadableWorkbook;
    QTest::newRow("xlsm holding text") << QStringLiteral("e.XLSM") << kUnreadableWorkbook;
    QTest::newRow("xls holding text") << QStringLiteral("f.xls") << kUnreadableWorkbook;
    QTest::newRow("doc") << QStringLiteral("g.doc") << unsupported;
    QTest::newRow("ods") << QStringLiteral("h.ods") << unsupported;
    QTest::newRow("csv with another suffix after it") << QStringLiteral("i.csv.bak") << unsupported;
    QTest::newRow("no suffix") << QStringLiteral("hosts") << unsupported;
}

void TestHostFileReader::suffixDecidesTheReader()
{
    QFETCH(QString, name);
    QFETCH(QString, error);

    const QByteArray content = "10.0.0.1,3389\n";
    const QString path = writeBytes(m_dir, name, content);
    QString actualError;
    const std::optional<QByteArray> bytes = HostFileReader::read(path, &actualError);
    QCOMPARE(actualError, error);
    QCOMPARE(bytes.has_value(), error.isEmpty());
    if (bytes) {
        QCOMPARE(*bytes, content);
    }
}

void TestHostFileReader::missingOrSpecialFilesAreUnreadable()
{
    const QString unreadable = QStringLiteral("无法读取所选文件");
    QVERIFY(QDir(m_dir.path()).mkdir(QStringLiteral("folder.csv")));
    for (const QString& name : {QStringLiteral("missing.csv"), QStringLiteral("missing.xlsx"),
                                QStringLiteral("missing.xls"), QStringLiteral("folder.csv")}) {
        QString error;
        QVERIFY(!HostFileReader::read(m_dir.filePath(name), &error));
        QCOMPARE(error, unreadable);
    }
}

void TestHostFileReader::textFilesAreReadUnchanged()
{
    for (const QString& name : {QStringLiteral("hosts.csv"), QStringLiteral("hosts_gb18030.csv"),
                                QStringLiteral("nul_byte.csv"), QStringLiteral("binary.csv")}) {
        QString error;
        const std::optional<QByteArray> bytes = HostFileReader::read(dataPath(name), &error);
        QVERIFY2(bytes, qPrintable(name));
        QCOMPARE(*bytes, readFile(dataPath(name)));
        QVERIFY(error.isEmpty());
    }
}

void TestHostFileReader::oversizedFilesAreRefusedBeforeReading_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<bool>("refused");

    constexpr qint64 limit = 64LL * 1024 * 1024;
    QTest::newRow("200 MB csv") << QStringLiteral("big.csv") << 200LL * 1000 * 1000 << true;
    QTest::newRow("200 MB xlsx") << QStringLiteral("big.xlsx") << 200LL * 1000 * 1000 << true;
    QTest::newRow("200 MB xls") << QStringLiteral("big.xls") << 200LL * 1000 * 1000 << true;
    QTest::newRow("one byte over 64 MiB") << QStringLiteral("over.txt") << limit + 1 << true;
    QTest::newRow("exactly 64 MiB") << QStringLiteral("limit.txt") << limit << false;
}

void TestHostFileReader::oversizedFilesAreRefusedBeforeReading()
{
    QFETCH(QString, name);
    QFETCH(qint64, size);
    QFETCH(bool, refused);

    // Sparse: nothing of it is written to the disk.
    QFile file(m_dir.filePath(name));
    QVERIFY(file.open(QIODevice::WriteOnly));
    QVERIFY(file.resize(size));
    file.close();

    QString error;
    const std::optional<QByteArray> bytes = HostFileReader::read(file.fileName(), &error);
    QCOMPARE(bytes.has_value(), !refused);
    if (refused) {
        // Only the size check gives this answer.
        QCOMPARE(error, kFileTooLarge);
    } else {
        QCOMPARE(bytes->size(), size);
    }
    QFile::remove(file.fileName());
}

void TestHostFileReader::officeWorkbooks_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<Rows>("rows");

    const Rows hosts = {
        {"名称", "IP", "端口", "用户名", "密码", "备注", "系统", "权限", "上线日期"},
        {"办公室Windows", "192.168.1.10", "3389", "Administrator", "Zq7Lm4p", "财务部，二楼",
         "Windows Server 2019", "仅主账号", "2024-03-15"},
        {"Linux服务器", "192.168.1.20", "22", "root", "Xk9Pw2q", "13800138000", "Ubuntu Linux",
         "主账号及子账号", "2023-11-02"},
        {"", "10.0.0.5"},
        {"跳板机", "jump.example.com", "2222", "ops", "", "", "SSH", "team"},
        {"db01", "10.0.0.8", "3389", "", "Pa55", "0.1"},
    };
    QTest::newRow("xlsx from CSV") << QStringLiteral("hosts.xlsx") << hosts;
    QTest::newRow("xls from CSV") << QStringLiteral("hosts.xls") << hosts;

    const QStringList richHeader = {"主机", "Port", "用户名",   "密码",     "备注", "名称",
                                    "类型", "权限", "采购日期", "巡检时间", "在用", "计算"};
    const QStringList lastRow = {"10.1.0.13", "22", "root", "", "13800138000", "", "", "", "0.1"};
    QTest::newRow("xlsx with rich text, dates, formulas")
        << QStringLiteral("hosts_rich.xlsx")
        << Rows{richHeader,
                {"10.1.0.11", "3389", "Administrator", "p\"q,r", "重要：生产数据库，勿重启", "生产库",
                 "Windows", "仅主账号", "2024-03-15", "2024-03-15 08:30:00", "TRUE", "10.1.0.11:3389"},
                {"10.1.0.12", "", "", "", "第一行\n第二行", "", "CentOS Linux", "", "2023-11-02", "", "FALSE",
                 "3390"},
                lastRow};
    // BIFF keeps booleans as numbers, and FreeXL gives no values for formula cells.
    QTest::newRow("xls with rich text, dates, formulas")
        << QStringLiteral("hosts_rich.xls")
        << Rows{richHeader,
                {"10.1.0.11", "3389", "Administrator", "p\"q,r", "重要：生产数据库，勿重启", "生产库",
                 "Windows", "仅主账号", "2024-03-15", "2024-03-15 08:30:00", "1"},
                {"10.1.0.12", "", "", "", "第一行\n第二行", "", "CentOS Linux", "", "2023-11-02", "", "0"},
                lastRow};

    const Rows dates1904 = {{"ip", "备注"}, {"10.2.0.1", "2024-03-15"}};
    QTest::newRow("xlsx in the 1904 date system") << QStringLiteral("hosts_1904.xlsx") << dates1904;
    QTest::newRow("xls in the 1904 date system") << QStringLiteral("hosts_1904.xls") << dates1904;
}

void TestHostFileReader::officeWorkbooks()
{
    QFETCH(QString, name);
    QFETCH(Rows, rows);

    QString error;
    const std::optional<Rows> actual = rowsOf(dataPath(name), &error);
    QVERIFY2(actual, qPrintable(error));
    QCOMPARE(*actual, rows);
}

void TestHostFileReader::workbooksImportLikeTheirCsvSource_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("xlsx") << QStringLiteral("hosts.xlsx");
    QTest::newRow("xls") << QStringLiteral("hosts.xls");
}

void TestHostFileReader::workbooksImportLikeTheirCsvSource()
{
    QFETCH(QString, name);

    QString error;
    const std::optional<QByteArray> bytes = HostFileReader::read(dataPath(name), &error);
    QVERIFY2(bytes, qPrintable(error));
    const QStringList expected = hostSummaries(readFile(dataPath(QStringLiteral("hosts.csv"))));
    QCOMPARE(expected.size(), 5);
    QCOMPARE(hostSummaries(*bytes), expected);
}

void TestHostFileReader::contentDecidesTheWorkbookFormat()
{
    // A workbook saved under the other format's suffix still reads.
    const QString xlsxAsXls =
        writeBytes(m_dir, QStringLiteral("really-xlsx.xls"), readFile(dataPath("hosts.xlsx")));
    const QString xlsAsXlsx =
        writeBytes(m_dir, QStringLiteral("really-xls.xlsx"), readFile(dataPath("hosts.xls")));
    QString error;
    const std::optional<Rows> expected = rowsOf(dataPath(QStringLiteral("hosts.xlsx")), &error);
    QVERIFY(expected);
    QCOMPARE(rowsOf(xlsxAsXls, &error), expected);
    QCOMPARE(rowsOf(xlsAsXlsx, &error), expected);
}

void TestHostFileReader::damagedWorkbooks_data()
{
    QTest::addColumn<QString>("path");

    QTest::newRow("zip that is no workbook") << dataPath(QStringLiteral("not_workbook.xlsx"));
    QTest::newRow("truncated xlsx") << dataPath(QStringLiteral("truncated.xlsx"));
    QTest::newRow("text named xlsx") << dataPath(QStringLiteral("text_named.xlsx"));
    QTest::newRow("csv named xlsm") << writeBytes(m_dir, QStringLiteral("hosts.xlsm"),
                                                  readFile(dataPath("hosts.csv")));
    QTest::newRow("empty xlsx") << writeBytes(m_dir, QStringLiteral("empty.xlsx"), QByteArray());
    QTest::newRow("truncated xls") << writeBytes(m_dir, QStringLiteral("truncated.xls"),
                                                 readFile(dataPath("hosts.xls")).left(3000));
    QTest::newRow("xls header only") << writeBytes(m_dir, QStringLiteral("header.xls"),
                                                   readFile(dataPath("hosts.xls")).left(512));
    QTest::newRow("binary named xls")
        << writeBytes(m_dir, QStringLiteral("binary.xls"), readFile(dataPath("binary.csv")));

    QTest::newRow("no sheet") << writeBytes(m_dir, QStringLiteral("nosheet.xlsx"), [] {
        QList<ZipEntry> entries = Workbook{}.entries();
        entries[2].data = "<workbook xmlns=\"" + QByteArray(kMainNamespace) + "\"><sheets/></workbook>";
        return zipArchive(entries);
    }());
    QTest::newRow("sheet part missing") << writeBytes(m_dir, QStringLiteral("nopart.xlsx"), [] {
        QList<ZipEntry> entries = Workbook{}.entries();
        entries.removeAt(3);
        return zipArchive(entries);
    }());
    QTest::newRow("workbook relationships missing") << writeBytes(m_dir, QStringLiteral("norels.xlsx"), [] {
        QList<ZipEntry> entries = Workbook{}.entries();
        entries.removeLast();
        return zipArchive(entries);
    }());
    QTest::newRow("malformed sheet XML") << writeWorkbook(
        m_dir, withCells(cellRow(1, {inlineCell("A1", "10.0.0.1")}) + "<row><c r=\"A2\"><v>1</v>"),
        QStringLiteral("malformed.xlsx"));
    QTest::newRow("shared string out of range") << writeWorkbook(
        m_dir, withCells(cellRow(1, {"<c r=\"A1\" t=\"s\"><v>5</v></c>"}), "<si><t>only</t></si>"),
        QStringLiteral("sst.xlsx"));
    QTest::newRow("damaged part CRC") << writeBytes(m_dir, QStringLiteral("crc.xlsx"), [] {
        QList<ZipEntry> entries = withCells(cellRow(1, {inlineCell("A1", "10.0.0.1")})).entries();
        entries[3].claimedSize = entries[3].data.size() - 1;
        return zipArchive(entries);
    }());
}

void TestHostFileReader::damagedWorkbooks()
{
    QFETCH(QString, path);

    QString error;
    QVERIFY(!HostFileReader::read(path, &error));
    QCOMPARE(error, kUnreadableWorkbook);
}

void TestHostFileReader::cellValues_data()
{
    QTest::addColumn<QByteArray>("cells");
    QTest::addColumn<QByteArray>("workbookPr");
    QTest::addColumn<QStringList>("row");

    QTest::newRow("numbers") << QByteArray(
                                    "<c r=\"A1\"><v>3389</v></c><c r=\"B1\" t=\"n\"><v>13800138000</v></c>"
                                    "<c r=\"C1\"><v>0.1</v></c><c r=\"D1\"><v>1.3800138E10</v></c>"
                                    "<c r=\"E1\"><v>-2.5</v></c><c r=\"F1\"><v>0.30000000000000004</v></c>"
                                    "<c r=\"G1\"><v>3389.0</v></c>")
                             << QByteArray()
                             << QStringList{"3389", "13800138000",         "0.1", "13800138000",
                                            "-2.5", "0.30000000000000004", "3389"};
    QTest::newRow("shared strings with runs, phonetics and escapes")
        << QByteArray("<c r=\"A1\" t=\"s\"><v>0</v></c><c r=\"B1\" t=\"s\"><v>1</v></c><c r=\"C1\" "
                      "t=\"s\"><v>2</v></c>")
        << QByteArray() << QStringList{"重要：生产", "東京", "a\r\nb_c"};
    QTest::newRow("inline strings, booleans, errors, formulas")
        << QByteArray(
               "<c r=\"A1\" t=\"inlineStr\"><is><r><t>in</t></r><r><rPr><b/></rPr><t>line</t></r></is></c>"
               "<c r=\"B1\" t=\"b\"><v>1</v></c><c r=\"C1\" t=\"b\"><v>0</v></c>"
               "<c r=\"D1\" t=\"e\"><v>#N/A</v></c><c r=\"E1\" "
               "t=\"str\"><f>A1&amp;\"x\"</f><v>inlinex</v></c>"
               "<c r=\"F1\"><f>1+1</f><v>2</v></c><c r=\"G1\"><f>1/0</f></c>")
        << QByteArray() << QStringList{"inline", "TRUE", "FALSE", "#N/A", "inlinex", "2"};
    QTest::newRow("empty cells keep their columns")
        << QByteArray("<c r=\"B1\" t=\"inlineStr\"><is><t>b</t></is></c><c r=\"C1\" s=\"1\"/>"
                      "<c r=\"E1\"><v>5</v></c><c r=\"F1\" t=\"inlineStr\"><is><t></t></is></c>")
        << QByteArray() << QStringList{"", "b", "", "", "5"};
    QTest::newRow("cells without references follow each other")
        << QByteArray("<c><v>1</v></c><c><v>2</v></c><c r=\"E1\"><v>5</v></c><c><v>6</v></c>") << QByteArray()
        << QStringList{"1", "2", "", "", "5", "6"};
    QTest::newRow("dates by format")
        << QByteArray("<c r=\"A1\" s=\"1\"><v>45366</v></c><c r=\"B1\" s=\"2\"><v>45366.3541666667</v></c>"
                      "<c r=\"C1\" s=\"3\"><v>45232</v></c><c r=\"D1\" s=\"4\"><v>0.5</v></c>"
                      "<c r=\"E1\" s=\"5\"><v>3.5</v></c><c r=\"F1\" s=\"0\"><v>45366</v></c>"
                      "<c r=\"G1\" s=\"1\"><v>1</v></c><c r=\"H1\" s=\"1\"><v>61</v></c>"
                      "<c r=\"I1\" s=\"1\"><v>-1</v></c><c r=\"J1\" s=\"9\"><v>45366</v></c>")
        << QByteArray()
        << QStringList{"2024-03-15", "2024-03-15 08:30:00", "2023-11-02", "12:00:00", "3.5",
                       "45366",      "1900-01-01",          "1900-03-01", "-1",       "45366"};
    QTest::newRow("1904 date system") << QByteArray("<c r=\"A1\" s=\"1\"><v>43904</v></c>")
                                      << QByteArray("date1904=\"1\"") << QStringList{"2024-03-15"};
    QTest::newRow("ISO date cells") << QByteArray("<c r=\"A1\" t=\"d\"><v>2024-03-15T00:00:00</v></c>"
                                                  "<c r=\"B1\" t=\"d\"><v>2024-03-15T08:30:00</v></c>")
                                    << QByteArray() << QStringList{"2024-03-15", "2024-03-15 08:30:00"};
    QTest::newRow("separators and quotes inside cells")
        << QByteArray("<c r=\"A1\" t=\"inlineStr\"><is><t>a,b</t></is></c>"
                      "<c r=\"B1\" t=\"inlineStr\"><is><t>c，d</t></is></c>"
                      "<c r=\"C1\" t=\"inlineStr\"><is><t>tab\there</t></is></c>"
                      "<c r=\"D1\" t=\"inlineStr\"><is><t>\"quoted\"</t></is></c>"
                      "<c r=\"E1\" t=\"inlineStr\"><is><t xml:space=\"preserve\"> x\"y </t></is></c>")
        << QByteArray() << QStringList{"a,b", "c，d", "tab\there", "\"quoted\"", " x\"y "};
}

void TestHostFileReader::cellValues()
{
    QFETCH(QByteArray, cells);
    QFETCH(QByteArray, workbookPr);
    QFETCH(QStringList, row);

    Workbook workbook;
    workbook.sheetData = cellRow(1, {cells});
    workbook.sharedStrings =
        "<si><r><t>重要</t></r><r><rPr><b/></rPr><t>：生产</t></r></si>"
        "<si><t>東京</t><rPh sb=\"0\" eb=\"2\"><t>トウキョウ</t></rPh><phoneticPr fontId=\"1\"/></si>"
        "<si><t>a_x000D_\nb_x005F_c</t></si>";
    workbook.styles = kStyles;
    workbook.workbookPr = workbookPr;

    QString error;
    const std::optional<Rows> rows = rowsOf(writeWorkbook(m_dir, workbook), &error);
    QVERIFY2(rows, qPrintable(error));
    QCOMPARE(*rows, Rows{row});
}

void TestHostFileReader::packageLayout_data()
{
    QTest::addColumn<QByteArray>("archive");
    QTest::addColumn<Rows>("rows");

    const QByteArray sheetA = worksheet(cellRow(1, {inlineCell("A1", "first")}));
    const QByteArray sheetB = worksheet(cellRow(1, {inlineCell("A1", "second")}));
    const QByteArray workbookHead =
        QByteArray("<workbook xmlns=\"") + kMainNamespace +
        "\" xmlns:rel=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\">";

    // Sheets in tab order, whatever their part names; a chart sheet in front is passed over.
    QTest::newRow("first sheet by tab order")
        << zipArchive(
               {{QStringLiteral("_rels/.rels"),
                 relationships(relationship("r", "officeDocument", "xl/workbook.xml"))},
                {QStringLiteral("xl/workbook.xml"),
                 workbookHead + "<sheets><sheet name=\"c\" rel:id=\"rC\"/><sheet name=\"b\" rel:id=\"rB\"/>"
                                "<sheet name=\"a\" rel:id=\"rA\"/></sheets></workbook>"},
                {QStringLiteral("xl/_rels/workbook.xml.rels"),
                 relationships(relationship("rA", "worksheet", "worksheets/sheet1.xml") +
                               relationship("rB", "worksheet", "worksheets/sheet2.xml") +
                               relationship("rC", "chartsheet", "chartsheets/sheet1.xml"))},
                {QStringLiteral("xl/worksheets/sheet1.xml"), sheetA},
                {QStringLiteral("xl/worksheets/sheet2.xml"), sheetB},
                {QStringLiteral("xl/chartsheets/sheet1.xml"), "<chartsheet/>"}})
        << Rows{{"second"}};
    QTest::newRow("workbook elsewhere, absolute targets, other letter case")
        << zipArchive({{QStringLiteral("_rels/.rels"),
                        relationships(relationship("r", "officeDocument", "/book/Main.xml"))},
                       {QStringLiteral("book/main.xml"),
                        workbookHead + "<sheets><sheet name=\"a\" rel:id=\"x\"/></sheets></workbook>"},
                       {QStringLiteral("book/_rels/Main.xml.rels"),
                        relationships(relationship("x", "worksheet", "/data/s.xml"))},
                       {QStringLiteral("data/s.xml"), sheetA}})
        << Rows{{"first"}};
    QTest::newRow("relative target climbing a folder")
        << zipArchive({{QStringLiteral("xl/workbook.xml"),
                        workbookHead + "<sheets><sheet name=\"a\" rel:id=\"x\"/></sheets></workbook>"},
                       {QStringLiteral("xl/_rels/workbook.xml.rels"),
                        relationships(relationship("x", "worksheet", "../sheets/one.xml"))},
                       {QStringLiteral("sheets/one.xml"), sheetB}})
        << Rows{{"second"}};
    QTest::newRow("sheet without cells") << zipArchive(Workbook{}.entries()) << Rows{};
}

void TestHostFileReader::packageLayout()
{
    QFETCH(QByteArray, archive);
    QFETCH(Rows, rows);

    QString error;
    const std::optional<Rows> actual =
        rowsOf(writeBytes(m_dir, QStringLiteral("layout.xlsx"), archive), &error);
    QVERIFY2(actual, qPrintable(error));
    QCOMPARE(*actual, rows);
}

void TestHostFileReader::sheetLimits_data()
{
    QTest::addColumn<int>("rows");
    QTest::addColumn<QByteArray>("lastColumn");
    QTest::addColumn<bool>("refused");

    QTest::newRow("256 columns") << 2 << QByteArray("IV") << false;
    QTest::newRow("257 columns") << 2 << QByteArray("IW") << true;
    QTest::newRow("1000 columns") << 2 << QByteArray("ALL") << true;
    QTest::newRow("Excel's last column") << 1 << QByteArray("XFD") << true;
    QTest::newRow("100000 rows") << 100000 << QByteArray("B") << false;
    QTest::newRow("100001 rows") << 100001 << QByteArray("B") << true;
}

void TestHostFileReader::sheetLimits()
{
    QFETCH(int, rows);
    QFETCH(QByteArray, lastColumn);
    QFETCH(bool, refused);

    Workbook workbook;
    workbook.sheetData.reserve(rows * 64);
    for (int row = 1; row <= rows; ++row) {
        const QByteArray number = QByteArray::number(row);
        workbook.sheetData += "<row r=\"" + number + "\"><c r=\"A" + number + "\"><v>" + number +
                              "</v></c><c r=\"" + lastColumn + number + "\"><v>1</v></c></row>";
    }
    // Empty formatted cells far out do not count.
    workbook.sheetData += "<row r=\"" + QByteArray::number(rows + 1) + "\"><c r=\"XFD1\" s=\"1\"/></row>";

    QString error;
    const std::optional<QByteArray> bytes =
        HostFileReader::read(writeWorkbook(m_dir, workbook, QStringLiteral("limits.xlsx")), &error);
    QCOMPARE(!bytes, refused);
    if (refused) {
        QCOMPARE(error, kSheetTooLarge);
    } else {
        QCOMPARE(bytes->count('\n'), rows);
    }
}

void TestHostFileReader::tenThousandRowWorkbookReads()
{
    Workbook workbook;
    workbook.sharedStrings = "<si><t>Administrator</t></si><si><t>办公室</t></si>";
    workbook.sheetData = cellRow(1, {inlineCell("A1", "IP"), inlineCell("B1", "端口"),
                                     inlineCell("C1", "用户名"), inlineCell("D1", "备注")});
    for (int i = 0; i < 10000; ++i) {
        const QByteArray row = QByteArray::number(i + 2);
        const QByteArray ip = "10." + QByteArray::number(i / 62500) + "." +
                              QByteArray::number(i / 250 % 250) + "." + QByteArray::number(i % 250 + 1);
        workbook.sheetData +=
            cellRow(i + 2, {inlineCell("A" + row, ip), "<c r=\"B" + row + "\"><v>3389</v></c>",
                            "<c r=\"C" + row + "\" t=\"s\"><v>0</v></c>",
                            "<c r=\"D" + row + "\" t=\"s\"><v>1</v></c>"});
    }
    const QString path = writeWorkbook(m_dir, workbook, QStringLiteral("large.xlsx"));

    QString error;
    const std::optional<QByteArray> bytes = HostFileReader::read(path, &error);
    QVERIFY2(bytes, qPrintable(error));
    const HostParseResult result = HostImportParser::parse(*bytes, QStringLiteral("g"));

    QCOMPARE(result.remotes.size(), 10000);
    QCOMPARE(result.remotes.last().host, QStringLiteral("10.0.39.250"));
    QCOMPARE(result.remotes.last().remark, QStringLiteral("办公室"));
}

void TestHostFileReader::zipBombsAreRefused_data()
{
    QTest::addColumn<qint64>("claimedSize");
    // What the reader logs as it stops: the part's size limit refuses what the headers announce; a part
    // announced small is unpacked no further than announced and then fails its check.
    QTest::addColumn<QString>("stoppedBy");
    QTest::newRow("honest headers") << qint64(-1) << QStringLiteral("Excel 工作簿部件过大");
    QTest::newRow("headers claiming a small part") << qint64(4096) << QStringLiteral("工作表无法读取");
}

void TestHostFileReader::zipBombsAreRefused()
{
    QFETCH(qint64, claimedSize);
    QFETCH(QString, stoppedBy);

    // 70 MiB of white space inside the sheet: well-formed XML, a few kilobytes packed.
    QByteArray sheet = worksheet(cellRow(1, {inlineCell("A1", "10.0.0.1")}));
    sheet.insert(sheet.indexOf("<sheetData>"), QByteArray(70 * 1024 * 1024, ' '));
    QList<ZipEntry> entries = Workbook{}.entries();
    entries[3].data = sheet;
    entries[3].claimedSize = claimedSize;
    const QByteArray archive = zipArchive(entries);
    QVERIFY(archive.size() < 1024 * 1024);

    LogCapture log;
    QString error;
    QVERIFY(!HostFileReader::read(writeBytes(m_dir, QStringLiteral("bomb.xlsx"), archive), &error));
    QCOMPARE(error, kUnreadableWorkbook);
    QVERIFY2(log.contains(stoppedBy), qPrintable(log.text()));
}

void TestHostFileReader::sharedStringLimits_data()
{
    QTest::addColumn<QByteArray>("items");
    QTest::addColumn<int>("lastIndex");
    QTest::addColumn<bool>("refused");

    const QByteArray empty = "<si/>";
    const QByteArray longText = "<si><t>" + QByteArray(1024 * 1024, 'x') + "</t></si>";
    QTest::newRow("a million strings") << empty.repeated(1'000'000) << 999'999 << false;
    QTest::newRow("one string more") << empty.repeated(1'000'001) << 0 << true;
    // The shape that once took half a gigabyte: twelve million items in a 60 MB part.
    QTest::newRow("twelve million strings") << empty.repeated(12'000'000) << 0 << true;
    QTest::newRow("32 Mi characters") << longText.repeated(32) << 31 << false;
    QTest::newRow("one character more") << longText.repeated(32) + "<si><t>y</t></si>" << 0 << true;
}

void TestHostFileReader::sharedStringLimits()
{
    QFETCH(QByteArray, items);
    QFETCH(int, lastIndex);
    QFETCH(bool, refused);

    const QByteArray index = QByteArray::number(lastIndex);
    const Workbook workbook = withCells(
        cellRow(1, {inlineCell("A1", "10.0.0.1"), "<c r=\"B1\" t=\"s\"><v>" + index + "</v></c>"}), items);
    const QString path = writeWorkbook(m_dir, workbook, QStringLiteral("strings.xlsx"));
    items.clear();

    QString error;
    const std::optional<QByteArray> bytes = HostFileReader::read(path, &error);
    QCOMPARE(!bytes, refused);
    if (refused) {
        QCOMPARE(error, kContentTooLarge);
    } else {
        QVERIFY(bytes->startsWith("10.0.0.1"));
        QCOMPARE(bytes->count('\n'), 1);
    }
}

void TestHostFileReader::cellFormatLimit()
{
    for (const int count : {65536, 65537}) {
        Workbook workbook = withCells(cellRow(1, {"<c r=\"A1\" s=\"1\"><v>45366</v></c>"}));
        workbook.styles = "<cellXfs>" + QByteArray("<xf numFmtId=\"14\"/>").repeated(count) + "</cellXfs>";
        QString error;
        const std::optional<Rows> rows =
            rowsOf(writeWorkbook(m_dir, workbook, QStringLiteral("xfs.xlsx")), &error);
        if (count <= XlsxReader::kMaxCellFormats) {
            QVERIFY2(rows, qPrintable(error));
            QCOMPARE(*rows, Rows{{"2024-03-15"}});
        } else {
            QVERIFY(!rows);
            QCOMPARE(error, kContentTooLarge);
        }
    }
}

// Stand-ins for the .xls helper: shell scripts that end the ways a helper reading a hostile file
// might. "ROWS" in a script is replaced by a file holding a true encoding of `goodRows`.
void TestHostFileReader::xlsHelperEndings_data()
{
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<QString>("error");

    QTest::newRow("rows") << QByteArray("cat ROWS") << QString();
    QTest::newRow("rows, then a non-zero exit") << QByteArray("cat ROWS; exit 1") << kUnreadableWorkbook;
    QTest::newRow("crash") << QByteArray("kill -SEGV $$") << kUnreadableWorkbook;
    QTest::newRow("rows, then a crash") << QByteArray("cat ROWS; kill -ABRT $$") << kUnreadableWorkbook;
    QTest::newRow("text instead of rows")
        << QByteArray("printf 'IP,port\\n10.0.0.1,22\\n'") << kUnreadableWorkbook;
    QTest::newRow("truncated rows") << QByteArray("head -c 30 ROWS") << kUnreadableWorkbook;
    QTest::newRow("rows and more") << QByteArray("cat ROWS; printf x") << kUnreadableWorkbook;
    QTest::newRow("no output") << QByteArray("exit 0") << kUnreadableWorkbook;
    QTest::newRow("endless output") << QByteArray("exec yes") << kUnreadableWorkbook;
    QTest::newRow("endless error output") << QByteArray("exec yes >&2") << kUnreadableWorkbook;
    QTest::newRow("unreadable") << QByteArray("exit 2") << kUnreadableWorkbook;
    QTest::newRow("sheet too large") << QByteArray("exit 3") << kSheetTooLarge;
    QTest::newRow("content too large") << QByteArray("exit 4") << kContentTooLarge;
    QTest::newRow("unknown exit code") << QByteArray("exit 5") << kUnreadableWorkbook;
}

void TestHostFileReader::xlsHelperEndings()
{
#ifdef Q_OS_WIN
    QSKIP("The stand-in helpers are shell scripts; the Windows helper is tested with the real one");
#else
    QFETCH(QByteArray, script);
    QFETCH(QString, error);

    const Rows goodRows = {{"IP", "备注"}, {"10.0.0.1", "tab\there,\"quoted\"\nnext line"}, {"", "x"}};
    const QString rowsPath = writeBytes(m_dir, QStringLiteral("rows.bin"), SheetRowsCodec::encode(goodRows));
    const QString helper =
        writeBytes(m_dir, QStringLiteral("helper.sh"),
                   "#!/bin/sh\n" + script.replace("ROWS", QFile::encodeName(rowsPath)) + "\n");
    QVERIFY(QFile::setPermissions(helper, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));

    XlsReader::HelperOptions options;
    options.program = helper;
    options.outputLimit = 1024 * 1024;
    QString actualError;
    const std::optional<Rows> rows = XlsReader::readFirstSheet(dataPath("hosts.xls"), options, &actualError);
    QCOMPARE(actualError, error);
    QCOMPARE(rows.has_value(), error.isEmpty());
    if (rows) {
        QCOMPARE(*rows, goodRows);
    }
#endif
}

void TestHostFileReader::hangingXlsHelperIsKilledAtTheTimeLimit()
{
#ifdef Q_OS_WIN
    QSKIP("The stand-in helpers are shell scripts; the Windows helper is tested with the real one");
#else
    const QString pidPath = m_dir.filePath(QStringLiteral("helper.pid"));
    const QString helper =
        writeBytes(m_dir, QStringLiteral("hang.sh"),
                   "#!/bin/sh\necho $$ > '" + QFile::encodeName(pidPath) + "'\nexec sleep 600\n");
    QVERIFY(QFile::setPermissions(helper, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));

    XlsReader::HelperOptions options;
    options.program = helper;
    options.timeLimitMs = 300;
    LogCapture log;
    QString error;
    QVERIFY(!XlsReader::readFirstSheet(dataPath("hosts.xls"), options, &error));
    QCOMPARE(error, kUnreadableWorkbook);
    // Ended by the time limit, not by the helper's own end.
    QVERIFY2(log.contains(QStringLiteral("读取组件超时")), qPrintable(log.text()));

    // The helper is gone (killed and reaped), not left running.
    bool ok = false;
    const pid_t pid = readFile(pidPath).trimmed().toInt(&ok);
    QVERIFY(ok && pid > 0);
    QCOMPARE(::kill(pid, 0), -1);
    QCOMPARE(errno, ESRCH);
#endif
}

void TestHostFileReader::missingXlsHelperMakesTheFileUnreadable()
{
    XlsReader::setHelperDirectory(m_dir.filePath(QStringLiteral("no-such-folder")));
    QString error;
    const std::optional<QByteArray> bytes = HostFileReader::read(dataPath("hosts.xls"), &error);
    XlsReader::setHelperDirectory(helperDirectory());
    QVERIFY(!bytes);
    QCOMPARE(error, kUnreadableWorkbook);
    // Found again, the same file reads.
    QVERIFY(HostFileReader::read(dataPath("hosts.xls"), &error));
}

void TestHostFileReader::xlsThatCrashesFreexlIsRefused()
{
    // Inputs found by fuzz_xls_reader: one makes FreeXL 1.0.6 read past the end of a heap block and
    // die of SIGSEGV, the other makes its iconv call read kilobytes past a stack buffer.
    for (const QString& name : {QStringLiteral("freexl_crash.xls"), QStringLiteral("freexl_overread.xls")}) {
        QString error;
        QVERIFY2(!HostFileReader::read(dataPath(name), &error), qPrintable(name));
        QCOMPARE(error, kUnreadableWorkbook);
        // The program lives on and reads the next file.
        QVERIFY2(rowsOf(dataPath(QStringLiteral("hosts.xls")), &error), qPrintable(error));
    }
}

QTEST_GUILESS_MAIN(TestHostFileReader)
#include "test_host_file_reader.moc"
