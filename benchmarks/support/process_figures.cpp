#include "process_figures.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QHash>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>

namespace ProcessFigures {

namespace {

QByteArray readProcFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A "Name:   123 kB" field of a /proc file.
double field(const QByteArray& text, const QByteArray& name)
{
    for (const QByteArray& line : text.split('\n')) {
        if (line.startsWith(name)) {
            return line.mid(name.size()).trimmed().split(' ').value(0).toDouble();
        }
    }
    return 0;
}

QStringList threadsOf(qint64 pid)
{
    return QDir(QStringLiteral("/proc/%1/task").arg(pid)).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
}

// Every process of the machine, by its parent.
QHash<qint64, QList<qint64>> childrenByParent()
{
    QHash<qint64, QList<qint64>> children;
    const QDir proc(QStringLiteral("/proc"));
    for (const QString& entry : proc.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool number = false;
        const qint64 pid = entry.toLongLong(&number);
        if (!number) {
            continue;
        }
        const QByteArray text = readProcFile(proc.filePath(entry + QStringLiteral("/stat")));
        // The parent is the second field after the command name in brackets.
        children[text.mid(text.lastIndexOf(')') + 2).split(' ').value(1).toLongLong()].append(pid);
    }
    return children;
}

} // namespace

Memory memory(qint64 pid)
{
    const QByteArray text = readProcFile(QStringLiteral("/proc/%1/smaps_rollup").arg(pid));
    return {field(text, "Pss:") / 1024.0,
            (field(text, "Private_Clean:") + field(text, "Private_Dirty:")) / 1024.0};
}

double peakResidentMiB(qint64 pid)
{
    return field(readProcFile(QStringLiteral("/proc/%1/status").arg(pid)), "VmHWM:") / 1024.0;
}

double threadCpuNanoseconds(qint64 pid, qint64 tid)
{
    // First field: time spent on the CPU, in nanoseconds.
    return readProcFile(QStringLiteral("/proc/%1/task/%2/schedstat").arg(pid).arg(tid))
        .split(' ')
        .value(0)
        .toDouble();
}

double cpuNanoseconds(qint64 pid)
{
    double total = 0;
    for (const QString& tid : threadsOf(pid)) {
        total += threadCpuNanoseconds(pid, tid.toLongLong());
    }
    return total;
}

double cpuNanoseconds(const QList<qint64>& pids)
{
    double total = 0;
    for (const qint64 pid : pids) {
        total += cpuNanoseconds(pid);
    }
    return total;
}

double contextSwitches(qint64 pid)
{
    double total = 0;
    for (const QString& tid : threadsOf(pid)) {
        const QByteArray text = readProcFile(QStringLiteral("/proc/%1/task/%2/status").arg(pid).arg(tid));
        total += field(text, "voluntary_ctxt_switches:") + field(text, "nonvoluntary_ctxt_switches:");
    }
    return total;
}

QList<qint64> childProcesses()
{
    return childrenByParent().value(QCoreApplication::applicationPid());
}

QList<qint64> descendants(qint64 pid)
{
    const QHash<qint64, QList<qint64>> children = childrenByParent();
    QList<qint64> found;
    QList<qint64> pending = {pid};
    while (!pending.isEmpty()) {
        for (const qint64 child : children.value(pending.takeFirst())) {
            found.append(child);
            pending.append(child);
        }
    }
    return found;
}

QString loadAverage()
{
    const QList<QByteArray> fields = readProcFile(QStringLiteral("/proc/loadavg")).split(' ');
    return QString::fromLatin1(fields.mid(0, 3).join(' '));
}

qint64 monotonicNs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<qint64>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

double percentile(std::vector<double> values, double fraction)
{
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const auto index = static_cast<size_t>(std::lround(fraction * static_cast<double>(values.size() - 1)));
    return values[std::min(index, values.size() - 1)];
}

double maximum(const std::vector<double>& values)
{
    return values.empty() ? 0.0 : *std::max_element(values.begin(), values.end());
}

QString rangeOf(const std::vector<double>& values, int decimals)
{
    if (values.size() == 1) {
        return QString::number(values.front(), 'f', decimals);
    }
    return QStringLiteral("median %1 (%2–%3)")
        .arg(percentile(values, 0.5), 0, 'f', decimals)
        .arg(*std::min_element(values.begin(), values.end()), 0, 'f', decimals)
        .arg(maximum(values), 0, 'f', decimals);
}

void printSummary(const QString& figure, const QString& value)
{
    std::printf("summary | %s | %s\n", qPrintable(figure), qPrintable(value));
    std::fflush(stdout);
}

} // namespace ProcessFigures
