#include "admin_commands.h"
#include "buffered_log_sink.h"

#include "platform/process_hardening.h"
#include "platform/unix_signal_watcher.h"

#include <QCoreApplication>

#include <spdlog/spdlog.h>

#include <cstdio>
#include <memory>
#include <unistd.h>

int main(int argc, char* argv[])
{
    // Passwords pass through this process: no core files, no reading by other processes.
    ProcessHardening::apply();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("nimbara-account-server"));

    auto logger =
        std::make_shared<spdlog::logger>("server", std::make_shared<BufferedLogSink>(STDERR_FILENO));
    logger->set_pattern("%Y-%m-%dT%H:%M:%S.%e %l %v");
    logger->flush_on(spdlog::level::warn);
    spdlog::set_default_logger(logger);

    auto commands = std::make_unique<AdminCommands>(
        [](const QString& line) {
            std::fputs(line.toLocal8Bit().constData(), stdout);
            std::fputc('\n', stdout);
            std::fflush(stdout);
        },
        [](const QString& line) {
            std::fputs(line.toLocal8Bit().constData(), stderr);
            std::fputc('\n', stderr);
        });
    const int code = commands->run(app.arguments().mid(1));
    if (code != 0 || !commands->wantsEventLoop()) {
        return code;
    }
    // SIGTERM, SIGINT and SIGHUP stop the server in order: connections closed, the database closed and
    // every log line written out before the process ends.
    UnixSignalWatcher signalWatcher;
    QObject::connect(&signalWatcher, &UnixSignalWatcher::terminationRequested, &app, [](int signalNumber) {
        spdlog::info("stopping (signal {})", signalNumber);
        QCoreApplication::quit();
    });
    const int result = app.exec();
    commands.reset(); // the server first: what it logs while stopping is written out below
    spdlog::info("stopped");
    logger->flush();
    return result;
}
