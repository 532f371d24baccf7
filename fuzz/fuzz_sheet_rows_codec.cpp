// The bytes the .xls reader helper sends the program: the program trusts them no more than the
// workbook the helper read. Whatever decodes must encode back to the same rows.
#include "import/sheet_rows_codec.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char*>(data), qsizetype(size));
    const std::optional<QList<QStringList>> rows = SheetRowsCodec::decode(bytes);
    if (rows && SheetRowsCodec::decode(SheetRowsCodec::encode(*rows)) != rows) {
        std::abort();
    }
    return 0;
}
