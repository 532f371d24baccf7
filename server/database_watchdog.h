#pragma once

#include <QByteArray>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

// Guards one PostgreSQL connection that is used on the event loop, from a thread of its own:
//
// - a call that outlives its deadline gets its socket shut down, so libpq returns with an error
//   instead of waiting for a database that stopped answering (the connection is lost then);
// - while the connection is lost, it tries the database with its own short-lived libpq connection,
//   so the event loop never waits for a reconnection that cannot succeed.
//
// Only one call is watched at a time: the connection serves one caller.
class DatabaseWatchdog
{
public:
    // `conninfo`: the libpq connection string of the guarded connection (wiped when done).
    explicit DatabaseWatchdog(const QByteArray& conninfo);
    ~DatabaseWatchdog();
    DatabaseWatchdog(const DatabaseWatchdog&) = delete;
    DatabaseWatchdog& operator=(const DatabaseWatchdog&) = delete;

    // Watches a call on `socket` for `timeoutMs`. disarm() returns true when the deadline passed and
    // the socket was shut down.
    void arm(int socket, int timeoutMs);
    bool disarm();

    enum class Probe { Idle, Running, Reachable, Unreachable };
    // Starts one connection attempt in the background (nothing when one is running).
    void startProbe();
    // The outcome of the last attempt; a finished outcome is reported once, then Idle.
    Probe takeProbe();

private:
    void loop();
    bool probe();

    QByteArray m_conninfo;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stopping = false;
    int m_socket = -1;
    std::chrono::steady_clock::time_point m_deadline;
    bool m_fired = false;
    bool m_probeWanted = false;
    Probe m_probe = Probe::Idle;
    std::thread m_thread; // last: starts once everything above is set
};
