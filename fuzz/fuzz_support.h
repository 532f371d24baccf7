#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>

// What every fuzz target shares: its LLVMFuzzerInitialize (fuzz_support.cpp), which makes a quiet
// process (no log or Qt messages per input, which would slow the run and flood its output) with a
// QCoreApplication, and a scratch file for the readers that take a path.
class FuzzSupport
{
public:
    // Writes `data` to a file of this process that each call overwrites, named with `suffix`.
    static QString writeInput(const uint8_t* data, size_t size, const QString& suffix);
};
