#include "ui/account_actions.h"

#include "cloud/account_client.h"
#include "cloud/host_sync_controller.h"
#include "storage/config_manager.h"
#include "storage/database_manager.h"
#include "ui/registration_dialog.h"
#include "ui/sign_in_dialog.h"
#include "ui/sync_center.h"
#include "ui/sync_passphrase_dialog.h"

#include <QApplication>

#include <QMessageBox>
#include <QPushButton>
#include <algorithm>

AccountActions::AccountActions(QWidget* window, AccountClient* account, DatabaseManager* database,
                               ConfigManager* config, CryptoManager* crypto,
                               std::function<void(const QString&, int)> status, std::function<void()> reload,
                               QObject* parent)
    : QObject(parent), m_window(window), m_account(account), m_db(database), m_config(config),
      m_status(std::move(status)), m_reload(std::move(reload))
{
    m_sync = new HostSyncController(database, config, crypto, account, this, this);
    // The account card follows what the sync did (turned on, or left off after a cancel).
    connect(m_sync, &HostSyncController::syncSettled, this, &AccountActions::syncSwitched);
    // Over the sign-in or registration dialog while one is open: it stays, with what was typed.
    const auto warn = [this](const QString& title, const QString& message) {
        QWidget* modal = QApplication::activeModalWidget();
        QMessageBox::warning(modal ? modal : m_window.data(), title, message);
    };
    connect(m_account, &AccountClient::loginFailed, this,
            [warn](const QString& message) { warn(QStringLiteral("登录失败"), message); });
    connect(m_account, &AccountClient::registrationFailed, this,
            [warn](const QString& message) { warn(QStringLiteral("注册失败"), message); });
    connect(m_account, &AccountClient::requestFailed, this,
            [warn](const QString& message) { warn(QStringLiteral("会员服务"), message); });
    connect(m_account, &AccountClient::registered, this, [this](const QString& name) {
        m_status(QStringLiteral("已注册会员账号 %1，并已自动登录。").arg(name), 7000);
    });
}

AccountActions::~AccountActions()
{
    setSyncBusy(false);
}

void AccountActions::showLogin()
{
    SignInDialog dialog(m_portal, m_window);
    dialog.setAccountClient(m_account); // the dialog signs in and closes once signed in
    bool toRegistration = false;
    connect(&dialog, &SignInDialog::registrationRequested, this,
            [&toRegistration] { toRegistration = true; });
    dialog.exec();
    if (toRegistration) {
        showRegister();
    }
}

void AccountActions::showRegister()
{
    RegistrationDialog dialog(m_window);
    dialog.setAccountClient(m_account); // the dialog registers and closes once signed in
    bool toSignIn = false;
    connect(&dialog, &RegistrationDialog::signInRequested, this, [&toSignIn] { toSignIn = true; });
    dialog.exec();
    if (toSignIn) {
        showLogin();
    }
}

