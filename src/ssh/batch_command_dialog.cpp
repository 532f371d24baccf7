#include "ssh/batch_command_dialog.h"

#include <QMessageBox>

#include <array>
#include <utility>

namespace {

const std::array<std::pair<const char16_t*, const char16_t*>, 4> kPresets = {{
    {u"查看系统信息", u"uname -a && cat /etc/os-release 2>/dev/null | head -n 8"},
    {u"查看磁盘使用", u"df -h"},
    {u"查看内存使用", u"free -h 2>/dev/null || vmstat -s"},
    {u"查看运行时间", u"uptime"},
}};

const QString kCustomItem = QStringLiteral("自定义只读/运维命令");

} // namespace

BatchCommandDialog::BatchCommandDialog(int hostCount, QWidget* parent) : QInputDialog(parent)
{
    setWindowTitle(QStringLiteral("Linux 批量控制"));
    // What really happens at log-in: a stored password is given by the askpass program, other hosts
    // use keys or the agent, and ssh never stops to ask.
    setLabelText(QStringLiteral("选择在 %1 台 Linux 主机上执行的命令\n"
                                "已保存密码的主机由 SSH 自动登录组件使用该密码登录，其余主机使用 SSH 密钥或 "
                                "ssh-agent；不会弹出密码提示，密码也不会出现在命令行中。")
                     .arg(hostCount));
    setComboBoxItems(items());
    setComboBoxEditable(false);
    setTextValue(items().constFirst());
}

QStringList BatchCommandDialog::items()
{
    QStringList names;
    for (const auto& preset : kPresets) {
        names.append(QString::fromUtf16(preset.first));
    }
    names.append(kCustomItem);
    return names;
}

QString BatchCommandDialog::presetCommand(const QString& item)
{
    for (const auto& preset : kPresets) {
        if (item == QString::fromUtf16(preset.first)) {
            return QString::fromUtf16(preset.second);
        }
    }
    return {};
}

QString BatchCommandDialog::askCommand(int hostCount, QWidget* parent)
{
    QString item;
    {
        BatchCommandDialog chooser(hostCount, parent);
        if (chooser.exec() != QDialog::Accepted) {
            return {};
        }
        item = chooser.textValue();
    }
    const QString preset = presetCommand(item);
    if (!preset.isEmpty()) {
        return preset;
    }

    bool ok = false;
    const QString command =
        QInputDialog::getMultiLineText(
            parent, QStringLiteral("自定义 Linux 命令"),
            QStringLiteral("命令将在所有选中主机执行。请勿输入交互式命令；涉及 sudo 时应预先配置最小权限。"),
            QString(), &ok)
            .trimmed();
    if (!ok || command.isEmpty()) {
        return {};
    }
    const auto answer = QMessageBox::warning(
        parent, QStringLiteral("确认自定义命令"),
        QStringLiteral("自定义命令可能修改远程系统。确认在 %1 台 Linux 主机执行吗？\n\n%2")
            .arg(QString::number(hostCount), command),
        QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
    return answer == QMessageBox::Yes ? command : QString();
}
