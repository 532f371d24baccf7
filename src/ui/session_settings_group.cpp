#include "ui/session_settings_group.h"

#include "storage/app_config.h"
#include "storage/config_manager.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QListWidget>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include <algorithm>

namespace {

QCheckBox* makeCheckBox(QWidget* parent, const char* objectName, const QString& text, bool checked)
{
    auto* box = new QCheckBox(text, parent);
    box->setObjectName(QLatin1String(objectName));
    box->setChecked(checked);
    return box;
}

QSpinBox* makeSpinBox(QWidget* parent, const char* objectName, int minimum, int maximum, int value,
                      const QString& suffix)
{
    auto* box = new QSpinBox(parent);
    box->setObjectName(QLatin1String(objectName));
    box->setRange(minimum, maximum);
    box->setValue(std::clamp(value, minimum, maximum));
    box->setSuffix(suffix);
    return box;
}

QComboBox* makeComboBox(QWidget* parent, const char* objectName, const QList<std::pair<QString, int>>& items,
                        int value)
{
    auto* box = new QComboBox(parent);
    box->setObjectName(QLatin1String(objectName));
    for (const auto& [text, data] : items) {
        box->addItem(text, data);
    }
    box->setCurrentIndex(std::max(0, box->findData(value)));
    return box;
}

} // namespace

SessionSettingsGroup::SessionSettingsGroup(const AppConfig& config, QWidget* parent)
    : QGroupBox(QStringLiteral("会话"), parent), m_chooseFolder([](QWidget* owner) {
          return QFileDialog::getExistingDirectory(owner, QStringLiteral("选择共享给远程会话的文件夹"));
      })
{
    setObjectName(QStringLiteral("sessionGroup"));
    auto* form = new QFormLayout(this);

    m_clipboard = makeCheckBox(this, "clipboardBox", QStringLiteral("共享剪贴板"), config.clipboard);
    m_clipboardFiles =
        makeCheckBox(this, "clipboardFilesBox", QStringLiteral("允许复制文件"), config.clipboard_files);
    auto* clipboardRow = new QHBoxLayout;
    clipboardRow->addWidget(m_clipboard);
    clipboardRow->addWidget(m_clipboardFiles);
    clipboardRow->addStretch();
    form->addRow(QStringLiteral("剪贴板"), clipboardRow);

    m_printers = makeCheckBox(this, "printersBox", QStringLiteral("共享本机默认打印机"), config.printers);
    form->addRow(QStringLiteral("打印机"), m_printers);

    m_audio = makeComboBox(this, "audioBox",
                           {{QStringLiteral("在本机播放"), static_cast<int>(AudioMode::Local)},
                            {QStringLiteral("在远程电脑播放"), static_cast<int>(AudioMode::Remote)},
                            {QStringLiteral("不播放"), static_cast<int>(AudioMode::None)}},
                           static_cast<int>(config.audio));
    form->addRow(QStringLiteral("声音"), m_audio);

    m_drives = new QListWidget(this);
    m_drives->setObjectName(QStringLiteral("driveList"));
    m_drives->addItems(config.drives);
    m_drives->setMaximumHeight(80);
    m_drives->setToolTip(QStringLiteral("这些本机文件夹在远程电脑上显示为驱动器（系统 RDP 客户端）。"));
    auto* addDrive = new QPushButton(QStringLiteral("添加…"), this);
    addDrive->setObjectName(QStringLiteral("addDriveButton"));
    m_removeDrive = new QPushButton(QStringLiteral("移除"), this);
    m_removeDrive->setObjectName(QStringLiteral("removeDriveButton"));
    auto* driveButtons = new QVBoxLayout;
    driveButtons->addWidget(addDrive);
    driveButtons->addWidget(m_removeDrive);
    driveButtons->addStretch();
    auto* driveRow = new QHBoxLayout;
    driveRow->addWidget(m_drives, 1);
    driveRow->addLayout(driveButtons);
    form->addRow(QStringLiteral("共享文件夹"), driveRow);
    connect(addDrive, &QPushButton::clicked, this, &SessionSettingsGroup::addFolder);
    connect(m_removeDrive, &QPushButton::clicked, this, [this] {
        delete m_drives->currentItem();
        updateRows();
    });
    connect(m_drives, &QListWidget::currentRowChanged, this, &SessionSettingsGroup::updateRows);

    m_reconnect = makeCheckBox(this, "reconnectBox", QStringLiteral("断线后自动重连"),
                               config.reconnect && config.reconnect_times > 0);
    m_reconnectTimes = makeSpinBox(this, "reconnectTimesBox", 1, ConfigManager::kMaxReconnectTimes,
                                   config.reconnect_times, QStringLiteral(" 次"));
    m_reconnectInterval = makeSpinBox(this, "reconnectIntervalBox", 1, ConfigManager::kMaxReconnectInterval,
                                      config.reconnect_interval, QStringLiteral(" 秒间隔"));
    auto* reconnectRow = new QHBoxLayout;
    reconnectRow->addWidget(m_reconnect);
    reconnectRow->addWidget(m_reconnectTimes);
    reconnectRow->addWidget(m_reconnectInterval);
    reconnectRow->addStretch();
    form->addRow(QStringLiteral("断线重连"), reconnectRow);
    connect(m_reconnect, &QCheckBox::toggled, this, &SessionSettingsGroup::updateRows);

    m_bandwidth =
        makeComboBox(this, "bandwidthBox",
                     {{QStringLiteral("调制解调器（最省流量）"), static_cast<int>(BandwidthMode::Modem)},
                      {QStringLiteral("低速宽带"), static_cast<int>(BandwidthMode::Low)},
                      {QStringLiteral("高速宽带"), static_cast<int>(BandwidthMode::High)},
                      {QStringLiteral("局域网（全部效果）"), static_cast<int>(BandwidthMode::Lan)}},
                     static_cast<int>(config.bandwidth));
    m_bandwidth->setToolTip(
        QStringLiteral("决定远程桌面发送哪些效果（壁纸、主题、字体平滑等）：越慢的网络发送越少。"));
    form->addRow(QStringLiteral("网络"), m_bandwidth);

    m_wallColumns = makeSpinBox(this, "wallColumnsBox", 0, ConfigManager::kMaxWallColumns,
                                config.screen_wall_cols, QStringLiteral(" 列"));
    m_wallColumns->setSpecialValueText(QStringLiteral("自动列数"));
    m_wallRows = makeSpinBox(this, "wallRowsBox", 1, ConfigManager::kMaxWallRows, config.screen_wall_rows,
                             QStringLiteral(" 行"));
    m_wallFill =
        makeCheckBox(this, "wallFillBox", QStringLiteral("画面填满窗口"), config.screen_wall_auto_fill);
    auto* wallRow = new QHBoxLayout;
    wallRow->addWidget(m_wallColumns);
    wallRow->addWidget(m_wallRows);
    wallRow->addWidget(m_wallFill);
    wallRow->addStretch();
    form->addRow(QStringLiteral("屏幕墙布局"), wallRow);
    connect(m_wallFill, &QCheckBox::toggled, this, &SessionSettingsGroup::updateRows);

    updateRows();
}

