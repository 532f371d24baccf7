#pragma once

#include <QList>
#include <QString>

#include <vector>

// Figures about running processes read from /proc the same way for the program and for its peers, so
// that both sides of a comparison are measured alike.
namespace ProcessFigures {

// Proportional set size (shared pages divided among their users) and private pages, in MiB, from
// /proc/<pid>/smaps_rollup.
struct Memory
{
    double pss = 0;
    double privateMiB = 0;
    Memory operator-(const Memory& other) const { return {pss - other.pss, privateMiB - other.privateMiB}; }
    Memory operator+(const Memory& other) const { return {pss + other.pss, privateMiB + other.privateMiB}; }
};
Memory memory(qint64 pid);
// Peak resident set size (VmHWM of /proc/<pid>/status) in MiB.
double peakResidentMiB(qint64 pid);

// CPU time a process's live threads have run, in nanoseconds, summed from /proc/<pid>/task/*/schedstat
// (the scheduler's own clock: no 10 ms tick rounding).
double cpuNanoseconds(qint64 pid);
double threadCpuNanoseconds(qint64 pid, qint64 tid);
double cpuNanoseconds(const QList<qint64>& pids);

// Context switches of every thread of a process: each one is a wake-up.
double contextSwitches(qint64 pid);

// Direct children of this process.
QList<qint64> childProcesses();
// Every process below `pid` (children, their children, …).
QList<qint64> descendants(qint64 pid);

// "1.23 0.98 0.75" from /proc/loadavg.
QString loadAverage();

// CLOCK_MONOTONIC in nanoseconds: one clock for every process of the machine.
qint64 monotonicNs();

double percentile(std::vector<double> values, double fraction);
double maximum(const std::vector<double>& values);
// "median M (min–max)" of the values, or the one value alone.
QString rangeOf(const std::vector<double>& values, int decimals);

// One line "summary | <figure> | <value>" that run_all.sh collects.
void printSummary(const QString& figure, const QString& value);

} // namespace ProcessFigures
