#pragma once

#include <QObject>

#include <functional>

class AppLock;
class ConfigManager;
class CryptoManager;
class DatabaseManager;
class MasterPasswordDialog;
class QWidget;

// What the program does with the master password: the offer at first start, setting, changing and
// removing it from the settings, the reset of a forgotten one, and the confirmation asked before a
// stored password is shown or exported. Keeps [security] master_password in step with the key file.
class MasterPasswordActions : public QObject
{
    Q_OBJECT

public:
    // Runs a dialog and returns its result; exec() unless a test answers it.
    using DialogRunner = std::function<int(MasterPasswordDialog& dialog)>;

    // All must outlive this object; `appLock` may be null before the program can lock (first start).
    MasterPasswordActions(CryptoManager* crypto, ConfigManager* config, DatabaseManager* db, AppLock* appLock,
                          QObject* parent = nullptr);

    void setDialogRunner(DialogRunner runner) { m_runDialog = std::move(runner); }

    bool hasMasterPassword() const;

    // A key file sealed under a master password wins over a configuration that says there is none.
    void adoptKeyFileState();
    // At start-up: adoptKeyFileState(), then, when the configuration asks for a master password and
    // none is set, offers to set one (or to go without, which is stored).
    void offerInitialSetup(QWidget* parent);
    // From the settings: sets the first one, or changes it after the current one. True when done.
    bool setOrChange(QWidget* parent);
    bool remove(QWidget* parent);
    // For a forgotten master password, after an explicit Yes: clears every stored host password, the
    // signed-in session and the sync password, replaces the device key and offers a new master password.
    // False when declined or when nothing could be changed.
    bool resetForgotten(QWidget* parent);
    // Before a stored password is shown or exported: true without asking when there is no master
    // password or it was confirmed a moment ago, else after the current one is entered.
    bool confirmForSecret(QWidget* parent);

signals:
    // A master password was set, removed or reset: whether the program can lock has changed.
    void masterPasswordChanged();

private:
    // Asks for a new master password (no current one set); true when it was set.
    bool offerSet(QWidget* parent, bool offerDecline, bool* declined);
    int run(MasterPasswordDialog& dialog);
    void storeEnabled(bool enabled);

    CryptoManager* m_crypto;
    ConfigManager* m_config;
    DatabaseManager* m_db;
    AppLock* m_appLock;
    DialogRunner m_runDialog;
};
