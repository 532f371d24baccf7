// .xls workbooks as the nimbara-xls-reader helper reads them: FreeXL, the cell texts, and the
// encoding the helper writes for the program.
//
// FreeXL 1.0.6 (a system library, not instrumented) fails on crafted files within seconds: its
// iconv call in freexl_open reads kilobytes past a stack buffer, and other inputs make it read past
// heap blocks into unmapped memory (tests/data/import/freexl_*.xls). That is why the program reads
// .xls only in the nimbara-xls-reader helper. This target keeps AddressSanitizer, so faults in our
// own code are caught as in the other targets; fuzz/asan.supp silences the iconv report, and
// scripts/fuzz.sh runs it in fork mode past crashes, then fails only for saved inputs whose fault
// lies outside libfreexl.
#include "fuzz_support.h"
#include "import/freexl_sheet_reader.h"
#include "import/sheet_rows_codec.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    QString error;
    const std::optional<QList<QStringList>> rows =
        FreexlSheetReader::readFirstSheet(FuzzSupport::writeInput(data, size, QStringLiteral("xls")), &error);
    if (!rows) {
        if (error.isEmpty()) {
            std::abort();
        }
        return 0;
    }
    // What the helper writes, the program reads back unchanged.
    const QByteArray encoded = SheetRowsCodec::encode(*rows);
    if (encoded.size() > SheetRowsCodec::kMaxEncodedSize || SheetRowsCodec::decode(encoded) != rows) {
        std::abort();
    }
    return 0;
}
