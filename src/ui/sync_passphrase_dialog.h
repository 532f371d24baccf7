#pragma once

#include <QDialog>
#include <QString>

#include <functional>

class QLineEdit;

// "设置主机云同步密码": the passphrase twice. run() checks it and hands it to `store`, which seals
// and keeps it.
class SyncPassphraseDialog : public QDialog
{
    Q_OBJECT

public:
    explicit SyncPassphraseDialog(QWidget* parent = nullptr);

    QLineEdit* passphraseEdit() const { return m_passphrase; }
    QLineEdit* confirmationEdit() const { return m_confirmation; }

    // Shows the dialog; true when a passphrase was saved. Every refusal is told to the user.
    static bool run(QWidget* parent, const std::function<bool(const QString& passphrase)>& store);

private:
    QLineEdit* m_passphrase = nullptr;
    QLineEdit* m_confirmation = nullptr;
};
