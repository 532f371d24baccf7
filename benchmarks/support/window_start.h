#pragma once

#include <QByteArray>
#include <QProcessEnvironment>

typedef struct _XDisplay Display;

// Starts `program` (posix_spawn, its output to /dev/null) with exactly `environment` and returns the
// milliseconds until a top-level window of that process is mapped on `display`, or -1 when none is
// within `timeoutMs`. The clock stops at the MapNotify read from the X server by blocking on the
// connection, so nothing polls while the program starts. The program is terminated afterwards.
// `display` must have selected SubstructureNotify on its root window.
double timeToMappedWindow(Display* display, const QByteArray& program, const QProcessEnvironment& environment,
                          int timeoutMs = 60000);
