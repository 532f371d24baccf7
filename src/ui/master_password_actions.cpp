#include "ui/master_password_actions.h"

#include "cloud/account_client.h"
#include "cloud/host_sync_controller.h"
#include "logger.h"
#include "storage/app_lock.h"
#include "storage/config_manager.h"
#include "storage/crypto_manager.h"
#include "storage/database_manager.h"
#include "ui/master_password_dialog.h"

#include <QMessageBox>
#include <QSettings>

namespace {

// The per-user settings sealed to the device key: after the key is replaced they could never be
// opened again.
constexpr const char* kSealedSettings[] = {AccountClient::kSessionTokenKey,
                                           HostSyncController::kPassphraseKey,
                                           HostSyncController::kPassphraseAccountKey};

} // namespace

MasterPasswordActions::MasterPasswordActions(CryptoManager* crypto, ConfigManager* config,
                                             DatabaseManager* db, AppLock* appLock, QObject* parent)
    : QObject(parent), m_crypto(crypto), m_config(config), m_db(db), m_appLock(appLock)
{
}

bool MasterPasswordActions::hasMasterPassword() const
{
    return m_crypto->hasMasterPassword();
}

int MasterPasswordActions::run(MasterPasswordDialog& dialog)
{
    return m_runDialog ? m_runDialog(dialog) : dialog.exec();
}

void MasterPasswordActions::storeEnabled(bool enabled)
{
    m_config->setMasterPasswordEnabled(enabled);
    if (!m_config->save()) {
        SPDLOG_WARN("主密码设置未能写入配置文件");
    }
    emit masterPasswordChanged();
}

void MasterPasswordActions::adoptKeyFileState()
{
    if (m_crypto->hasMasterPassword() && !m_config->config().master_password) {
        SPDLOG_INFO("设备密钥已受主密码保护，配置随之改为使用主密码");
        storeEnabled(true);
    }
}

void MasterPasswordActions::offerInitialSetup(QWidget* parent)
{
    adoptKeyFileState();
    if (!m_config->config().master_password || m_crypto->hasMasterPassword()) {
        return;
    }
    bool declined = false;
    offerSet(parent, true, &declined);
    if (declined) {
        storeEnabled(false);
    }
}

bool MasterPasswordActions::offerSet(QWidget* parent, bool offerDecline, bool* declined)
{
    MasterPasswordDialog dialog(
        MasterPasswordDialog::Mode::Set, m_appLock,
        [this](const QString&, const QString& next, QString* error) {
            return m_crypto->setMasterPassword(QString(), next, error);
        },
        offerDecline, parent);
    const int result = run(dialog);
    *declined = result == MasterPasswordDialog::kDeclined;
    if (result != QDialog::Accepted) {
        return false;
    }
    SPDLOG_INFO("已设置主密码");
    storeEnabled(true);
    return true;
}

bool MasterPasswordActions::setOrChange(QWidget* parent)
{
    if (!m_crypto->hasMasterPassword()) {
        bool declined = false;
        return offerSet(parent, false, &declined);
    }
    MasterPasswordDialog dialog(
        MasterPasswordDialog::Mode::Change, m_appLock,
        [this](const QString& current, const QString& next, QString* error) {
            return m_crypto->setMasterPassword(current, next, error);
        },
        false, parent);
    if (run(dialog) != QDialog::Accepted) {
        return false;
    }
    SPDLOG_INFO("已更改主密码");
    storeEnabled(true);
    return true;
}

bool MasterPasswordActions::remove(QWidget* parent)
{
    if (!m_crypto->hasMasterPassword()) {
        return false;
    }
    MasterPasswordDialog dialog(
        MasterPasswordDialog::Mode::Remove, m_appLock,
        [this](const QString& current, const QString&, QString* error) {
            return m_crypto->removeMasterPassword(current, error);
        },
        false, parent);
    if (run(dialog) != QDialog::Accepted) {
        return false;
    }
    SPDLOG_INFO("已移除主密码");
    storeEnabled(false);
    return true;
}

bool MasterPasswordActions::resetForgotten(QWidget* parent)
{
    const auto answer = QMessageBox::warning(
        parent, QStringLiteral("重置主密码"),
        QStringLiteral("重置后所有主机都会保留，但每台主机已保存的密码、已登录的会员账号会话和主机云同步"
                       "密码都会被清除，且无法恢复。\n确定要重置主密码吗？"),
        QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
    if (answer != QMessageBox::Yes) {
        return false;
    }
    // Passwords first: while the old key is still in place a failure here loses nothing.
    if (!m_db->clearPasswords()) {
        QMessageBox::critical(parent, QStringLiteral("重置失败"),
                              QStringLiteral("无法清除已保存的主机密码，没有做任何更改。"));
        return false;
    }
    QString error;
    if (!m_crypto->replaceWithNewKeys(&error)) {
        QMessageBox::critical(parent, QStringLiteral("重置失败"),
                              QStringLiteral("主机密码已清除，但无法生成新的设备密钥：%1").arg(error));
        return false;
    }
    QSettings settings;
    for (const char* key : kSealedSettings) {
        settings.remove(key);
    }
    settings.sync();
    storeEnabled(false);
    SPDLOG_WARN("主密码已重置：设备密钥已更换，已保存的主机密码已清除");
    if (m_appLock) {
        m_appLock->keysReplaced();
    }
    bool declined = false;
    offerSet(parent, false, &declined);
    return true;
}

bool MasterPasswordActions::confirmForSecret(QWidget* parent)
{
    if (!m_crypto->hasMasterPassword() || (m_appLock && m_appLock->recentlyConfirmed())) {
        return true;
    }
    if (!m_appLock) {
        return false;
    }
    // Confirmation alone: the check (with its wait) is the dialog's.
    MasterPasswordDialog dialog(MasterPasswordDialog::Mode::Confirm, m_appLock, {}, false, parent);
    return run(dialog) == QDialog::Accepted;
}
