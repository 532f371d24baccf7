#include "import/sheet_rows_codec.h"

#include <QStringDecoder>

namespace {

constexpr char kTag[] = "NXR1";
constexpr qsizetype kTagSize = 4;

void putCount(QByteArray& out, quint32 value)
{
    for (int shift = 0; shift < 32; shift += 8) {
        out.append(char((value >> shift) & 0xFF));
    }
}

// Reads from a byte range, never past its end.
class Cursor
{
public:
    explicit Cursor(const QByteArray& data) : m_data(data) {}

    std::optional<quint32> count()
    {
        if (left() < 4) {
            return std::nullopt;
        }
        quint32 value = 0;
        for (int i = 0; i < 4; ++i) {
            value |= quint32(quint8(m_data.at(m_position + i))) << (8 * i);
        }
        m_position += 4;
        return value;
    }

    std::optional<QByteArrayView> bytes(qsizetype size)
    {
        if (size > left()) {
            return std::nullopt;
        }
        const QByteArrayView view(m_data.constData() + m_position, size);
        m_position += size;
        return view;
    }

    qsizetype left() const { return m_data.size() - m_position; }

private:
    const QByteArray& m_data;
    qsizetype m_position = 0;
};

} // namespace

QByteArray SheetRowsCodec::encode(const QList<QStringList>& rows)
{
    QByteArray out(kTag, kTagSize);
    putCount(out, quint32(rows.size()));
    for (const QStringList& row : rows) {
        putCount(out, quint32(row.size()));
        for (const QString& cell : row) {
            const QByteArray utf8 = cell.toUtf8();
            putCount(out, quint32(utf8.size()));
            out += utf8;
        }
    }
    return out;
}

std::optional<QList<QStringList>> SheetRowsCodec::decode(const QByteArray& data)
{
    if (data.size() > kMaxEncodedSize || !data.startsWith(QByteArrayView(kTag, kTagSize))) {
        return std::nullopt;
    }
    Cursor cursor(data);
    cursor.bytes(kTagSize);
    const std::optional<quint32> rowCount = cursor.count();
    if (!rowCount || *rowCount > quint32(SheetRows::kMaxRows)) {
        return std::nullopt;
    }
    // SheetRows applies the limits of the reader the bytes came from; rows it would have dropped
    // or reshaped (empty rows, empty trailing cells) do not occur in a true encoding.
    SheetRows rows;
    for (quint32 row = 0; row < *rowCount; ++row) {
        const std::optional<quint32> cellCount = cursor.count();
        if (!cellCount || *cellCount == 0 || *cellCount > quint32(SheetRows::kMaxColumns)) {
            return std::nullopt;
        }
        for (quint32 column = 0; column < *cellCount; ++column) {
            const std::optional<quint32> size = cursor.count();
            if (!size) {
                return std::nullopt;
            }
            const std::optional<QByteArrayView> utf8 = cursor.bytes(qsizetype(*size));
            if (!utf8) {
                return std::nullopt;
            }
            QStringDecoder decoder(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
            const QString text = decoder.decode(*utf8);
            if (decoder.hasError() || !rows.addCell(int(column), text)) {
                return std::nullopt;
            }
        }
        if (!rows.finishRow()) {
            return std::nullopt;
        }
    }
    if (cursor.left() != 0) {
        return std::nullopt;
    }
    return rows.take();
}
