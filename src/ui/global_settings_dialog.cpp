#include "ui/global_settings_dialog.h"

#include "cloud/service_endpoint.h"
#include "platform/process_launcher.h"
#include "ssh/terminal_launcher.h"
#include "storage/config_manager.h"
#include "ui/master_password_actions.h"
#include "ui/session_settings_group.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QSpinBox>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>
#include <initializer_list>
#include <utility>

namespace {

const QString kSyncNeedsMember = QStringLiteral("登录会员账号后可开启主机云同步。");
const QString kLockNeedsMasterPassword = QStringLiteral("需要先设置主密码：没有主密码时锁定后无法验证身份。");

QComboBox* makeComboBox(QWidget* parent, const char* objectName,
                        std::initializer_list<std::pair<QString, int>> items)
{
    auto* box = new QComboBox(parent);
    box->setObjectName(QLatin1String(objectName));
    for (const auto& [text, value] : items) {
        box->addItem(text, value);
    }
    return box;
}

QSpinBox* makeSpinBox(QWidget* parent, const char* objectName, int minimum, int maximum, int value)
{
    auto* box = new QSpinBox(parent);
    box->setObjectName(QLatin1String(objectName));
    box->setRange(minimum, maximum);
    box->setValue(value);
    return box;
}

// Values the box does not list select its first item.
void selectValue(QComboBox* box, const QVariant& value)
{
    box->setCurrentIndex(std::max(0, box->findData(value)));
}

} // namespace

GlobalSettingsDialog::GlobalSettingsDialog(ConfigManager* config, const TerminalLauncher& terminals,
                                           QWidget* parent)
    : QDialog(parent), m_config(config)
{
    const AppConfig& current = config->config();
    setWindowTitle(QStringLiteral("全局设置"));
    setModal(true);
    setMinimumWidth(460);

    auto* form = new QFormLayout;

    // The recommended automatic mode comes first although its stored value is the highest.
    m_kernel =
        makeComboBox(this, "kernelBox",
                     {{QStringLiteral("自动混合（推荐）"), static_cast<int>(RdpKernel::Auto)},
                      {QStringLiteral("极速模式（FreeRDP）"), static_cast<int>(RdpKernel::FreeRdp)},
                      {QStringLiteral("兼容模式（系统 RDP 客户端）"), static_cast<int>(RdpKernel::Mstsc)}});
    selectValue(m_kernel, static_cast<int>(current.default_kernel));
    // The tip describes the mode that is selected, and follows the choice.
    const auto describeKernel = [this] {
        switch (static_cast<RdpKernel>(m_kernel->currentData().toInt())) {
        case RdpKernel::FreeRdp:
            m_kernel->setToolTip(QStringLiteral("极速模式：屏幕墙的主机全部使用内嵌的 FreeRDP，"
                                                "不切换到系统 RDP 客户端。"));
            return;
        case RdpKernel::Mstsc:
            m_kernel->setToolTip(
                QStringLiteral("兼容模式：屏幕墙的主机全部使用系统 RDP 客户端（xfreerdp）。"));
            return;
        case RdpKernel::Auto:
            break;
        }
        m_kernel->setToolTip(QStringLiteral("自动混合：屏幕墙优先使用 FreeRDP，遇到协议兼容问题时仅将失败"
                                            "主机切换到系统 RDP 客户端。"));
    };
    describeKernel();
    connect(m_kernel, &QComboBox::currentIndexChanged, this, describeKernel);
    form->addRow(QStringLiteral("屏幕墙连接模式"), m_kernel);

    // Two short sentences on lines of their own: wrapped as one, a word broke across the lines.
    auto* kernelNote = new QLabel(QStringLiteral("此选项只控制屏幕墙与多屏打开的会话。\n"
                                                 "单台“远程连接”始终使用系统 RDP 客户端。"),
                                  this);
    kernelNote->setObjectName(QStringLiteral("kernelNote"));
    kernelNote->setWordWrap(true);
    form->addRow(kernelNote);

    m_resolution =
        makeComboBox(this, "resolutionBox",
                     {{QStringLiteral("全屏（当前显示器）"), static_cast<int>(ResolutionMode::Fullscreen)},
                      {QStringLiteral("窗口 1280 × 720"), static_cast<int>(ResolutionMode::Window)},
                      {QStringLiteral("自定义分辨率"), static_cast<int>(ResolutionMode::Custom)}});
    selectValue(m_resolution, static_cast<int>(current.default_resolution));
    form->addRow(QStringLiteral("默认分辨率"), m_resolution);

    m_width = makeSpinBox(this, "widthBox", ConfigManager::kMinCustomWidth, ConfigManager::kMaxCustomWidth,
                          current.custom_width);
    form->addRow(QStringLiteral("自定义宽度"), m_width);
    m_height = makeSpinBox(this, "heightBox", ConfigManager::kMinCustomHeight,
                           ConfigManager::kMaxCustomHeight, current.custom_height);
    form->addRow(QStringLiteral("自定义高度"), m_height);

    m_depth = new QComboBox(this);
    m_depth->setObjectName(QStringLiteral("depthBox"));
    for (const int depth : {16, 24, 32}) {
        m_depth->addItem(QStringLiteral("%1 位").arg(depth), depth);
    }
    selectValue(m_depth, current.color_depth);
    form->addRow(QStringLiteral("颜色深度"), m_depth);

    m_timeout = makeSpinBox(this, "timeoutBox", ConfigManager::kMinConnectTimeout,
                            ConfigManager::kMaxConnectTimeout, current.connect_timeout);
    m_timeout->setSuffix(QStringLiteral(" 秒"));
    m_timeout->setToolTip(QStringLiteral("RDP 会话（FreeRDP 与系统 RDP 客户端）等待连接建立的最长时间。"));
    form->addRow(QStringLiteral("连接超时"), m_timeout);

    m_terminal = new QComboBox(this);
    m_terminal->setObjectName(QStringLiteral("terminalBox"));
    m_terminal->setToolTip(
        QStringLiteral("打开 SSH 连接时使用的终端程序；“自动”依次尝试 x-terminal-emulator、"
                       "$TERMINAL 和常见终端。"));
    addTerminalChoices(terminals, current.ssh_terminal);
    form->addRow(QStringLiteral("SSH 终端"), m_terminal);

    m_sync = new QCheckBox(QStringLiteral("开启主机云同步（端到端加密，可随时关闭）"), this);
    m_sync->setObjectName(QStringLiteral("syncBox"));
    m_sync->setChecked(current.sync_enabled);
    m_sync->setEnabled(false);
    m_sync->setToolTip(kSyncNeedsMember);
    form->addRow(QStringLiteral("会员功能"), m_sync);
    // Where accounts and the encrypted host copy live ([account] service_url): a team with its own
    // server sees that it is the one in use.
    m_serviceAddress = new QLabel(this);
    m_serviceAddress->setObjectName(QStringLiteral("accountServiceAddress"));
    m_serviceAddress->setTextInteractionFlags(Qt::TextSelectableByMouse);
    form->addRow(QStringLiteral("会员服务地址"), m_serviceAddress);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Save | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Save)->setText(QStringLiteral("保存全局设置"));
    connect(buttons, &QDialogButtonBox::accepted, this, &GlobalSettingsDialog::save);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    m_sessionGroup = new SessionSettingsGroup(current, this);
    layout->addWidget(m_sessionGroup);
    addSecurityGroup(layout);
    layout->addWidget(buttons);

    connect(m_resolution, &QComboBox::currentIndexChanged, this, &GlobalSettingsDialog::updateSizeBoxes);
    updateSizeBoxes();
}

