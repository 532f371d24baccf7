// Stands in for the OpenSSH client's password prompt on Windows, where the real client is not
// available to the tests: like ssh with SSH_ASKPASS_REQUIRE=force, it runs the program named by
// SSH_ASKPASS with the prompt as its only argument, reads its standard output to the end, and takes
// the first line as the password. Prints "password:" and the password's hex on success; otherwise
// exits with the askpass program's code (or 255 when it could not run).
#include <QCoreApplication>
#include <QProcess>

#include <cstdio>

int main(int argc, char* argv[])
{
    QCoreApplication application(argc, argv);
    const QString askpass = qEnvironmentVariable("SSH_ASKPASS");
    if (askpass.isEmpty() || qEnvironmentVariable("SSH_ASKPASS_REQUIRE") != QLatin1String("force")) {
        return 255;
    }
    QProcess helper;
    helper.setProcessChannelMode(QProcess::SeparateChannels);
    helper.start(askpass, {QStringLiteral("root@127.0.0.1's password: ")});
    if (!helper.waitForFinished(60000) || helper.exitStatus() != QProcess::NormalExit) {
        return 255;
    }
    if (helper.exitCode() != 0) {
        return helper.exitCode();
    }
    QByteArray answer = helper.readAllStandardOutput();
    // OpenSSH keeps what comes before the first CR or LF.
    for (qsizetype i = 0; i < answer.size(); ++i) {
        if (answer[i] == '\r' || answer[i] == '\n') {
            answer.truncate(i);
            break;
        }
    }
    std::printf("password:%s\n", answer.toHex().constData());
    return 0;
}
