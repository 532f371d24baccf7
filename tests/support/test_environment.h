#pragma once

#include <QByteArray>
#include <QList>
#include <QProcessEnvironment>
#include <QString>

#include <memory>

class IDataProtection;

// Sets environment variables for the lifetime of the object and restores them afterwards.
class ScopedEnvironment
{
public:
    ScopedEnvironment() = default;
    ~ScopedEnvironment();
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

    void set(const char* name, const QString& value);
    void unset(const char* name);

private:
    void remember(const char* name);

    struct Saved
    {
        QByteArray name;
        QByteArray value;
        bool wasSet;
    };
    QList<Saved> m_saved;
};

// An environment in which home, configuration, data and temporary directories all lie below `root`,
// so a started program touches nothing outside it.
QProcessEnvironment isolatedEnvironment(const QString& root);

// Same, applied to this process.
void isolateProcess(ScopedEnvironment& env, const QString& root);

// Keeps this process's user settings (QSettings()) in files below `directory`. On Windows they would
// live in the registry, which no folder isolates, so they become INI files there.
void isolateSettings(const QString& directory);

// The system's user-bound data protection for `user`, its secrets below `directory`: on Linux with a
// machine id and secret folder of its own there; on Windows DPAPI, which knows only the running user.
std::unique_ptr<IDataProtection> userProtectionBelow(const QString& directory, const QString& user);

// Reads a whole file; empty when it does not exist.
QByteArray readFile(const QString& path);
void writeFile(const QString& path, const QByteArray& content);

// A loopback port nobody listens on at the moment of the call.
quint16 freeLoopbackPort();
