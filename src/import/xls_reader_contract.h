#pragma once

// What the program and the .xls reader helper agree on. The helper writes the rows of the first
// sheet to its standard output (SheetRowsCodec) and exits with 0, or writes nothing and exits with
// one of the codes below, each standing for one message that the program shows as it is. Any other
// end (a signal, another code, output that does not decode) means the file could not be read.
namespace xlsreader {

// File name of the helper, beside the main program.
inline constexpr char kProgramName[] = "nimbara-xls-reader";

inline constexpr int kExitUnreadable = 2;      // SheetRows::unreadableError()
inline constexpr int kExitSheetTooLarge = 3;   // SheetRows::tooLargeError()
inline constexpr int kExitContentTooLarge = 4; // SheetRows::contentTooLargeError()

} // namespace xlsreader
