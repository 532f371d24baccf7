#pragma once

#include <QGroupBox>
#include <QString>

#include <functional>

class ConfigManager;
class QCheckBox;
class QComboBox;
class QListWidget;
class QPushButton;
class QSpinBox;
struct AppConfig;

// The "会话" group of the global settings: what sessions share with the remote side (clipboard, file
// copy, printers, sound, folders as drives), reconnecting after a drop, the bandwidth profile, and the
// screen wall's layout.
class SessionSettingsGroup : public QGroupBox
{
    Q_OBJECT

public:
    // Asks for a folder to share; empty when the user chose none.
    using FolderChooser = std::function<QString(QWidget* parent)>;

    SessionSettingsGroup(const AppConfig& config, QWidget* parent = nullptr);

    // Tests answer the folder dialog themselves.
    void setFolderChooser(FolderChooser chooser) { m_chooseFolder = std::move(chooser); }
    // Hands the choices to `config` (in memory; the dialog saves).
    void apply(ConfigManager& config) const;

private:
    void addFolder();
    void updateRows();

    QCheckBox* m_clipboard = nullptr;
    QCheckBox* m_clipboardFiles = nullptr;
    QCheckBox* m_printers = nullptr;
    QComboBox* m_audio = nullptr;
    QListWidget* m_drives = nullptr;
    QPushButton* m_removeDrive = nullptr;
    QCheckBox* m_reconnect = nullptr;
    QSpinBox* m_reconnectTimes = nullptr;
    QSpinBox* m_reconnectInterval = nullptr;
    QComboBox* m_bandwidth = nullptr;
    QSpinBox* m_wallColumns = nullptr;
    QSpinBox* m_wallRows = nullptr;
    QCheckBox* m_wallFill = nullptr;
    FolderChooser m_chooseFolder;
};
