#pragma once

#include <QByteArray>
#include <QProcessEnvironment>

#include <sys/types.h>

typedef struct _XDisplay Display;

// Starts `program` (posix_spawn, its output to /dev/null) with exactly `environment`; -1 on failure.
pid_t spawnQuietly(const QByteArray& program, const QProcessEnvironment& environment);

// The process id stored on an X window (_NET_WM_PID), 0 when there is none.
unsigned long windowPid(Display* display, unsigned long window);

// Starts `program` (posix_spawn, its output to /dev/null) with exactly `environment` and returns the
// milliseconds until a top-level window of that process is mapped on `display`, or -1 when none is
// within `timeoutMs`. The clock stops at the MapNotify read from the X server by blocking on the
// connection, so nothing polls while the program starts. The program is terminated afterwards.
// `display` must have selected SubstructureNotify on its root window.
double timeToMappedWindow(Display* display, const QByteArray& program, const QProcessEnvironment& environment,
                          int timeoutMs = 60000);
