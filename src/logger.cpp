#include "logger.h"

#include <spdlog/async.h>
#include <spdlog/async_logger.h>
#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/sinks/stdout_color_sinks.h>

#include <chrono>
#include <cstdio>
#include <exception>
#include <memory>
#include <vector>

#if defined(Q_OS_WIN)
#include "platform/windows/user_only_acl.h"
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

bool Logger::initialize(const QString& filePath, spdlog::level::level_enum level, size_t maxFileSize,
                        size_t maxFiles)
{
    try {
        spdlog::init_thread_pool(kQueueSize, 1);
        auto console = std::make_shared<spdlog::sinks::stdout_color_sink_mt>(spdlog::color_mode::automatic);
        // The log names hosts and users: every log file, also the ones rotation starts, is the user's
        // alone. Creating it before spdlog's fopen does means it never exists with wider rights.
        spdlog::file_event_handlers privateFiles;
#if defined(Q_OS_WIN)
        const spdlog::filename_t fileName = filePath.toStdWString();
        // A list of its own, as the atomic writer gives its files: what a file inherits depends on
        // the folder it lies in and on the system honouring it.
        privateFiles.after_open = [](const spdlog::filename_t& name, std::FILE*) {
            UserOnlyAcl::apply(QString::fromStdWString(name), false);
        };
#else
        const spdlog::filename_t fileName = filePath.toUtf8().toStdString();
        privateFiles.before_open = [](const spdlog::filename_t& name) {
            const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
            if (fd >= 0) {
                ::close(fd);
            }
        };
        privateFiles.after_open = [](const spdlog::filename_t&, std::FILE* stream) {
            ::fchmod(::fileno(stream), 0600);
        };
#endif
        auto file = std::make_shared<spdlog::sinks::rotating_file_sink_mt>(fileName, maxFileSize, maxFiles,
                                                                           false, privateFiles);
        std::vector<spdlog::sink_ptr> sinks{console, file};
        auto logger = std::make_shared<spdlog::async_logger>(kLoggerName, sinks.begin(), sinks.end(),
                                                             spdlog::thread_pool(),
                                                             spdlog::async_overflow_policy::block);
        logger->set_level(level);
        logger->set_pattern(kPattern, spdlog::pattern_time_type::local);
        logger->flush_on(spdlog::level::warn);
        spdlog::set_default_logger(std::move(logger));
        // Info lines reach the file within a second too, so a crash or `tail -f` sees them.
        spdlog::flush_every(std::chrono::seconds(1));
        return true;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "NIMBARA logger initialization failed: %s\n", e.what());
        return false;
    }
}

void Logger::shutdown()
{
    spdlog::shutdown();
    // Destructors that run later may still log; give them a logger that discards.
    spdlog::set_default_logger(std::make_shared<spdlog::logger>(kFallbackName));
}
