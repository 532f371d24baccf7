#pragma once

#include <QDialog>
#include <QString>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QWidget;
class VantrelClient;

// "账号登录": the sign-in method, the account and password, the captcha row of the partner portal's
// phone sign-in, and a way over to the registration. In the account-service mode the caller signs in
// with email() and password() once it is accepted; in a portal mode the dialog prepares the portal
// session, shows the captcha and starts the portal sign-in itself before it closes.
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
    bool isPrepared() const { return m_prepared; }

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

    QComboBox* m_mode = nullptr;
    QLineEdit* m_account = nullptr;
    QLineEdit* m_password = nullptr;
    QWidget* m_captchaRow = nullptr;
    QLabel* m_captchaLabel = nullptr;
    QLabel* m_captchaImage = nullptr;
    QLineEdit* m_captchaEdit = nullptr;
    QPushButton* m_refresh = nullptr;
    VantrelClient* m_portal = nullptr;
    bool m_prepared = false;
};
