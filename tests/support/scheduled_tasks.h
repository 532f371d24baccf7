#pragma once

#include <QList>

#include <functional>
#include <utility>

// Stands in for single-shot timers: tasks wait here until the test runs them, so no test sleeps.
class ScheduledTasks
{
public:
    void add(int delayMs, std::function<void()> task) { m_entries.append({delayMs, std::move(task)}); }
    bool isEmpty() const { return m_entries.isEmpty(); }

    // Runs what is waiting, in the order it was scheduled; returns the delays it was scheduled with.
    QList<int> runAll()
    {
        QList<int> delays;
        for (Entry& entry : std::exchange(m_entries, {})) {
            delays.append(entry.delayMs);
            entry.task();
        }
        return delays;
    }

private:
    struct Entry
    {
        int delayMs;
        std::function<void()> task;
    };
    QList<Entry> m_entries;
};
