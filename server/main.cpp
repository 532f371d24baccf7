#include "admin_commands.h"

#include "platform/process_hardening.h"

#include <QCoreApplication>

#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>

#include <cstdio>

int main(int argc, char* argv[])
{
    // Passwords pass through this process: no core files, no reading by other processes.
    ProcessHardening::apply();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("nimbara-account-server"));

    auto logger = spdlog::stderr_logger_st("server");
    logger->set_pattern("%Y-%m-%dT%H:%M:%S.%e %l %v");
    logger->flush_on(spdlog::level::info);
    spdlog::set_default_logger(logger);

    AdminCommands commands(
        [](const QString& line) {
            std::fputs(line.toLocal8Bit().constData(), stdout);
            std::fputc('\n', stdout);
            std::fflush(stdout);
        },
        [](const QString& line) {
            std::fputs(line.toLocal8Bit().constData(), stderr);
            std::fputc('\n', stderr);
        });
    const int code = commands.run(app.arguments().mid(1));
    if (code != 0 || !commands.wantsEventLoop()) {
        return code;
    }
    return app.exec();
}
