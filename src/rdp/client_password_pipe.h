#pragma once

#include <QByteArray>

class QProcess;

// Hands a password to the system RDP client as its standard input without a buffer we cannot wipe:
// the password goes into a pipe of our own before the client starts, the pipe's read end becomes
// the client's standard input, and ours is closed once it runs. Also makes the client a process of
// its own (no terminal, ends with the program) where the system allows it.
class ClientPasswordPipe
{
public:
    ClientPasswordPipe() = default;
    ~ClientPasswordPipe();
    ClientPasswordPipe(const ClientPasswordPipe&) = delete;
    ClientPasswordPipe& operator=(const ClientPasswordPipe&) = delete;

    // Writes `password` and a line end into a new pipe. False with error() set on failure.
    bool fill(const QByteArray& password);
    // The system's error code of a failed fill().
    quint32 error() const { return m_error; }
    // Sets up `process` (not yet started) to read the pipe as its standard input.
    void attach(QProcess* process);
    // After the start: the client holds its own copy of the read end.
    void closeReadEnd();

private:
#if defined(_WIN32)
    void* m_read = nullptr;
#else
    int m_read = -1;
#endif
    quint32 m_error = 0;
};
