#include "rdp/client_password_pipe.h"

#include "platform/posix_io.h"

#include <QProcess>

#if defined(_WIN32)
#include <windows.h>
#else
#include <array>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/prctl.h>
#include <unistd.h>
#endif

ClientPasswordPipe::~ClientPasswordPipe()
{
    closeReadEnd();
}

#if defined(_WIN32)

bool ClientPasswordPipe::fill(const QByteArray& password)
{
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE read = nullptr;
    HANDLE write = nullptr;
    // Room for all of it, so the write never waits for a reader that has not started yet.
    if (!CreatePipe(&read, &write, &inheritable, static_cast<DWORD>(password.size()) + 4096)) {
        m_error = GetLastError();
        return false;
    }
    SetHandleInformation(write, HANDLE_FLAG_INHERIT, 0);
    bool ok = true;
    for (const QByteArray& part : {password, QByteArray("\n")}) {
        DWORD written = 0;
        if (!WriteFile(write, part.constData(), static_cast<DWORD>(part.size()), &written, nullptr) ||
            written != static_cast<DWORD>(part.size())) {
            ok = false;
            m_error = GetLastError();
            break;
        }
    }
    CloseHandle(write);
    if (!ok) {
        CloseHandle(read);
        return false;
    }
    m_read = read;
    return true;
}

void ClientPasswordPipe::attach(QProcess* process)
{
    if (m_read == nullptr) {
        return;
    }
    HANDLE read = m_read;
    process->setCreateProcessArgumentsModifier([read](QProcess::CreateProcessArguments* arguments) {
        arguments->startupInfo->dwFlags |= STARTF_USESTDHANDLES;
        arguments->startupInfo->hStdInput = read;
        arguments->inheritHandles = true;
    });
}

void ClientPasswordPipe::closeReadEnd()
{
    if (m_read != nullptr) {
        CloseHandle(m_read);
        m_read = nullptr;
    }
}

#else

bool ClientPasswordPipe::fill(const QByteArray& password)
{
    std::array<int, 2> ends{-1, -1};
    if (::pipe2(ends.data(), O_CLOEXEC) != 0 ||
        !PosixIo::writeAll(ends[1], password.constData(), static_cast<size_t>(password.size())) ||
        !PosixIo::writeAll(ends[1], "\n", 1)) {
        m_error = static_cast<quint32>(errno);
        for (const int fd : ends) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
        return false;
    }
    ::close(ends[1]);
    m_read = ends[0];
    return true;
}

void ClientPasswordPipe::attach(QProcess* process)
{
    const int stdinFd = m_read;
    const pid_t parentPid = ::getpid();
    process->setChildProcessModifier([stdinFd, parentPid] {
        // Own session: no controlling terminal to prompt on. Dies with the program.
        ::setsid();
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parentPid) {
            ::_exit(127);
        }
        if (stdinFd >= 0) {
            ::dup2(stdinFd, STDIN_FILENO);
        }
    });
}

void ClientPasswordPipe::closeReadEnd()
{
    if (m_read >= 0) {
        ::close(m_read);
        m_read = -1;
    }
}

#endif
