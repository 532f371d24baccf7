#include "ui/sync_center.h"

#include <QMessageBox>
#include <QPushButton>
#include <QStringList>

QString SyncCenter::headline(const Status& status)
{
    if (status.cloudStateKnown) {
        return QStringLiteral("端到端加密云同步已开启");
    }
    if (status.inProgress) {
        return QStringLiteral("端到端加密云同步已开启，正在读取云端数据");
    }
    if (status.passphraseMissing) {
        return QStringLiteral("端到端加密云同步已开启，等待输入同步密码");
    }
    return QStringLiteral("端到端加密云同步已开启，但本机尚未读取云端数据");
}

QString SyncCenter::informativeText(const Status& status)
{
    QStringList lines;
    lines.append(QStringLiteral("云端版本：%1")
                     .arg(status.cloudStateKnown ? QString::number(status.cloudRevision)
                          : status.inProgress    ? QStringLiteral("正在读取")
                                                 : QStringLiteral("未知")));
    lines.append(QStringLiteral("本机最近同步：%1")
                     .arg(status.lastSyncedHere.isValid() ? status.lastSyncedHere.toLocalTime().toString(
                                                                QStringLiteral("yyyy-MM-dd HH:mm"))
                                                          : QStringLiteral("尚未同步")));
    lines.append(status.member ? QStringLiteral("团队主机：%1 台（主账号共享，只读）").arg(status.localHosts)
                               : QStringLiteral("本机主机：%1 台").arg(status.localHosts));
    if (!status.member && status.pendingChanges > 0) {
        lines.append(QStringLiteral("%1 处更改尚未上传").arg(status.pendingChanges));
    }
    if (!status.problem.isEmpty()) {
        lines.append(QStringLiteral("上次同步未完成：%1").arg(status.problem));
    }
    lines.append(QString());
    lines.append(status.autoSync ? QStringLiteral("自动同步已开启；服务器无法查看主机地址、用户名或密码。")
                                 : QStringLiteral("自动同步已关闭；服务器无法查看主机地址、用户名或密码。"));
    return lines.join(QLatin1Char('\n'));
}

QString SyncCenter::keysText(const Status& status)
{
    QStringList lines;
    if (!status.ownFingerprint.isEmpty()) {
        lines.append(QStringLiteral("本账号密钥指纹：%1").arg(status.ownFingerprint));
    }
    if (!status.peers.isEmpty()) {
        lines.append(status.member ? QStringLiteral("主账号密钥（请与主账号核对指纹）：")
                                   : QStringLiteral("团队成员密钥（请与各成员核对指纹）："));
    }
    for (const Peer& peer : status.peers) {
        switch (peer.state) {
        case Peer::State::Trusted:
            lines.append(QStringLiteral("  %1  %2").arg(peer.email, peer.fingerprint));
            break;
        case Peer::State::FirstSeen:
            lines.append(QStringLiteral("  %1  %2（首次见到，已信任）").arg(peer.email, peer.fingerprint));
            break;
        case Peer::State::Changed:
            lines.append(QStringLiteral("  %1  %2（密钥已变化，确认前不共享、不合并）")
                             .arg(peer.email, peer.fingerprint));
            break;
        case Peer::State::NoKeys:
            lines.append(QStringLiteral("  %1（尚未开启云同步）").arg(peer.email));
            break;
        }
    }
    return lines.join(QLatin1Char('\n'));
}

SyncCenter::Action SyncCenter::choose(QWidget* parent, const Status& status)
{
    QMessageBox box(QMessageBox::Information, QStringLiteral("主机云同步"), headline(status),
                    QMessageBox::NoButton, parent);
    const QString keys = keysText(status);
    box.setInformativeText(informativeText(status) +
                           (keys.isEmpty() ? QString() : QStringLiteral("\n\n") + keys));
    QList<std::pair<QPushButton*, Action>> actions;
    const auto add = [&](const QString& text, Action action) {
        actions.append({box.addButton(text, QMessageBox::ActionRole), action});
    };
    if (status.passphraseMissing) {
        add(QStringLiteral("输入同步密码"), Action::EnterPassphrase);
    } else {
        // Members never upload and have nothing of the team's to re-encrypt.
        if (!status.member) {
            add(QStringLiteral("立即上传"), Action::UploadNow);
        }
        add(QStringLiteral("从云端恢复"), Action::Restore);
        if (!status.member) {
            add(QStringLiteral("更改同步密码"), Action::ChangePassphrase);
        }
    }
    for (const Peer& peer : status.peers) {
        if (peer.state == Peer::State::Changed) {
            add(QStringLiteral("接受已变化的密钥"), Action::AcceptChangedKeys);
            break;
        }
    }
    box.addButton(QMessageBox::Close)->setText(QStringLiteral("关闭"));
    box.exec();
    for (const auto& [button, action] : actions) {
        if (box.clickedButton() == button) {
            return action;
        }
    }
    return Action::Close;
}
