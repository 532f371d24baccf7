#include "platform/process_launcher.h"

#include <QStringList>

#include <algorithm>

#include <windows.h>

std::wstring SystemProcessLauncher::environmentBlock(const QProcessEnvironment& environment)
{
    QStringList entries;
    for (const QString& name : environment.keys()) {
        entries.append(name + QLatin1Char('=') + environment.value(name));
    }
    std::sort(entries.begin(), entries.end(), [](const QString& a, const QString& b) {
        return QString::compare(a, b, Qt::CaseInsensitive) < 0;
    });
    std::wstring block;
    for (const QString& entry : entries) {
        block += entry.toStdWString();
        block += L'\0';
    }
    block += L'\0';
    return block;
}

bool SystemProcessLauncher::startInNewConsole(const QString& commandLine,
                                              const std::optional<QProcessEnvironment>& environment,
                                              unsigned long* systemError)
{
    // CreateProcessW may write into the command line, so it gets a buffer of its own.
    std::wstring line = commandLine.toStdWString();
    std::wstring block;
    if (environment) {
        block = environmentBlock(*environment);
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOWNORMAL;
    PROCESS_INFORMATION process{};
    const BOOL started = CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE,
                                        CREATE_NEW_CONSOLE | CREATE_UNICODE_ENVIRONMENT,
                                        environment ? block.data() : nullptr, nullptr, &startup, &process);
    const DWORD code = started ? 0 : GetLastError();
    // The environment may carry a protected password: it does not stay in this process's memory.
    SecureZeroMemory(block.data(), block.size() * sizeof(wchar_t));
    if (!started) {
        if (systemError) {
            *systemError = code;
        }
        return false;
    }
    // The console runs on its own; it is not tracked.
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}
