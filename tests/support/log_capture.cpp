#include "support/log_capture.h"

#include <spdlog/spdlog.h>

LogCapture::LogCapture()
    : m_sink(std::make_shared<spdlog::sinks::ringbuffer_sink_mt>(4096)), m_previous(spdlog::default_logger())
{
    spdlog::set_default_logger(std::make_shared<spdlog::logger>("capture", m_sink));
}

LogCapture::~LogCapture()
{
    spdlog::set_default_logger(m_previous);
}

QString LogCapture::text() const
{
    QString all;
    for (const std::string& line : m_sink->last_formatted()) {
        all += QString::fromStdString(line);
    }
    return all;
}
