#include "platform/windows/process_job.h"

#include <QProcess>

ProcessJob::ProcessJob(HANDLE job, QProcess* process) : QObject(process), m_job(job)
{
    process->setCreateProcessArgumentsModifier([this](QProcess::CreateProcessArguments* arguments) {
        arguments->flags |= CREATE_SUSPENDED;
        m_started = arguments->processInformation;
    });
}

ProcessJob::~ProcessJob()
{
    // With JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE this ends what is still running.
    CloseHandle(m_job);
}

ProcessJob* ProcessJob::prepare(QProcess* process)
{
    const HANDLE job = CreateJobObjectW(nullptr, nullptr);
    if (!job) {
        return nullptr;
    }
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags =
        JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_DIE_ON_UNHANDLED_EXCEPTION;
    if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
        CloseHandle(job);
        return nullptr;
    }
    return new ProcessJob(job, process);
}

bool ProcessJob::adopt()
{
    // Qt's record lives while the process runs; after a failed start it is gone.
    const auto* process = static_cast<QProcess*>(parent());
    if (process->state() == QProcess::NotRunning || !m_started || !m_started->hProcess ||
        !m_started->hThread) {
        return false;
    }
    if (!AssignProcessToJobObject(m_job, m_started->hProcess)) {
        TerminateProcess(m_started->hProcess, 1);
        return false;
    }
    if (ResumeThread(m_started->hThread) == static_cast<DWORD>(-1)) {
        TerminateJobObject(m_job, 1);
        return false;
    }
    return true;
}

void ProcessJob::terminate()
{
    TerminateJobObject(m_job, 1);
}
