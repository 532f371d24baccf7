#include "ui/sync_center.h"

#include <QMessageBox>
#include <QPushButton>

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

SyncCenter::Action SyncCenter::choose(QWidget* parent, const Status& status)
{
    QMessageBox box(QMessageBox::Information, QStringLiteral("主机云同步"),
                    QStringLiteral("端到端加密云同步已开启"), QMessageBox::NoButton, parent);
    box.setInformativeText(informativeText(status));
    QPushButton* upload = box.addButton(QStringLiteral("立即上传"), QMessageBox::ActionRole);
    QPushButton* restore = box.addButton(QStringLiteral("从云端恢复"), QMessageBox::ActionRole);
    QPushButton* change = box.addButton(QStringLiteral("更改同步密码"), QMessageBox::ActionRole);
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
    return Action::Close;
}
