#pragma once

#include <QString>

#include <spdlog/logger.h>
#include <spdlog/sinks/ringbuffer_sink.h>

#include <memory>

// Routes the default logger into a ring buffer while it lives, so a test can read what was logged.
class LogCapture
{
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    QString text() const;
    bool contains(const QString& needle) const { return text().contains(needle); }

private:
    std::shared_ptr<spdlog::sinks::ringbuffer_sink_mt> m_sink;
    std::shared_ptr<spdlog::logger> m_previous;
};
