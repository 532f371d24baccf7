#include "ui/sync_center.h"

#include <QMessageBox>
#include <QPushButton>
#include <QStringList>

QString SyncCenter::informativeText(const Status& status)
{
    const QString revision =
        status.cloudStateKnown ? QString::number(status.cloudRevision) : QStringLiteral("正在读取");
    const QString synced =
        status.cloudUpdatedAt.isValid()
            ? status.cloudUpdatedAt.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm"))
            : QStringLiteral("尚未同步");
    return QStringLiteral("云端版本：%1\n最近同步：%2\n本机主机：%3 "
                          "台\n\n自动同步已开启；服务器无法查看主机地址、用户名或密码。")
        .arg(revision, synced)
        .arg(status.localHosts);
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
    QMessageBox box(QMessageBox::Information, QStringLiteral("主机云同步"),
                    QStringLiteral("端到端加密云同步已开启"), QMessageBox::NoButton, parent);
    const QString keys = keysText(status);
    box.setInformativeText(informativeText(status) +
                           (keys.isEmpty() ? QString() : QStringLiteral("\n\n") + keys));
    QPushButton* upload = box.addButton(QStringLiteral("立即上传"), QMessageBox::ActionRole);
    QPushButton* restore = box.addButton(QStringLiteral("从云端恢复"), QMessageBox::ActionRole);
    QPushButton* change = box.addButton(QStringLiteral("更改同步密码"), QMessageBox::ActionRole);
    QPushButton* accept = nullptr;
    for (const Peer& peer : status.peers) {
        if (peer.state == Peer::State::Changed && !accept) {
            accept = box.addButton(QStringLiteral("接受已变化的密钥"), QMessageBox::ActionRole);
        }
    }
    box.addButton(QMessageBox::Close)->setText(QStringLiteral("关闭"));
    box.exec();
    if (box.clickedButton() == upload) {
        return Action::UploadNow;
    }
    if (box.clickedButton() == restore) {
        return Action::Restore;
    }
    if (box.clickedButton() == change) {
        return Action::ChangePassphrase;
    }
    if (accept && box.clickedButton() == accept) {
        return Action::AcceptChangedKeys;
    }
    return Action::Close;
}
