#pragma once

#include <QDialog>
#include <QString>

class AccountClient;
class QLabel;
class QLineEdit;
class QPushButton;

// "免费注册": display name, e-mail and password twice. Checks them in order and stays open on the first
// problem. With an account client it registers itself and stays open, everything typed kept, until
// the account service has accepted the registration; else the caller registers once it is accepted.
// (The account service publishes no terms text, so there is no terms box to tick.)
class RegistrationDialog : public QDialog
{
    Q_OBJECT

public:
    explicit RegistrationDialog(QWidget* parent = nullptr);

    // As typed (the account client trims the name and the e-mail).
    QString name() const;
    QString email() const;
    QString password() const;

    QLineEdit* nameEdit() const { return m_name; }
    QLineEdit* emailEdit() const { return m_email; }
    QLineEdit* passwordEdit() const { return m_password; }
    QLineEdit* confirmationEdit() const { return m_confirmation; }
    QPushButton* createButton() const { return m_create; }
    QLabel* statusLabel() const { return m_status; }
    bool isWaiting() const { return m_waiting; }

    void setAccountClient(AccountClient* account);

signals:
    // "已有账户，去登录" was pressed; the dialog has closed.
    void signInRequested();

public slots:
    void accept() override;

private:
    QLineEdit* m_name = nullptr;
    QLineEdit* m_email = nullptr;
    QLineEdit* m_password = nullptr;
    QLineEdit* m_confirmation = nullptr;
    void setWaiting(bool waiting);

    QPushButton* m_create = nullptr;
    QLabel* m_status = nullptr;
    AccountClient* m_accountClient = nullptr;
    bool m_waiting = false;
};
