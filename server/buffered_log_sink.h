#pragma once

#include <spdlog/details/null_mutex.h>
#include <spdlog/sinks/base_sink.h>

#include <string>

// Log lines to a file descriptor (the service's standard error), gathered instead of written one by
// one: under load the access log would otherwise cost a system call per request. Warnings and errors
// are written at once; other lines by the next flush(), at the end of the event loop's turn, or once
// 64 KiB have gathered. For the thread that owns the event loop only (like the logger it serves).
class BufferedLogSink final : public spdlog::sinks::base_sink<spdlog::details::null_mutex>
{
public:
    explicit BufferedLogSink(int fileDescriptor) : m_fileDescriptor(fileDescriptor) {}
    ~BufferedLogSink() override;

protected:
    void sink_it_(const spdlog::details::log_msg& message) override;
    void flush_() override;

private:
    int m_fileDescriptor;
    std::string m_buffer;
    bool m_flushQueued = false;
};
