// nimbara-xls-reader: reads the first sheet of the .xls workbook named by its one argument through
// FreeXL and writes the rows to standard output (SheetRowsCodec). FreeXL can be driven past its
// buffers by a crafted file, so the program runs this in a process of its own: whatever a hostile
// file does here ends with this process, which also limits its own memory, CPU time and files
// before it opens anything. Exit codes are those of import/xls_reader_contract.h; messages go to
// standard error, which the program writes to its log.

#include "import/freexl_sheet_reader.h"
#include "import/sheet_rows.h"
#include "import/sheet_rows_codec.h"
#include "import/xls_reader_contract.h"

#include <QByteArray>
#include <QFile>
#include <QString>

#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>

#include <csignal>
#include <cstdio>
#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <shellapi.h>
#else
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace {

#if defined(_WIN32)
constexpr int kStandardOutput = 1;

// Windows has no resource limits per process: a job object of its own carries them (memory, CPU time,
// no child processes).
bool limitResources()
{
    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    if (job == nullptr) {
        return false;
    }
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags =
        JOB_OBJECT_LIMIT_PROCESS_MEMORY | JOB_OBJECT_LIMIT_PROCESS_TIME | JOB_OBJECT_LIMIT_ACTIVE_PROCESS |
        JOB_OBJECT_LIMIT_DIE_ON_UNHANDLED_EXCEPTION;
    limits.BasicLimitInformation.ActiveProcessLimit = 1;
    limits.BasicLimitInformation.PerProcessUserTimeLimit.QuadPart = 20LL * 10000000LL; // 100 ns units
    limits.ProcessMemoryLimit = 1024ULL * 1024 * 1024;
    const bool ok =
        SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof(limits)) &&
        AssignProcessToJobObject(job, GetCurrentProcess());
    // The job lives as long as the process in it; the handle is not needed any more.
    CloseHandle(job);
    _setmode(kStandardOutput, _O_BINARY);
    return ok;
}
#else
constexpr int kStandardOutput = STDOUT_FILENO;

// Far above what the largest sheet within the SheetRows limits needs.
constexpr rlim_t kAddressSpace = 1024ULL * 1024 * 1024;
constexpr rlim_t kCpuSeconds = 20;
// Standard streams, the workbook and the character set modules iconv loads.
constexpr rlim_t kOpenFiles = 16;

bool setLimit(int resource, rlim_t value)
{
    const rlimit limit{value, value};
    return ::setrlimit(resource, &limit) == 0;
}

// AddressSanitizer reserves terabytes of address space for its shadow memory: under it, the address
// space limit would make every later allocation fail.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kLimitAddressSpace = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kLimitAddressSpace = false;
#else
constexpr bool kLimitAddressSpace = true;
#endif
#else
constexpr bool kLimitAddressSpace = true;
#endif

bool limitResources()
{
    // Gone with the program that started it; never more privileged than now.
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
        return false;
    }
    return (!kLimitAddressSpace || setLimit(RLIMIT_AS, kAddressSpace)) && setLimit(RLIMIT_CPU, kCpuSeconds) &&
           setLimit(RLIMIT_CORE, 0) && setLimit(RLIMIT_NOFILE, kOpenFiles) && setLimit(RLIMIT_FSIZE, 0);
}
#endif

// QFile writes on after short writes and interruptions; unbuffered, a failure shows in the count.
bool writeAll(const QByteArray& bytes)
{
    QFile out;
    return out.open(kStandardOutput, QIODevice::WriteOnly | QIODevice::Unbuffered) &&
           out.write(bytes) == bytes.size();
}

QString workbookArgument([[maybe_unused]] char** argv)
{
#if defined(_WIN32)
    // argv is in the ANSI code page, which cannot name every file; the wide command line can.
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    const QString path = wide != nullptr && count == 2 ? QString::fromWCharArray(wide[1]) : QString();
    LocalFree(wide);
    return path;
#else
    return QFile::decodeName(argv[1]);
#endif
}

int exitCodeFor(const QString& error)
{
    if (error == SheetRows::tooLargeError()) {
        return xlsreader::kExitSheetTooLarge;
    }
    if (error == SheetRows::contentTooLargeError()) {
        return xlsreader::kExitContentTooLarge;
    }
    return xlsreader::kExitUnreadable;
}

} // namespace

int main(int argc, char** argv)
{
    // Standard output carries the rows only.
    spdlog::set_default_logger(spdlog::stderr_logger_st(xlsreader::kProgramName));
    if (!limitResources()) {
        std::perror("nimbara-xls-reader: resource limits");
        return 1;
    }
    // A reader that went away is a failed write, not a silent death by SIGPIPE.
#if defined(SIGPIPE)
    std::signal(SIGPIPE, SIG_IGN);
#endif
    // With no file writes allowed, a log line to an error output that is a file is lost, not fatal.
#if defined(SIGXFSZ)
    std::signal(SIGXFSZ, SIG_IGN);
#endif
    if (argc != 2) {
        std::fputs("usage: nimbara-xls-reader <workbook.xls>\n", stderr);
        return 1;
    }

    QString error;
    const std::optional<QList<QStringList>> rows =
        FreexlSheetReader::readFirstSheet(workbookArgument(argv), &error);
    if (!rows) {
        return exitCodeFor(error);
    }
    return writeAll(SheetRowsCodec::encode(*rows)) ? 0 : 1;
}
