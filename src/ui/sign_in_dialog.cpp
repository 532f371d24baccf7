#include "ui/sign_in_dialog.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

namespace {
constexpr int kMinPasswordLength = 12;
const QString kPortalUnavailable =
    QStringLiteral("Vantrelnet 账号登录暂未开放，请使用 NIMBARA 邮箱登录，或先免费注册。");
} // namespace

SignInDialog::SignInDialog(QWidget* parent) : QDialog(parent)
{
    setWindowTitle(QStringLiteral("账号登录"));
    setMinimumWidth(520);
    auto* layout = new QVBoxLayout(this);
    auto* form = new QFormLayout;

    m_mode = new QComboBox(this);
    m_mode->addItem(QStringLiteral("Vantrelnet 手机号 + 密码"), QString::fromLatin1(kPortalPhoneMode));
    m_mode->addItem(QStringLiteral("NIMBARA 邮箱 + 密码"), QString::fromLatin1(kAccountMode));
    // The account service's sign-in is the one this build offers; the portal sign-in is listed.
    m_mode->setCurrentIndex(1);
    form->addRow(QStringLiteral("登录方式"), m_mode);

    m_account = new QLineEdit(this);
    form->addRow(QStringLiteral("账号"), m_account);
    m_password = new QLineEdit(this);
    m_password->setEchoMode(QLineEdit::Password);
    form->addRow(QStringLiteral("密码"), m_password);

    m_captchaRow = new QWidget(this);
    auto* captchaLayout = new QHBoxLayout(m_captchaRow);
    captchaLayout->setContentsMargins(0, 0, 0, 0);
    auto* captchaEdit = new QLineEdit(m_captchaRow);
    captchaEdit->setPlaceholderText(QStringLiteral("输入图片验证码"));
    captchaLayout->addWidget(captchaEdit, 1);
    m_captchaImage = new QLabel(QStringLiteral("等待加载"), m_captchaRow);
    m_captchaImage->setMinimumSize(130, 42);
    m_captchaImage->setAlignment(Qt::AlignCenter);
    captchaLayout->addWidget(m_captchaImage);
    auto* refresh = new QPushButton(QStringLiteral("刷新图片"), m_captchaRow);
    captchaLayout->addWidget(refresh);
    m_captchaLabel = new QLabel(QStringLiteral("验证码"), this);
    form->addRow(m_captchaLabel, m_captchaRow);
    layout->addLayout(form);

    m_portalNote = new QLabel(kPortalUnavailable, this);
    m_portalNote->setObjectName(QStringLiteral("portalUnavailableNote"));
    m_portalNote->setWordWrap(true);
    layout->addWidget(m_portalNote);

    auto* note = new QLabel(
        QStringLiteral(
            "使用 Vantrelnet 账号登录时，只读取该账号下可见的服务器，每次登录都会完整替换这些服务器，"
            "不会修改 Vantrelnet 上的任何内容。"),
        this);
    note->setWordWrap(true);
    layout->addWidget(note);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Ok)->setText(QStringLiteral("登录"));
    buttons->button(QDialogButtonBox::Cancel)->setText(QStringLiteral("取消"));
    QPushButton* registration = buttons->addButton(QStringLiteral("免费注册"), QDialogButtonBox::ActionRole);
    connect(buttons, &QDialogButtonBox::accepted, this, &SignInDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &SignInDialog::reject);
    connect(registration, &QPushButton::clicked, this, [this] {
        reject();
        emit registrationRequested();
    });
    layout->addWidget(buttons);

    connect(m_mode, &QComboBox::currentIndexChanged, this, &SignInDialog::updateMode);
    updateMode();
}

QString SignInDialog::mode() const
{
    return m_mode->currentData().toString();
}

bool SignInDialog::isPortalMode() const
{
    return mode().startsWith(QLatin1String("vantrel"));
}

QString SignInDialog::email() const
{
    return m_account->text().trimmed();
}

QString SignInDialog::password() const
{
    return m_password->text();
}

void SignInDialog::updateMode()
{
    const bool portal = isPortalMode();
    const bool phone = mode() == QLatin1String(kPortalPhoneMode);
    m_account->setPlaceholderText(portal ? QStringLiteral("Vantrelnet手机号")
                                         : QStringLiteral("在 NIMBARA 注册的邮箱地址"));
    m_password->setPlaceholderText(portal ? QStringLiteral("Vantrelnet账号密码")
                                          : QStringLiteral("至少 12 位密码"));
    m_captchaRow->setVisible(phone);
    m_captchaLabel->setVisible(phone);
    // Said where the user looks, as soon as the method is chosen.
    m_portalNote->setVisible(portal);
}

void SignInDialog::accept()
{
    if (isPortalMode()) {
        QMessageBox::warning(this, QStringLiteral("无法登录"), kPortalUnavailable);
        return;
    }
    if (email().isEmpty() || password().size() < kMinPasswordLength) {
        QMessageBox::warning(this, QStringLiteral("无法登录"),
                             QStringLiteral("请输入有效邮箱和至少 12 位密码。"));
        return;
    }
    QDialog::accept();
}