void AccountActions::logoutAccount()
{
    if (!m_account->isSignedIn()) {
        return;
    }
    const auto answer =
        QMessageBox::question(m_window, QStringLiteral("退出会员账号"),
                              QStringLiteral("确定退出当前账号 %1 吗？\n本机保存的远程主机不会被删除。")
                                  .arg(m_account->account().email),
                              QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
    if (answer == QMessageBox::Yes) {
        m_account->logout();
    }
}

void AccountActions::showCloudSyncCenter()
{
    if (!m_account->isSignedIn()) {
        showLogin();
        return;
    }
    if (m_account->isPartnerMode()) {
        QMessageBox::information(
            m_window, QStringLiteral("主机云同步"),
            QStringLiteral("云同步需要登录 NIMBARA 会员账号；合作云账号只导入其服务器，不提供云同步。"));
        return;
    }
    if (!m_config->config().sync_enabled) {
        const auto answer = QMessageBox::question(
            m_window, QStringLiteral("开启主机云同步"),
            QStringLiteral(
                "是否开启端到端加密主机云同步？\n服务器只保存密文。本账号第一次开启时需要设置同步密码；"
                "已在其他电脑开启过的，输入当时设置的同步密码。"),
            QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes);
        if (answer == QMessageBox::Yes) {
            m_sync->enableSync();
            emit syncSwitched();
        }
        return;
    }
    SyncCenter::Status status;
    status.cloudStateKnown = m_sync->isCloudStateKnown();
    status.inProgress = m_sync->isSyncInProgress();
    status.autoSync = m_config->config().auto_sync;
    status.passphraseMissing = m_sync->storedSyncPassphrase().isEmpty();
    status.cloudRevision = m_sync->cloudRevision();
    status.lastSyncedHere = m_sync->lastSyncedHere();
    status.localHosts = m_sync->visibleHostCount();
    status.pendingChanges = std::max(0, m_sync->pendingChanges());
    status.problem = m_sync->lastProblem();
    status.ownFingerprint = m_sync->ownFingerprint();
    status.member = !m_sync->isMainAccount();
    for (const HostSyncController::PeerKey& peer : m_sync->peerKeys()) {
        status.peers.append({peer.email, peer.fingerprint, peer.state});
    }
    switch (SyncCenter::choose(m_window, status)) {
    case SyncCenter::Action::AcceptChangedKeys:
        if (QMessageBox::warning(
                m_window, QStringLiteral("接受已变化的密钥"),
                QStringLiteral("只有在当面或电话核对过对方显示的新指纹后才应接受。\n%1\n继续吗？")
                    .arg(SyncCenter::keysText(status)),
                QMessageBox::Yes | QMessageBox::No, QMessageBox::No) == QMessageBox::Yes) {
            for (const HostSyncController::PeerKey& peer : m_sync->peerKeys()) {
                if (peer.state == HostSyncController::PeerKey::State::Changed) {
                    m_sync->acceptChangedKey(peer.id);
                }
            }
        }
        break;
    case SyncCenter::Action::UploadNow:
        if (m_sync->isCloudStateKnown()) {
            m_sync->uploadHostSyncNow();
        } else {
            m_sync->startHostSyncDownload(false); // the cloud state must be read first
        }
        break;
    case SyncCenter::Action::EnterPassphrase:
        m_sync->startHostSyncDownload(false);
        break;
    case SyncCenter::Action::Restore:
        if (QMessageBox::question(
                m_window, QStringLiteral("从云端恢复"),
                QStringLiteral("云端主机会与本机数据安全合并，不会删除本机独有主机。继续吗？"),
                QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes) == QMessageBox::Yes) {
            m_sync->startHostSyncDownload(true);
        }
        break;
    case SyncCenter::Action::ChangePassphrase:
        if (QMessageBox::warning(m_window, QStringLiteral("更改同步密码"),
                                 QStringLiteral("更改后将用新密码重新加密本账号保存在云端的同步密钥。本账号的"
                                                "其他电脑下次启动或登录后同步时"
                                                "会要求输入新密码。继续吗？"),
                                 QMessageBox::Yes | QMessageBox::No, QMessageBox::No) == QMessageBox::Yes) {
            m_sync->changeSyncPassphrase();
        }
        break;
    case SyncCenter::Action::Close:
        break;
    }
}

std::optional<QString> AccountActions::askSyncPassphrase(PassphraseMode mode, const QString& problem)
{
    return SyncPassphraseDialog::ask(m_window, mode, problem);
}

void AccountActions::showSyncState(const QString& text)
{
    if (m_syncState) {
        m_syncState(text);
    }
}

HostSyncUi::ConflictChoice AccountActions::resolveConflicts(const QList<Conflict>& conflicts)
{
    const auto describe = [](const Remote& remote) {
        return QStringLiteral("%1  %2:%3  用户 %4  备注“%5”  修改于 %6")
            .arg(remote.name, remote.host)
            .arg(remote.port)
            .arg(remote.username, remote.remark,
                 remote.updated_at.isValid()
                     ? remote.updated_at.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))
                     : QStringLiteral("未知"));
    };
    QStringList lines;
    for (const Conflict& conflict : conflicts) {
        lines.append(QStringLiteral("【%1】").arg(conflict.local.name.isEmpty() ? conflict.local.host
                                                                                : conflict.local.name));
        lines.append(QStringLiteral("  本机：%1").arg(describe(conflict.local)));
        lines.append(QStringLiteral("  云端：%1").arg(describe(conflict.cloud)));
        lines.append(conflict.local.password != conflict.cloud.password
                         ? QStringLiteral("  两边保存的密码不同")
                         : QStringLiteral("  两边保存的密码相同"));
    }
    QMessageBox box(QMessageBox::Question, QStringLiteral("同步冲突"),
                    QStringLiteral("%1 台主机在本机和另一台电脑上都被修改过，请选择保留哪一边的版本。")
                        .arg(conflicts.size()),
                    QMessageBox::NoButton, m_window);
    // The first five in the box, all of them in the details.
    box.setInformativeText(lines.mid(0, 4 * 5).join(QLatin1Char('\n')) +
                           (conflicts.size() > 5 ? QStringLiteral("\n……（完整列表见详细信息）") : QString()));
    box.setDetailedText(lines.join(QLatin1Char('\n')));
    QPushButton* local = box.addButton(QStringLiteral("保留本机版本"), QMessageBox::AcceptRole);
    QPushButton* cloud = box.addButton(QStringLiteral("使用云端版本"), QMessageBox::ActionRole);
    box.setDefaultButton(local);
    box.exec();
    return box.clickedButton() == cloud ? ConflictChoice::TakeCloud : ConflictChoice::KeepLocal;
}

