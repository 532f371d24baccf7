// Stands in for the OpenSSH client's password prompt on Windows, where the real client is not
// available to the tests: like ssh with SSH_ASKPASS_REQUIRE=force, it runs the program named by
// SSH_ASKPASS with the prompt as its only argument, reads its standard output to the end, and takes
// the first line as the password. Prints "password:" and the password's hex on success; otherwise
// exits with the askpass program's code (or 255 when it could not run).
// Started in a console of its own, it cannot be read: with NIMBARA_STAND_IN_RECORD set it also writes
// its arguments and that line to the file named there, and then ends the console's command interpreter
// that started it, which would otherwise stay open.
#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>

#include <cstdio>

#include <windows.h>

#include <tlhelp32.h>

namespace {

void endParent()
{
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    DWORD parent = 0;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (entry.th32ProcessID == GetCurrentProcessId()) {
            parent = entry.th32ParentProcessID;
        }
    }
    CloseHandle(snapshot);
    if (const HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, parent)) {
        TerminateProcess(process, 0);
        CloseHandle(process);
    }
}

int finish(int code, const QByteArray& line)
{
    const QString record = qEnvironmentVariable("NIMBARA_STAND_IN_RECORD");
    if (record.isEmpty()) {
        if (!line.isEmpty())
            std::printf("%s\n", line.constData());
        return code;
    }
    QFile file(record + QStringLiteral(".part"));
    if (file.open(QIODevice::WriteOnly)) {
        file.write(QJsonDocument(QJsonArray::fromStringList(QCoreApplication::arguments().mid(1)))
                       .toJson(QJsonDocument::Compact) +
                   '\n' + QByteArray::number(code) + '\n' + line + '\n');
        file.close();
        file.rename(record);
    }
    endParent();
    return code;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication application(argc, argv);
    const QString askpass = qEnvironmentVariable("SSH_ASKPASS");
    if (askpass.isEmpty() || qEnvironmentVariable("SSH_ASKPASS_REQUIRE") != QLatin1String("force")) {
        return finish(255, {});
    }
    QProcess helper;
    helper.setProcessChannelMode(QProcess::SeparateChannels);
    helper.start(askpass, {QStringLiteral("root@127.0.0.1's password: ")});
    if (!helper.waitForFinished(60000) || helper.exitStatus() != QProcess::NormalExit) {
        return finish(255, {});
    }
    if (helper.exitCode() != 0) {
        return finish(helper.exitCode(), {});
    }
    QByteArray answer = helper.readAllStandardOutput();
    // OpenSSH keeps what comes before the first CR or LF.
    for (qsizetype i = 0; i < answer.size(); ++i) {
        if (answer[i] == '\r' || answer[i] == '\n') {
            answer.truncate(i);
            break;
        }
    }
    return finish(0, "password:" + answer.toHex());
}
