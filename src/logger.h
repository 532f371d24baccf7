#pragma once

#include <QByteArray>
#include <QString>

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <string_view>

// Lets log calls take QString arguments directly; they are written as UTF-8.
template <> struct fmt::formatter<QString> : fmt::formatter<std::string_view>
{
    template <typename FormatContext> auto format(const QString& value, FormatContext& ctx) const
    {
        const QByteArray utf8 = value.toUtf8();
        return fmt::formatter<std::string_view>::format(
            std::string_view(utf8.constData(), static_cast<size_t>(utf8.size())), ctx);
    }
};

// The process-wide logger is spdlog's default logger ("tolv"); call sites use
// SPDLOG_INFO / SPDLOG_WARN / SPDLOG_ERROR so that the source location travels along.
class Logger
{
public:
    static bool initialize(const QString& filePath, spdlog::level::level_enum level, size_t maxFileSize,
                           size_t maxFiles);
    static void shutdown();

    static constexpr const char* kLoggerName = "tolv";
    static constexpr const char* kFallbackName = "nimbara-fallback";
    static constexpr const char* kPattern = "[%Y-%m-%d %H:%M:%S.%e] [%^%l%$] [%t] %v";
    static constexpr size_t kQueueSize = 8192;
};
