#include "buffered_log_sink.h"

#include <QCoreApplication>
#include <QThread>
#include <QTimer>

#include <cerrno>
#include <unistd.h>

namespace {
constexpr std::size_t kFlushBytes = 64 * 1024;
}

BufferedLogSink::~BufferedLogSink()
{
    flush_();
}

void BufferedLogSink::sink_it_(const spdlog::details::log_msg& message)
{
    spdlog::memory_buf_t formatted;
    formatter_->format(message, formatted);
    m_buffer.append(formatted.data(), formatted.size());
    QCoreApplication* application = QCoreApplication::instance();
    if (message.level >= spdlog::level::warn || m_buffer.size() >= kFlushBytes || !application ||
        QThread::currentThread() != application->thread()) {
        flush_();
        return;
    }
    if (!m_flushQueued) {
        // A line no answer follows (a notice on its own) still goes out within this turn.
        m_flushQueued = true;
        QTimer::singleShot(0, application, [this] {
            m_flushQueued = false;
            flush_();
        });
    }
}

void BufferedLogSink::flush_()
{
    std::size_t written = 0;
    while (written < m_buffer.size()) {
        const ssize_t count = ::write(m_fileDescriptor, m_buffer.data() + written, m_buffer.size() - written);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            break; // nowhere to report a log that cannot be written; the lines are dropped
        }
        written += static_cast<std::size_t>(count);
    }
    m_buffer.clear();
}
