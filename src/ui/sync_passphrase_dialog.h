#pragma once

#include "cloud/host_sync_ui.h"

#include <QDialog>
#include <QString>

#include <optional>

class QLabel;
class QLineEdit;

// The sync passphrase: chosen twice on an account's first computer ("设置主机云同步密码") or for a
// change ("更改同步密码"), entered once on its other computers ("输入同步密码"). A passphrase that is too
// short or not confirmed keeps the dialog open with what was typed and says why.
class SyncPassphraseDialog : public QDialog
{
    Q_OBJECT

public:
    using Mode = HostSyncUi::PassphraseMode;

    // `problem` says why it asks (again); shown above the fields.
    SyncPassphraseDialog(Mode mode, const QString& problem, QWidget* parent = nullptr);

    QLineEdit* passphraseEdit() const { return m_passphrase; }
    QLineEdit* confirmationEdit() const { return m_confirmation; } // null when entering
    QLabel* problemLabel() const { return m_problem; }

    // The passphrase exactly as typed, or nullopt when cancelled.
    static std::optional<QString> ask(QWidget* parent, Mode mode, const QString& problem = QString());

    void accept() override;

private:
    Mode m_mode;
    QLineEdit* m_passphrase = nullptr;
    QLineEdit* m_confirmation = nullptr;
    QLabel* m_problem = nullptr;
};
