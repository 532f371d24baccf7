#include "ui/update_dialogs.h"

#include <QMessageBox>
#include <QProgressDialog>
#include <QPushButton>

#include <cstdio>

UpdateDialogs::UpdateDialogs(bool headless) : m_headless(headless) {}

UpdateDialogs::~UpdateDialogs()
{
    delete m_progress;
}

bool UpdateDialogs::confirmUpdate(const QString& version, const QString& text)
{
    if (m_headless) {
        std::fprintf(stderr, "必须升级 NIMBARA: %s\n", text.toUtf8().constData());
        return false;
    }
    Q_UNUSED(version)
    QMessageBox box(QMessageBox::Information, QStringLiteral("必须升级 NIMBARA"), text);
    QPushButton* install = box.addButton(QStringLiteral("立即下载并安装"), QMessageBox::AcceptRole);
    box.addButton(QStringLiteral("退出软件"), QMessageBox::RejectRole);
    box.setDefaultButton(install);
    box.exec();
    return box.clickedButton() == install;
}

bool UpdateDialogs::offerRetry(const QString& error)
{
    if (m_headless) {
        std::fprintf(stderr, "更新下载失败: %s\n", error.toUtf8().constData());
        return false;
    }
    QMessageBox box(QMessageBox::Warning, QStringLiteral("更新下载失败"), error);
    QPushButton* retry = box.addButton(QStringLiteral("重试"), QMessageBox::AcceptRole);
    box.addButton(QStringLiteral("退出软件"), QMessageBox::RejectRole);
    box.setDefaultButton(retry);
    box.exec();
    return box.clickedButton() == retry;
}

bool UpdateDialogs::offerManualInstall(const QString& text, bool mayContinue)
{
    if (m_headless) {
        std::fprintf(stderr, "无法自动安装更新: %s\n", text.toUtf8().constData());
        return mayContinue;
    }
    QMessageBox box(QMessageBox::Warning, QStringLiteral("请手动安装更新"), text);
    // The path and the command are copied from here.
    box.setTextInteractionFlags(Qt::TextSelectableByMouse);
    QPushButton* go = nullptr;
    if (mayContinue)
        go = box.addButton(QStringLiteral("继续使用当前版本"), QMessageBox::AcceptRole);
    QPushButton* quit = box.addButton(QStringLiteral("退出软件"), QMessageBox::RejectRole);
    box.setDefaultButton(go ? go : quit);
    box.exec();
    return go && box.clickedButton() == go;
}

void UpdateDialogs::beginDownload(const QString& label, std::function<void()> cancel)
{
    delete m_progress;
    m_progress = new QProgressDialog(label, QStringLiteral("取消"), 0, 100);
    m_progress->setWindowTitle(QStringLiteral("NIMBARA"));
    m_progress->setWindowModality(Qt::ApplicationModal);
    m_progress->setAutoClose(false);
    m_progress->setAutoReset(false);
    m_progress->setMinimumDuration(0);
    QObject::connect(m_progress, &QProgressDialog::canceled, m_progress, std::move(cancel));
    if (!m_headless)
        m_progress->show();
}

void UpdateDialogs::setDownloadProgress(int percent)
{
    if (m_progress)
        m_progress->setValue(percent);
}

void UpdateDialogs::endDownload()
{
    if (m_progress) {
        m_progress->close();
        m_progress->deleteLater();
    }
}