void GlobalSettingsDialog::addSecurityGroup(QLayout* layout)
{
    const AppConfig& current = m_config->config();
    auto* group = new QGroupBox(QStringLiteral("安全"), this);
    group->setObjectName(QStringLiteral("securityGroup"));
    auto* form = new QFormLayout(group);

    auto* masterRow = new QHBoxLayout;
    m_masterPasswordState = new QLabel(group);
    m_masterPasswordState->setObjectName(QStringLiteral("masterPasswordState"));
    masterRow->addWidget(m_masterPasswordState);
    masterRow->addStretch();
    const auto addButton = [&](const char* name, const QString& text,
                               bool (MasterPasswordActions::*act)(QWidget*)) {
        auto* button = new QPushButton(text, group);
        button->setObjectName(QLatin1String(name));
        connect(button, &QPushButton::clicked, this, [this, act] {
            if (m_masterPassword) {
                (m_masterPassword->*act)(this);
                updateSecurityRows();
            }
        });
        masterRow->addWidget(button);
        return button;
    };
    m_setMasterPassword =
        addButton("setMasterPasswordButton", QStringLiteral("设置…"), &MasterPasswordActions::setOrChange);
    m_changeMasterPassword =
        addButton("changeMasterPasswordButton", QStringLiteral("更改…"), &MasterPasswordActions::setOrChange);
    m_removeMasterPassword =
        addButton("removeMasterPasswordButton", QStringLiteral("移除…"), &MasterPasswordActions::remove);
    form->addRow(QStringLiteral("主密码"), masterRow);

    m_autoLock = new QCheckBox(QStringLiteral("空闲时自动锁定"), group);
    m_autoLock->setObjectName(QStringLiteral("autoLockBox"));
    m_autoLock->setChecked(current.auto_lock);
    form->addRow(QStringLiteral("自动锁定"), m_autoLock);

    m_autoLockTimeout = makeSpinBox(group, "autoLockTimeoutBox", ConfigManager::kMinAutoLockTimeout,
                                    ConfigManager::kMaxAutoLockTimeout, current.auto_lock_timeout);
    m_autoLockTimeout->setSuffix(QStringLiteral(" 秒"));
    m_autoLockTimeout->setToolTip(QStringLiteral("无人操作多长时间后锁定。"));
    form->addRow(QStringLiteral("锁定等待"), m_autoLockTimeout);

    m_showPassword = new QCheckBox(QStringLiteral("编辑主机时直接显示密码"), group);
    m_showPassword->setObjectName(QStringLiteral("showPasswordBox"));
    m_showPassword->setChecked(current.show_password);
    form->addRow(QStringLiteral("显示密码"), m_showPassword);

    connect(m_autoLock, &QCheckBox::toggled, this, &GlobalSettingsDialog::updateSecurityRows);
    layout->addWidget(group);
    updateSecurityRows();
}

