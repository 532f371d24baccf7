#pragma once

#include <QDialog>
#include <QString>

class QCheckBox;
class QLineEdit;

// "免费注册": display name, e-mail, password twice and the terms. Checks them in order and stays
// open on the first problem; the caller registers with the values once it is accepted.
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
    QCheckBox* termsBox() const { return m_terms; }

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
    QCheckBox* m_terms = nullptr;
};
