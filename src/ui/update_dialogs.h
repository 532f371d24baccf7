#pragma once

#include "cloud/update_prompter.h"

#include <QPointer>

class QProgressDialog;

// The update check's boxes and its progress dialog, all without parent (no window exists yet).
// Without a display nobody could answer them, so a headless run reports on standard error and
// declines the update, which ends the start.
class UpdateDialogs : public IUpdatePrompter
{
public:
    explicit UpdateDialogs(bool headless);
    ~UpdateDialogs() override;

    bool confirmUpdate(const QString& version, const QString& text) override;
    bool offerRetry(const QString& error) override;
    bool offerManualInstall(const QString& text, bool mayContinue) override;
    void beginDownload(const QString& label, std::function<void()> cancel) override;
    void setDownloadProgress(int percent) override;
    void endDownload() override;

private:
    bool m_headless;
    QPointer<QProgressDialog> m_progress;
};
