#pragma once

#include <QDialog>
#include <QString>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QWidget;

// "账号登录": the sign-in method, the account and password, the captcha row of the partner portal's
// phone sign-in, and a way over to the registration. The dialog checks what it can; the caller signs
// in with email() and password() once it is accepted.
class SignInDialog : public QDialog
{
    Q_OBJECT

public:
    // The item data of the account-service sign-in (any key not beginning with "vantrel").
    static constexpr const char* kAccountMode = "nimbara_email";
    static constexpr const char* kPortalPhoneMode = "vantrel_phone";

    explicit SignInDialog(QWidget* parent = nullptr);

    QString mode() const;
    bool isPortalMode() const;
    // The account text trimmed, and the password as typed.
    QString email() const;
    QString password() const;

    QComboBox* modeBox() const { return m_mode; }
    QLineEdit* accountEdit() const { return m_account; }
    QLineEdit* passwordEdit() const { return m_password; }
    QWidget* captchaRow() const { return m_captchaRow; }

signals:
    // "免费注册" was pressed; the dialog has closed.
    void registrationRequested();

public slots:
    void accept() override;

private:
    void updateMode();

    QComboBox* m_mode = nullptr;
    QLineEdit* m_account = nullptr;
    QLineEdit* m_password = nullptr;
    QWidget* m_captchaRow = nullptr;
    QLabel* m_captchaLabel = nullptr;
    QLabel* m_captchaImage = nullptr;
    QLabel* m_portalNote = nullptr;
};
