#pragma once

#include "platform/desktop_adapter.h"

class LinuxAdapter : public DesktopAdapter
{
public:
    QString platformName() const override;

protected:
    QString fallbackDataDirectory() const override;
    bool restrictFileToUser(const QString& path, QString* reason) override;
};
