#pragma once

#include <QDialog>

#include <functional>
#include <optional>

class ConfigManager;
class MasterPasswordActions;
class TerminalLauncher;
class QCheckBox;
class QLabel;
class QComboBox;
class QPushButton;
class QSpinBox;
class SessionSettingsGroup;

// Modal editor of the settings changed most often: the screen wall engine, the default session size
// and colour depth, the connection time-out, the SSH terminal, the host cloud sync and the security
// group (master password, auto-lock, showing passwords). Save applies
// them to the configuration and writes the file; Cancel changes nothing.
class GlobalSettingsDialog : public QDialog
{
    Q_OBJECT
public:
    // What the sync row needs from the host cloud sync of a signed-in member.
    struct CloudSync
    {
        // Called after a successful save: true turns sync on (asking for the passphrase where none is
        // kept), false turns it off.
        std::function<void(bool enabled)> applied;
    };

    // `config` and `terminals` must outlive the dialog. The terminal list is looked up once, here.
    GlobalSettingsDialog(ConfigManager* config, const TerminalLauncher& terminals, QWidget* parent = nullptr);

    // Makes the sync row usable. Without it the row stays disabled and a save leaves the sync
    // settings as they are.
    void enableCloudSync(CloudSync sync);
    // Shown read-only under the sync switch.
    void setAccountServiceAddress(const QString& address);
    // Makes the master password buttons usable; they act at once, not on Save.
    void setMasterPasswordActions(MasterPasswordActions* actions);

signals:
    // The file was written; emitted before the confirmation is shown.
    void settingsSaved();

private:
    void addTerminalChoices(const TerminalLauncher& terminals, const QString& stored);
    void updateSizeBoxes();
    void addSecurityGroup(QLayout* layout);
    void updateSecurityRows();
    void save();

    ConfigManager* m_config;
    std::optional<CloudSync> m_cloudSync;
    QComboBox* m_kernel = nullptr;
    QComboBox* m_resolution = nullptr;
    QSpinBox* m_width = nullptr;
    QSpinBox* m_height = nullptr;
    QComboBox* m_depth = nullptr;
    QSpinBox* m_timeout = nullptr;
    QComboBox* m_terminal = nullptr;
    QCheckBox* m_sync = nullptr;
    QLabel* m_serviceAddress = nullptr;
    MasterPasswordActions* m_masterPassword = nullptr;
    QLabel* m_masterPasswordState = nullptr;
    QPushButton* m_setMasterPassword = nullptr;
    QPushButton* m_changeMasterPassword = nullptr;
    QPushButton* m_removeMasterPassword = nullptr;
    QCheckBox* m_autoLock = nullptr;
    QSpinBox* m_autoLockTimeout = nullptr;
    QCheckBox* m_showPassword = nullptr;
    SessionSettingsGroup* m_sessionGroup = nullptr;
};
