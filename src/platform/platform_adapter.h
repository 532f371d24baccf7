#pragma once

#include <QString>

#include <cstdint>
#include <memory>

// What start-up needs to know about the operating system: where the files live and what it is called.
class IPlatformAdapter
{
public:
    virtual ~IPlatformAdapter() = default;

    virtual uint32_t mapCode(uint32_t code) = 0;
    virtual void setTextPair(const QString& first, const QString& second) = 0;
    virtual void clearTextPair() = 0;
    virtual QString dataDirectory() const = 0;
    virtual QString configFilePath() const = 0;
    virtual bool isSupported() const = 0;
    virtual double devicePixelRatio() const = 0;
    virtual QString platformName() const = 0;
    // Makes a data directory and every file in it readable by the current user only (the host list,
    // the log and the keys are nobody else's business), also when they were made with wider rights.
    virtual bool restrictToUser(const QString& directory, QString* error) = 0;
};

std::unique_ptr<IPlatformAdapter> createPlatformAdapter();
