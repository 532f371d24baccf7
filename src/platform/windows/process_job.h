#pragma once

#include <QObject>

#include <windows.h>

class QProcess;

// A job object holding one QProcess and everything it starts (ssh and the askpass helper it runs):
// ending the job ends them all, as a process group does on Linux, and the job ends with this program
// too, however it ends. The process starts suspended and runs only once it is inside the job, so
// nothing it starts can slip out.
class ProcessJob : public QObject
{
    Q_OBJECT
public:
    ~ProcessJob() override;

    // Prepares `process`, not started yet; the job is the process's child. Null when no job can be
    // made: the process then starts as usual.
    static ProcessJob* prepare(QProcess* process);

    // Right after a successful start: puts the process into the job and lets it run. When the job
    // cannot take it, the process is ended (it would run outside the job's reach) and false returned.
    bool adopt();

    // Ends every process of the job.
    void terminate();

private:
    explicit ProcessJob(HANDLE job, QProcess* process);

    HANDLE m_job;
    // Qt's own record of the started process, handed over at its creation.
    PROCESS_INFORMATION* m_started = nullptr;
};
