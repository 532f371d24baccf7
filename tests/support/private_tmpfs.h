#pragma once

#include <QString>

#include <functional>

// Runs a piece of the test in a forked child that has a small tmpfs of its own mounted over a
// directory, in a private mount namespace: a disk that is really full (or nearly) without touching
// the machine's. Needs root or unprivileged user namespaces; otherwise the outcome says why it
// could not run.
class PrivateTmpfs
{
public:
    struct Outcome
    {
        bool ran = false;
        QString skipReason; // set when the child could not get its file system
        QString failure;    // what the body reported; empty when it passed
    };

    // `body` returns an empty text when everything it checked held, else what went wrong.
    static Outcome run(const QString& mountPoint, qint64 sizeBytes, const std::function<QString()>& body);

    // Fills the file system under `directory` until at most `leaveFree` bytes are left.
    static bool fill(const QString& directory, qint64 leaveFree);
};
