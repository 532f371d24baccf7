#pragma once

#include "platform/platform_adapter.h"

// What the Linux and Windows adapters share: Qt's per-user data folder, the screen's scale and a
// folder made private file by file. Each system says only its name, its fallback folder and how
// one file is made the user's own.
class DesktopAdapter : public IPlatformAdapter
{
public:
    uint32_t mapCode(uint32_t code) override;
    void setTextPair(const QString& first, const QString& second) override;
    void clearTextPair() override;
    QString dataDirectory() const override;
    QString configFilePath() const override;
    bool isSupported() const override;
    double devicePixelRatio() const override;
    bool restrictToUser(const QString& directory, QString* error) override;

protected:
    // The data folder when Qt names none.
    virtual QString fallbackDataDirectory() const = 0;
    // Leaves one regular file readable by the current user only; false with the reason otherwise.
    virtual bool restrictFileToUser(const QString& path, QString* reason) = 0;

private:
    QString m_firstText;
    QString m_secondText;
};