void GlobalSettingsDialog::setMasterPasswordActions(MasterPasswordActions* actions)
{
    m_masterPassword = actions;
    updateSecurityRows();
}

void GlobalSettingsDialog::updateSecurityRows()
{
    const bool usable = m_masterPassword != nullptr;
    const bool set = usable && m_masterPassword->hasMasterPassword();
    m_masterPasswordState->setText(set ? QStringLiteral("已设置") : QStringLiteral("未设置"));
    m_setMasterPassword->setVisible(!set);
    m_setMasterPassword->setEnabled(usable);
    m_changeMasterPassword->setVisible(set);
    m_removeMasterPassword->setVisible(set);
    m_autoLock->setEnabled(set);
    m_autoLock->setToolTip(set ? QString() : kLockNeedsMasterPassword);
    m_autoLockTimeout->setEnabled(set && m_autoLock->isChecked());
}

void GlobalSettingsDialog::setAccountServiceAddress(const QString& address)
{
    // The client takes its address from the configuration at start only: one changed in the file
    // since is named as the address of the next start.
    const QString next = accountServiceEndpoint(m_config->config()).baseUrl;
    const auto same = [](const QString& a, const QString& b) {
        return QUrl(a).adjusted(QUrl::StripTrailingSlash) == QUrl(b).adjusted(QUrl::StripTrailingSlash);
    };
    if (address.isEmpty() || next.isEmpty() || same(address, next)) {
        m_serviceAddress->setText(address);
        return;
    }
    m_serviceAddress->setText(QStringLiteral("%1\n已改为 %2，下次启动时生效。").arg(address, next));
}

void GlobalSettingsDialog::enableCloudSync(CloudSync sync)
{
    m_cloudSync = std::move(sync);
    m_sync->setEnabled(true);
    m_sync->setToolTip(QString());
}

void GlobalSettingsDialog::addTerminalChoices(const TerminalLauncher& terminals, const QString& stored)
{
    // Empty stands for the automatic choice.
    m_terminal->addItem(QStringLiteral("自动"), QString());
    const QStringList available = terminals.availableTerminals();
    for (const QString& name : available) {
        m_terminal->addItem(name, name);
    }
    // A choice that is not among them (a path, a terminal since removed) stays, so a save keeps it.
    if (!stored.isEmpty() && !available.contains(stored)) {
        const bool exists = !terminals.processLauncher()->findExecutable(stored).isEmpty();
        m_terminal->addItem(exists ? stored : QStringLiteral("%1（未找到）").arg(stored), stored);
    }
    selectValue(m_terminal, stored);
}

void GlobalSettingsDialog::updateSizeBoxes()
{
    const bool custom = m_resolution->currentData().toInt() == static_cast<int>(ResolutionMode::Custom);
    m_width->setEnabled(custom);
    m_height->setEnabled(custom);
}

void GlobalSettingsDialog::save()
{
    const bool syncOn = m_cloudSync && m_sync->isChecked();

    const auto kernel = static_cast<RdpKernel>(m_kernel->currentData().toInt());
    m_config->setDefaultKernel(kernel);
    m_config->setDefaultResolution(static_cast<ResolutionMode>(m_resolution->currentData().toInt()),
                                   m_width->value(), m_height->value());
    m_config->setColorDepth(m_depth->currentData().toInt());
    m_config->setSmartForward(kernel == RdpKernel::Auto);
    if (m_cloudSync) {
        m_config->setSyncEnabled(syncOn);
        m_config->setAutoSync(true);
    }
    m_config->setConnectTimeout(m_timeout->value());
    m_config->setSshTerminal(m_terminal->currentData().toString());
    m_config->setAutoLock(m_autoLock->isChecked());
    m_config->setAutoLockTimeout(m_autoLockTimeout->value());
    m_config->setShowPassword(m_showPassword->isChecked());
    m_sessionGroup->apply(*m_config);

    // The values are in effect for this run either way; a failed save only loses them at exit. The
    // dialog closes so that Cancel cannot suggest they were taken back.
    if (!m_config->save()) {
        QMessageBox::critical(this, QStringLiteral("保存失败"), QStringLiteral("无法写入全局配置文件。"));
        accept();
        return;
    }

    if (m_cloudSync) {
        m_cloudSync->applied(syncOn);
    }
    emit settingsSaved();
    QMessageBox::information(this, QStringLiteral("设置已保存"),
                             syncOn ? QStringLiteral("全局设置已保存，主机云同步已开启。")
                                    : QStringLiteral("新的连接将使用更新后的全局设置。"));
    accept();
}
