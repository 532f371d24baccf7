#pragma once

#include <QDialog>
#include <QString>

class AccountClient;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QWidget;
class VantrelClient;

// "账号登录": the sign-in method, the account and password, the captcha row of the partner portal's
// phone sign-in, and a way over to the registration. In a portal mode the dialog prepares the portal
// session, shows the captcha and signs in itself; with an account client it signs in to the account
// service itself, else the caller does so with email() and password() once it is accepted. A sign-in
// the dialog started keeps it open until it succeeds: a refusal leaves everything typed in place (the
// captcha, which the portal renews, excepted).
class SignInDialog : public QDialog
{
    Q_OBJECT

public:
    // The item data of the account-service sign-in (any key not beginning with "vantrel").
    static constexpr const char* kAccountMode = "nimbara_email";
    static constexpr const char* kPortalPhoneMode = "vantrel_phone";
    static constexpr const char* kPortalEmailMode = "vantrel_email";

    // Without a portal client the portal modes are not offered.
    explicit SignInDialog(VantrelClient* portal = nullptr, QWidget* parent = nullptr);

    QString mode() const;
    bool isPortalMode() const;
    // The account text trimmed, and the password as typed.
    QString email() const;
    QString password() const;

    QComboBox* modeBox() const { return m_mode; }
    QLineEdit* accountEdit() const { return m_account; }
    QLineEdit* passwordEdit() const { return m_password; }
    QWidget* captchaRow() const { return m_captchaRow; }
    QLineEdit* captchaEdit() const { return m_captchaEdit; }
    QLabel* captchaImage() const { return m_captchaImage; }
    QPushButton* refreshButton() const { return m_refresh; }
    QPushButton* signInButton() const { return m_signIn; }
    QLabel* statusLabel() const { return m_status; }
    bool isPrepared() const { return m_prepared; }
    bool isWaiting() const { return m_waiting; }

    void setAccountClient(AccountClient* account);

signals:
    // "免费注册" was pressed; the dialog has closed.
    void registrationRequested();

public slots:
    void accept() override;

private:
    void updateMode();
    void preparePortal();
    void showCaptcha(const QByteArray& imageData);
    bool acceptPortal();
    void setWaiting(bool waiting, const QString& status = {});

    QComboBox* m_mode = nullptr;
    QLineEdit* m_account = nullptr;
    QLineEdit* m_password = nullptr;
    QWidget* m_captchaRow = nullptr;
    QLabel* m_captchaLabel = nullptr;
    QLabel* m_captchaImage = nullptr;
    QLineEdit* m_captchaEdit = nullptr;
    QPushButton* m_refresh = nullptr;
    QPushButton* m_signIn = nullptr;
    QLabel* m_status = nullptr;
    VantrelClient* m_portal = nullptr;
    AccountClient* m_accountClient = nullptr;
    bool m_prepared = false;
    bool m_waiting = false;
};
