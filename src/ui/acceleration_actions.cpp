#include "ui/acceleration_actions.h"

#include "cloud/account_client.h"
#include "network/acceleration_manager.h"
#include "wall/screen_wall_window.h"

#include <QApplication>
#include <QMessageBox>

namespace {
const QString kTitle = QStringLiteral("远程加速");
} // namespace

AccelerationActions::AccelerationActions(QWidget* window, AccountClient* account,
                                         AccelerationManager* manager,
                                         std::function<QList<ScreenWallWindow*>()> sessionWindows,
                                         QObject* parent)
    : QObject(parent), m_window(window), m_account(account), m_manager(manager),
      m_sessionWindows(std::move(sessionWindows))
{
    connect(m_manager, &AccelerationManager::enabledChanged, this, [this](bool enabled) {
        emit buttonTextChanged(enabled ? QStringLiteral("关闭远程加速") : QStringLiteral("启动远程加速"));
    });
    connect(m_manager, &AccelerationManager::readyToEnable, this, &AccelerationActions::onReadyToEnable);
    connect(m_manager, &AccelerationManager::statusChanged, this, [this](const QString& message) {
        emit stateTextChanged(message);
        emit statusMessage(message, kStatusMs);
    });
    connect(m_manager, &AccelerationManager::availabilityFailed, this, [this](const QString& message) {
        emit stateTextChanged(QStringLiteral("加速不可用"));
        QMessageBox::warning(noticeParent(), kTitle, message);
    });
    connect(m_manager, &AccelerationManager::fallbackToDirect, this,
            [this](const QString&, const QString& remoteName) {
                const QString text = QStringLiteral("加速功能失败：“%1”已尝试直接连接").arg(remoteName);
                emit stateTextChanged(text);
                emit statusMessage(text, kFallbackStatusMs);
                showNotice(text);
            });
    // The portal session belongs to a partner account; any other account must not use it.
    connect(m_account, &AccountClient::accountChanged, this, [this] {
        if (!m_account->isPartnerMode()) {
            m_manager->clearPartnerSession();
        }
    });
}

QWidget* AccelerationActions::noticeParent() const
{
    // A full-screen session window in front would hide a box that belongs to the main window.
    QWidget* active = QApplication::activeWindow();
    return active ? active : m_window.data();
}

void AccelerationActions::showNotice(const QString& text)
{
    // One box that does not block: sessions go on while it is shown, and a later fallback updates it.
    if (!m_notice) {
        m_notice = new QMessageBox(QMessageBox::Information, kTitle, text, QMessageBox::Ok, noticeParent());
        m_notice->setObjectName(QStringLiteral("accelerationNotice"));
        m_notice->setAttribute(Qt::WA_DeleteOnClose);
        m_notice->setModal(false);
    }
    m_notice->setText(text);
    m_notice->show();
    m_notice->raise();
    m_notice->activateWindow();
}

int AccelerationActions::embeddedSessionCount() const
{
    int count = 0;
    for (const ScreenWallWindow* window : m_sessionWindows()) {
        count += window->connectedCount();
    }
    return count;
}

void AccelerationActions::toggle()
{
    if (!m_account->isSignedIn()) {
        QMessageBox::information(noticeParent(), kTitle,
                                 QStringLiteral("登录后使用：远程加速需要使用合作云账号登录。"));
        return;
    }
    if (m_manager->isBusy()) {
        return;
    }
    if (m_manager->isEnabled()) {
        const int sessions = embeddedSessionCount();
        if (sessions > 0 &&
            QMessageBox::question(
                m_window, QStringLiteral("关闭远程加速"),
                QStringLiteral("关闭后将断开并直连重连当前 %1 个内嵌远程会话，是否继续？").arg(sessions),
                QMessageBox::Yes | QMessageBox::No, QMessageBox::No) != QMessageBox::Yes) {
            return;
        }
        // The reconnects are timed, so they start once the listeners are gone and connect directly.
        reconnectEmbeddedSessions();
        m_manager->disableAcceleration();
        return;
    }
    if (m_account->isPartnerMode()) {
        m_manager->checkAvailability();
    } else {
        QMessageBox::information(noticeParent(), kTitle, QStringLiteral("请先使用Vantrel账号登录。"));
    }
}

void AccelerationActions::onReadyToEnable(const QString& nodeName, int latencyMs)
{
    const int sessions = embeddedSessionCount();
    if (sessions > 0 && QMessageBox::question(
                            m_window, QStringLiteral("启动远程加速"),
                            QStringLiteral("香港节点 %1 可用，延迟 %2 ms。\n开启后将断开并重连当前 %3 "
                                           "个内嵌远程会话，是否继续？\n已打开的独立 SSH 窗口需要重新打开。")
                                .arg(nodeName, QString::number(latencyMs), QString::number(sessions)),
                            QMessageBox::Yes | QMessageBox::No, QMessageBox::No) != QMessageBox::Yes) {
        m_manager->disableAcceleration();
        return;
    }
    m_manager->enableAcceleration();
    reconnectEmbeddedSessions();
}

void AccelerationActions::reconnectEmbeddedSessions()
{
    int scheduled = 0;
    for (ScreenWallWindow* window : m_sessionWindows()) {
        scheduled += window->reconnectActiveSessions(ScreenWallWindow::kReconnectSpacingMs * scheduled);
    }
}
