// .xlsx/.xlsm workbooks: the zip container, the package relationships and the sheet XML.
#include "fuzz_support.h"
#include "import/sheet_rows.h"
#include "import/xlsx_reader.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    QString error;
    const std::optional<QList<QStringList>> rows =
        XlsxReader::readFirstSheet(FuzzSupport::writeInput(data, size, QStringLiteral("xlsx")), &error);
    // A sheet is read within its limits, or refused with a message.
    if (rows ? rows->size() > SheetRows::kMaxRows : error.isEmpty()) {
        std::abort();
    }
    return 0;
}