void SessionSettingsGroup::addFolder()
{
    const QString folder = m_chooseFolder ? m_chooseFolder(this) : QString();
    if (folder.isEmpty() || !m_drives->findItems(folder, Qt::MatchExactly).isEmpty()) {
        return;
    }
    m_drives->addItem(folder);
    updateRows();
}

void SessionSettingsGroup::updateRows()
{
    m_removeDrive->setEnabled(m_drives->currentItem() != nullptr);
    m_reconnectTimes->setEnabled(m_reconnect->isChecked());
    m_reconnectInterval->setEnabled(m_reconnect->isChecked());
    // Rows say how high filled tiles are; unfilled tiles take their height from their width.
    m_wallRows->setEnabled(m_wallFill->isChecked());
}

void SessionSettingsGroup::apply(ConfigManager& config) const
{
    QStringList drives;
    for (int row = 0; row < m_drives->count(); ++row) {
        drives.append(m_drives->item(row)->text());
    }
    config.setShare(m_clipboard->isChecked(), m_clipboardFiles->isChecked(), m_printers->isChecked(),
                    static_cast<AudioMode>(m_audio->currentData().toInt()), drives);
    config.setReconnect(m_reconnect->isChecked(), m_reconnectTimes->value(), m_reconnectInterval->value());
    config.setBandwidth(static_cast<BandwidthMode>(m_bandwidth->currentData().toInt()));
    config.setWallLayout(m_wallRows->value(), m_wallColumns->value(), m_wallFill->isChecked());
}
