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
};

std::unique_ptr<IPlatformAdapter> createPlatformAdapter();
