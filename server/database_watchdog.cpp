#include "database_watchdog.h"

#include "platform/secure_memory.h"

#include <libpq-fe.h>
#include <sys/socket.h>

DatabaseWatchdog::DatabaseWatchdog(const QByteArray& conninfo)
    : m_conninfo(conninfo.constData(), conninfo.size()), m_thread([this] { loop(); })
{
}

DatabaseWatchdog::~DatabaseWatchdog()
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    m_thread.join(); // a running attempt ends within the connection string's connect_timeout
    SecureMemory::wipe(m_conninfo);
}

void DatabaseWatchdog::arm(int socket, int timeoutMs)
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_socket = socket;
        m_deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        m_fired = false;
    }
    m_wake.notify_all();
}

bool DatabaseWatchdog::disarm()
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_socket = -1;
    return m_fired;
}

void DatabaseWatchdog::startProbe()
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        if (m_probe == Probe::Running || m_probeWanted) {
            return;
        }
        m_probeWanted = true;
        m_probe = Probe::Running;
    }
    m_wake.notify_all();
}

DatabaseWatchdog::Probe DatabaseWatchdog::takeProbe()
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    const Probe result = m_probe;
    if (result != Probe::Running) {
        m_probe = Probe::Idle;
    }
    return result;
}

void DatabaseWatchdog::loop()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_stopping) {
        if (m_probeWanted) {
            m_probeWanted = false;
            lock.unlock();
            const bool reachable = probe();
            lock.lock();
            m_probe = reachable ? Probe::Reachable : Probe::Unreachable;
            continue;
        }
        if (m_socket < 0) {
            m_wake.wait(lock);
            continue;
        }
        // Woken early by disarm, a new arm or the end; the deadline is read again each time.
        if (m_wake.wait_until(lock, m_deadline) == std::cv_status::timeout && m_socket >= 0 &&
            std::chrono::steady_clock::now() >= m_deadline) {
            // The call is still blocked in libpq, so the descriptor is still its socket.
            ::shutdown(m_socket, SHUT_RDWR);
            m_socket = -1;
            m_fired = true;
        }
    }
}

bool DatabaseWatchdog::probe()
{
    PGconn* connection = PQconnectdb(m_conninfo.constData());
    const bool reachable = connection && PQstatus(connection) == CONNECTION_OK;
    PQfinish(connection);
    return reachable;
}