bool AccountActions::offerSync(const QString& email)
{
    return QMessageBox::question(
               m_window, QStringLiteral("云端已有本账号的主机"),
               QStringLiteral(
                   "账号 %1 已在其他电脑上开启主机云同步，云端保存着加密的主机列表。\n"
                   "要在这台电脑上开启云同步并读取这些主机吗？需要输入在第一台电脑上设置的同步密码；"
                   "本机已有的主机不会被删除。")
                   .arg(email),
               QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes) == QMessageBox::Yes;
}

void AccountActions::showSyncMessage(MessageKind kind, const QString& title, const QString& text)
{
    if (kind == MessageKind::Warning) {
        QMessageBox::warning(m_window, title, text);
    } else {
        QMessageBox::information(m_window, title, text);
    }
}

void AccountActions::showSyncStatus(const QString& text, int timeoutMs)
{
    m_status(text, timeoutMs);
}

void AccountActions::reloadInventory()
{
    m_reload();
}

HostSyncUi::EarlierHostsChoice AccountActions::askAboutEarlierHosts(const QString& earlierAccounts,
                                                                    const QStringList& hostNames, int count,
                                                                    const QString& currentAccount)
{
    QMessageBox box(QMessageBox::Question, QStringLiteral("其他账号的主机"),
                    QStringLiteral("本机有 %1 台主机来自账号 %2 的云端，而现在登录的是 %3。")
                        .arg(count)
                        .arg(earlierAccounts, currentAccount),
                    QMessageBox::NoButton, m_window);
    box.setInformativeText(QStringLiteral("例如：%1\n\n在你决定之前，它们不会上传到当前账号。")
                               .arg(hostNames.join(QStringLiteral("、"))));
    QPushButton* keep = box.addButton(QStringLiteral("保留并同步到当前账号"), QMessageBox::AcceptRole);
    QPushButton* local = box.addButton(QStringLiteral("仅保留在本机"), QMessageBox::ActionRole);
    QPushButton* remove = box.addButton(QStringLiteral("从本机删除"), QMessageBox::DestructiveRole);
    box.addButton(QStringLiteral("稍后决定"), QMessageBox::RejectRole);
    box.exec();
    if (box.clickedButton() == keep) {
        return EarlierHostsChoice::KeepInAccount;
    }
    if (box.clickedButton() == local) {
        return EarlierHostsChoice::KeepLocalOnly;
    }
    if (box.clickedButton() == remove &&
        QMessageBox::warning(m_window, QStringLiteral("从本机删除"),
                             QStringLiteral("确定从本机删除这 %1 台主机及其保存的密码吗？").arg(count),
                             QMessageBox::Yes | QMessageBox::No, QMessageBox::No) == QMessageBox::Yes) {
        return EarlierHostsChoice::Remove;
    }
    return EarlierHostsChoice::Undecided;
}

void AccountActions::setSyncBusy(bool busy)
{
    // A key derivation takes a moment on a worker thread: the window stays usable and shows it.
    if (busy && !m_busyCursor) {
        QApplication::setOverrideCursor(Qt::BusyCursor);
        m_busyCursor = true;
    } else if (!busy && m_busyCursor) {
        QApplication::restoreOverrideCursor();
        m_busyCursor = false;
    }
}
