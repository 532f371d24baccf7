#include "import/sheet_rows.h"
#include "import/sheet_rows_codec.h"

#include <QTest>

#include <variant>

namespace {

using Rows = QList<QStringList>;

void putCount(QByteArray& out, quint32 value)
{
    for (int shift = 0; shift < 32; shift += 8) {
        out.append(char((value >> shift) & 0xFF));
    }
}

// An encoding written by hand: the tag, then the numbers and texts given.
QByteArray encoding(std::initializer_list<std::variant<quint32, QByteArray>> items)
{
    QByteArray out = "NXR1";
    for (const auto& item : items) {
        if (std::holds_alternative<quint32>(item)) {
            putCount(out, std::get<quint32>(item));
        } else {
            out += std::get<QByteArray>(item);
        }
    }
    return out;
}

const Rows kRows = {
    {"IP", "端口", "备注"},
    {"10.0.0.1", "", "tab\there, comma \"quoted\"\nnext line\r\n"},
    {"", "", "", QString::fromUtf8("emoji \xF0\x9F\x98\x80 and NUL ") + QChar(u'\0') + QStringLiteral("end")},
};

} // namespace

class TestSheetRowsCodec : public QObject
{
    Q_OBJECT

private slots:
    void roundTrip_data();
    void roundTrip();
    void everyTruncationIsRefused();
    void malformedEncodings_data();
    void malformedEncodings();
    void sheetLimitsNameTheirLimit();
};

void TestSheetRowsCodec::roundTrip_data()
{
    QTest::addColumn<Rows>("rows");
    QTest::newRow("no rows") << Rows{};
    QTest::newRow("texts with any character") << kRows;
    QStringList wide;
    for (int i = 0; i < SheetRows::kMaxColumns; ++i) {
        wide.append(QString::number(i));
    }
    QTest::newRow("256 columns") << Rows{wide, {"x"}};
}

void TestSheetRowsCodec::roundTrip()
{
    QFETCH(Rows, rows);
    const QByteArray bytes = SheetRowsCodec::encode(rows);
    QVERIFY(bytes.size() <= SheetRowsCodec::kMaxEncodedSize);
    const std::optional<Rows> decoded = SheetRowsCodec::decode(bytes);
    QVERIFY(decoded);
    QCOMPARE(*decoded, rows);
}

void TestSheetRowsCodec::everyTruncationIsRefused()
{
    const QByteArray bytes = SheetRowsCodec::encode(kRows);
    for (qsizetype size = 0; size < bytes.size(); ++size) {
        QVERIFY2(!SheetRowsCodec::decode(bytes.left(size)), qPrintable(QString::number(size)));
    }
    QVERIFY(!SheetRowsCodec::decode(bytes + '\0'));
}

void TestSheetRowsCodec::malformedEncodings_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("valid");

    // The first row is a well-formed control for the rows after it.
    QTest::newRow("one cell") << encoding({1u, 1u, 2u, QByteArray("ab")}) << true;
    QTest::newRow("other tag") << QByteArray("NXR2") + encoding({1u, 1u, 2u, QByteArray("ab")}).mid(4)
                               << false;
    QTest::newRow("CSV text") << QByteArray("IP,port\n10.0.0.1,22\n") << false;
    QTest::newRow("cell longer than the data") << encoding({1u, 1u, 3u, QByteArray("ab")}) << false;
    QTest::newRow("length near 4 GiB") << encoding({1u, 1u, 0xFFFFFFFFu, QByteArray("ab")}) << false;
    QTest::newRow("row without cells") << encoding({1u, 0u}) << false;
    QTest::newRow("257 cells") << encoding({1u, 257u}) << false;
    QTest::newRow("more rows than the sheet limit") << encoding({100001u}) << false;
    QTest::newRow("fewer rows than counted") << encoding({2u, 1u, 1u, QByteArray("a")}) << false;
    QTest::newRow("invalid UTF-8") << encoding({1u, 1u, 2u, QByteArray("\xC3\x28")}) << false;
    QTest::newRow("UTF-8 sequence cut off") << encoding({1u, 1u, 3u, QByteArray("ab\xC3")}) << false;
    QTest::newRow("UTF-16 surrogate as UTF-8") << encoding({1u, 1u, 3u, QByteArray("\xED\xA0\x80")}) << false;
}

void TestSheetRowsCodec::malformedEncodings()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, valid);
    const std::optional<Rows> rows = SheetRowsCodec::decode(bytes);
    QCOMPARE(rows.has_value(), valid);
    if (valid) {
        QCOMPARE(*rows, Rows{{"ab"}});
    }
}

void TestSheetRowsCodec::sheetLimitsNameTheirLimit()
{
    SheetRows columns;
    QVERIFY(columns.addCell(SheetRows::kMaxColumns - 1, QStringLiteral("x")));
    QVERIFY(!columns.addCell(SheetRows::kMaxColumns, QStringLiteral("x")));
    QCOMPARE(columns.limitError(), SheetRows::tooLargeError());

    SheetRows text;
    QVERIFY(text.addCell(0, QString(SheetRows::kMaxTextChars, u'x')));
    QVERIFY(text.limitError().isEmpty());
    QVERIFY(!text.addCell(1, QStringLiteral("y")));
    QCOMPARE(text.limitError(), SheetRows::contentTooLargeError());
}

QTEST_GUILESS_MAIN(TestSheetRowsCodec)
#include "test_sheet_rows_codec.moc"
