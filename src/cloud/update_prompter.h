#pragma once

#include <QString>

#include <functional>

// What the start-up update check asks of the user and shows while it downloads; the widgets behind it
// live with the rest of the user interface.
class IUpdatePrompter
{
public:
    virtual ~IUpdatePrompter() = default;

    // The required-update box: true for "立即下载并安装", false for "退出软件" or a closed box.
    virtual bool confirmUpdate(const QString& version, const QString& text) = 0;
    // The failure box: true for "重试".
    virtual bool offerRetry(const QString& error) = 0;
    // The verified package could not be handed to an installer: `text` says where it is and how to
    // install it. True to go on with this version, which only `mayContinue` allows.
    virtual bool offerManualInstall(const QString& text, bool mayContinue) = 0;
    // The progress dialog, shown until endDownload; `cancel` aborts the download.
    virtual void beginDownload(const QString& label, std::function<void()> cancel) = 0;
    virtual void setDownloadProgress(int percent) = 0;
    virtual void endDownload() = 0;
};
