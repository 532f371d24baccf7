#pragma once

#include "platform/platform_adapter.h"

class WindowsAdapter : public IPlatformAdapter
{
public:
    uint32_t mapCode(uint32_t code) override;
    void setTextPair(const QString& first, const QString& second) override;
    void clearTextPair() override;
    QString dataDirectory() const override;
    QString configFilePath() const override;
    bool isSupported() const override;
    double devicePixelRatio() const override;
    QString platformName() const override;
    bool restrictToUser(const QString& directory, QString* error) override;

private:
    QString m_firstText;
    QString m_secondText;
};
