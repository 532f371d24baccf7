#include "window_start.h"

#include <QElapsedTimer>
#include <QString>
#include <QStringList>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

unsigned long windowPid(Display* display, unsigned long window)
{
    const Atom pidAtom = XInternAtom(display, "_NET_WM_PID", True);
    if (pidAtom == None) {
        return 0;
    }
    Atom type = None;
    int format = 0;
    unsigned long items = 0;
    unsigned long after = 0;
    unsigned char* data = nullptr;
    unsigned long pid = 0;
    if (XGetWindowProperty(display, window, pidAtom, 0, 1, False, XA_CARDINAL, &type, &format, &items, &after,
                           &data) == Success &&
        data != nullptr && items == 1 && format == 32) {
        pid = *reinterpret_cast<unsigned long*>(data);
    }
    if (data != nullptr) {
        XFree(data);
    }
    return pid;
}

pid_t spawnQuietly(const QByteArray& programPath, const QProcessEnvironment& environment)
{
    std::vector<QByteArray> envBytes;
    for (const QString& entry : environment.toStringList()) {
        envBytes.push_back(entry.toLocal8Bit());
    }
    std::vector<char*> envp;
    for (QByteArray& entry : envBytes) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);
    QByteArray program(programPath);
    char* argv[] = {program.data(), nullptr};
    // The program's own output (its log lines) would only interleave with the figures.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, program.constData(), &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    return spawned == 0 ? pid : -1;
}

double timeToMappedWindow(Display* display, const QByteArray& programPath,
                          const QProcessEnvironment& environment, int timeoutMs)
{
    XSync(display, True); // drop events of earlier rounds
    QElapsedTimer timer;
    timer.start();
    const pid_t pid = spawnQuietly(programPath, environment);
    if (pid < 0) {
        return -1;
    }
    const int pidFd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    double mappedMs = -1;
    bool exited = false;
    while (mappedMs < 0 && !exited) {
        if (XPending(display) == 0) {
            // Sleep until the X server or the program's end says something.
            pollfd fds[2] = {{ConnectionNumber(display), POLLIN, 0}, {pidFd, POLLIN, 0}};
            const int ready = poll(fds, pidFd >= 0 ? 2 : 1, timeoutMs);
            if (ready <= 0) {
                break;
            }
            exited = (fds[1].revents & POLLIN) != 0;
            if (XPending(display) == 0) {
                continue;
            }
        }
        XEvent event;
        XNextEvent(display, &event);
        if (event.type == MapNotify &&
            windowPid(display, event.xmap.window) == static_cast<unsigned long>(pid)) {
            mappedMs = static_cast<double>(timer.nsecsElapsed()) / 1e6;
        }
    }
    ::kill(pid, SIGTERM);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (pidFd >= 0) {
        ::close(pidFd);
    }
    return mappedMs;
}
