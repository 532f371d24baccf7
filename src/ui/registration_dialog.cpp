#include "ui/registration_dialog.h"

#include "cloud/account_client.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

RegistrationDialog::RegistrationDialog(QWidget* parent) : QDialog(parent)
{
    setWindowTitle(QStringLiteral("免费注册"));
    setMinimumWidth(440);
    auto* layout = new QVBoxLayout(this);
    auto* form = new QFormLayout;
    auto line = [this](const QString& placeholder, bool secret) {
        auto* edit = new QLineEdit(this);
        edit->setPlaceholderText(placeholder);
        if (secret) {
            edit->setEchoMode(QLineEdit::Password);
        }
        return edit;
    };
    m_name = line(QStringLiteral("例如：张三或机房管理员"), false);
    m_email = line(QStringLiteral("常用邮箱，用于登录和接收会员通知"), false);
    m_password = line(QStringLiteral("至少 12 位，建议混合字母、数字和符号"), true);
    m_confirmation = line(QStringLiteral("再次输入密码"), true);
    form->addRow(QStringLiteral("显示名称"), m_name);
    form->addRow(QStringLiteral("邮箱"), m_email);
    form->addRow(QStringLiteral("密码"), m_password);
    form->addRow(QStringLiteral("确认密码"), m_confirmation);
    layout->addLayout(form);

    auto* note = new QLabel(QStringLiteral("注册成功后会自动登录该账号；主机数据默认只保存在本机，开启主机云"
                                           "同步后才会以端到端加密的方式上传。"),
                            this);
    note->setWordWrap(true);
    layout->addWidget(note);
    m_status = new QLabel(this);
    layout->addWidget(m_status);

    auto* buttons = new QDialogButtonBox(this);
    m_create = buttons->addButton(QStringLiteral("创建免费账户"), QDialogButtonBox::AcceptRole);
    m_create->setDefault(true);
    QPushButton* signIn =
        buttons->addButton(QStringLiteral("已有账户，去登录"), QDialogButtonBox::ActionRole);
    connect(buttons, &QDialogButtonBox::accepted, this, &RegistrationDialog::accept);
    connect(signIn, &QPushButton::clicked, this, [this] {
        reject();
        emit signInRequested();
    });
    layout->addWidget(buttons);
}

QString RegistrationDialog::name() const
{
    return m_name->text();
}

QString RegistrationDialog::email() const
{
    return m_email->text();
}

QString RegistrationDialog::password() const
{
    return m_password->text();
}

void RegistrationDialog::setAccountClient(AccountClient* account)
{
    m_accountClient = account;
    // The client's own refusal box tells why; the dialog only keeps what was typed for the next try.
    const auto refused = [this] {
        if (m_waiting)
            setWaiting(false);
    };
    connect(account, &AccountClient::registrationFailed, this, refused);
    connect(account, &AccountClient::requestFailed, this, refused);
    connect(account, &AccountClient::accountChanged, this, [this](const MemberAccount& member) {
        if (m_waiting && member.signedIn)
            QDialog::accept();
    });
}

void RegistrationDialog::setWaiting(bool waiting)
{
    m_waiting = waiting;
    m_status->setText(waiting ? QStringLiteral("正在创建账户…") : QString());
    m_create->setEnabled(!waiting);
    for (QLineEdit* edit : {m_name, m_email, m_password, m_confirmation})
        edit->setReadOnly(waiting);
}

void RegistrationDialog::accept()
{
    if (m_waiting)
        return;
    auto refuse = [this](const QString& text) {
        QMessageBox::warning(this, QStringLiteral("无法注册"), text);
    };
    if (name().trimmed().isEmpty() || email().trimmed().isEmpty() || password().size() < 12) {
        refuse(QStringLiteral("请填写显示名称、有效邮箱和至少 12 位密码。"));
        return;
    }
    if (password() != m_confirmation->text()) {
        refuse(QStringLiteral("两次输入的密码不一致。"));
        return;
    }
    if (!m_accountClient) {
        QDialog::accept();
        return;
    }
    setWaiting(true);
    m_accountClient->registerAccount(name(), email(), password());
}
