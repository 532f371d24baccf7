#include "ui/sign_in_dialog.h"

#include "cloud/account_client.h"
#include "network/vantrel_client.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPixmap>
#include <QPushButton>
#include <QVBoxLayout>

namespace {
constexpr int kMinPasswordLength = 12;
} // namespace

SignInDialog::SignInDialog(VantrelClient* portal, QWidget* parent) : QDialog(parent), m_portal(portal)
{
    setWindowTitle(QStringLiteral("账号登录"));
    auto* layout = new QVBoxLayout(this);
    // The layout's minimum, not a fixed one, so the dialog grows with the captcha row (a minimum width
    // set on the dialog would stop the layout from raising its minimum height).
    layout->setSizeConstraint(QLayout::SetMinimumSize);
    layout->addStrut(480);
    auto* form = new QFormLayout;

    m_mode = new QComboBox(this);
    if (m_portal) {
        m_mode->addItem(QStringLiteral("Vantrelnet 手机号 + 密码"), QString::fromLatin1(kPortalPhoneMode));
        // Portal accounts registered by e-mail sign in without a captcha.
        m_mode->addItem(QStringLiteral("Vantrelnet 邮箱 + 密码"), QString::fromLatin1(kPortalEmailMode));
    }
    m_mode->addItem(QStringLiteral("NIMBARA 邮箱 + 密码"), QString::fromLatin1(kAccountMode));
    // Opening the dialog reaches no web site; choosing a portal method does.
    m_mode->setCurrentIndex(m_mode->count() - 1);
    form->addRow(QStringLiteral("登录方式"), m_mode);

    m_account = new QLineEdit(this);
    form->addRow(QStringLiteral("账号"), m_account);
    m_password = new QLineEdit(this);
    m_password->setEchoMode(QLineEdit::Password);
    form->addRow(QStringLiteral("密码"), m_password);

    m_captchaRow = new QWidget(this);
    auto* captchaLayout = new QHBoxLayout(m_captchaRow);
    captchaLayout->setContentsMargins(0, 0, 0, 0);
    m_captchaEdit = new QLineEdit(m_captchaRow);
    m_captchaEdit->setPlaceholderText(QStringLiteral("输入图片验证码"));
    captchaLayout->addWidget(m_captchaEdit, 1);
    m_captchaImage = new QLabel(QStringLiteral("等待加载"), m_captchaRow);
    // Room for the largest image showCaptcha makes.
    m_captchaImage->setMinimumSize(140, 46);
    m_captchaImage->setAlignment(Qt::AlignCenter);
    captchaLayout->addWidget(m_captchaImage);
    m_refresh = new QPushButton(QStringLiteral("刷新图片"), m_captchaRow);
    captchaLayout->addWidget(m_refresh);
    m_captchaLabel = new QLabel(QStringLiteral("验证码"), this);
    form->addRow(m_captchaLabel, m_captchaRow);
    layout->addLayout(form);

    m_status = new QLabel(this);
    m_status->setWordWrap(true);
    layout->addWidget(m_status);

    auto* note = new QLabel(
        QStringLiteral(
            "使用 Vantrelnet 账号登录时，只读取该账号下可见的服务器，每次登录都会完整替换这些服务器，"
            "不会修改 Vantrelnet 上的任何内容。"),
        this);
    note->setWordWrap(true);
    layout->addWidget(note);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    m_signIn = buttons->button(QDialogButtonBox::Ok);
    m_signIn->setText(QStringLiteral("登录"));
    buttons->button(QDialogButtonBox::Cancel)->setText(QStringLiteral("取消"));
    QPushButton* registration = buttons->addButton(QStringLiteral("免费注册"), QDialogButtonBox::ActionRole);
    connect(buttons, &QDialogButtonBox::accepted, this, &SignInDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &SignInDialog::reject);
    connect(registration, &QPushButton::clicked, this, [this] {
        reject();
        emit registrationRequested();
    });
    layout->addWidget(buttons);

    if (m_portal) {
        connect(m_portal, &VantrelClient::prepared, this, [this] { m_prepared = true; });
        connect(m_portal, &VantrelClient::captchaReady, this, &SignInDialog::showCaptcha);
        connect(m_portal, &VantrelClient::failed, this, [this] {
            m_prepared = false;
            m_captchaImage->setPixmap(QPixmap());
            m_captchaImage->setText(QStringLiteral("加载失败，请重试"));
        });
        connect(m_refresh, &QPushButton::clicked, m_portal, &VantrelClient::refreshCaptcha);
        // The portal's own refusal box tells why; here only the typed values stay for the next try.
        connect(m_portal, &VantrelClient::failed, this, [this] {
            if (!m_waiting || !isPortalMode())
                return;
            setWaiting(false);
            m_captchaEdit->clear();
            (mode() == QLatin1String(kPortalPhoneMode) ? m_captchaEdit : m_password)->setFocus();
        });
        connect(m_portal, &VantrelClient::syncProgress, this, [this](const QString& message) {
            if (m_waiting && isPortalMode())
                m_status->setText(message);
        });
        connect(m_portal, &VantrelClient::syncFinished, this, [this] {
            if (m_waiting && isPortalMode())
                QDialog::accept();
        });
    }
    connect(m_mode, &QComboBox::currentIndexChanged, this, [this] {
        updateMode();
        if (isPortalMode())
            preparePortal();
    });
    updateMode();
}

void SignInDialog::setAccountClient(AccountClient* account)
{
    m_accountClient = account;
    const auto refused = [this] {
        if (!m_waiting || isPortalMode())
            return;
        setWaiting(false);
        m_password->setFocus();
        m_password->selectAll();
    };
    connect(account, &AccountClient::loginFailed, this, refused);
    connect(account, &AccountClient::requestFailed, this, refused);
    connect(account, &AccountClient::accountChanged, this, [this](const MemberAccount& member) {
        if (m_waiting && !isPortalMode() && member.signedIn)
            QDialog::accept();
    });
}

void SignInDialog::setWaiting(bool waiting, const QString& status)
{
    m_waiting = waiting;
    m_status->setText(status);
    m_signIn->setEnabled(!waiting);
    m_mode->setEnabled(!waiting);
    m_account->setReadOnly(waiting);
    m_password->setReadOnly(waiting);
    m_captchaEdit->setReadOnly(waiting);
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
    if (mode() == QLatin1String(kPortalEmailMode))
        m_account->setPlaceholderText(QStringLiteral("Vantrelnet邮箱"));
    else
        m_account->setPlaceholderText(portal ? QStringLiteral("Vantrelnet手机号")
                                             : QStringLiteral("在 NIMBARA 注册的邮箱地址"));
    m_password->setPlaceholderText(portal ? QStringLiteral("Vantrelnet账号密码")
                                          : QStringLiteral("至少 12 位密码"));
    m_captchaRow->setVisible(phone);
    m_captchaLabel->setVisible(phone);
    // The minimum height a layout gives a window leaves out how tall the wrapped note becomes at
    // the window's width, so the rows above it would be squeezed under it: the window grows instead.
    if (isVisible()) {
        layout()->activate();
        const int needed = layout()->totalHeightForWidth(width());
        if (height() < needed)
            resize(width(), needed);
    }
    m_prepared = false;
}

void SignInDialog::preparePortal()
{
    m_prepared = false;
    m_captchaImage->setPixmap(QPixmap());
    m_captchaImage->setText(QStringLiteral("加载中…"));
    m_portal->prepareLogin(email());
}

void SignInDialog::showCaptcha(const QByteArray& imageData)
{
    QImage image;
    // Only the image formats a captcha comes in: the bytes are the web site's.
    if (!image.loadFromData(imageData) || image.isNull()) {
        m_captchaImage->setPixmap(QPixmap());
        m_captchaImage->setText(QStringLiteral("图片加载失败"));
        return;
    }
    m_captchaImage->setText(QString());
    m_captchaImage->setPixmap(
        QPixmap::fromImage(image.scaled(140, 46, Qt::KeepAspectRatio, Qt::SmoothTransformation)));
}

void SignInDialog::accept()
{
    if (m_waiting)
        return;
    if (isPortalMode()) {
        acceptPortal();
        return;
    }
    if (email().isEmpty() || password().size() < kMinPasswordLength) {
        QMessageBox::warning(this, QStringLiteral("无法登录"),
                             QStringLiteral("请输入有效邮箱和至少 12 位密码。"));
        return;
    }
    if (!m_accountClient) {
        QDialog::accept();
        return;
    }
    setWaiting(true, QStringLiteral("正在登录…"));
    m_accountClient->login(email(), password());
}

bool SignInDialog::acceptPortal()
{
    const bool phone = mode() == QLatin1String(kPortalPhoneMode);
    const QString account = email();
    const QString captcha = m_captchaEdit->text().trimmed();
    if (phone && account.contains(QLatin1Char('@'))) {
        QMessageBox::warning(this, QStringLiteral("无法登录"),
                             QStringLiteral("请选择手机号登录并填写正确手机号。"));
        return false;
    }
    if (!phone && !account.isEmpty() && !account.contains(QLatin1Char('@'))) {
        QMessageBox::warning(this, QStringLiteral("无法登录"),
                             QStringLiteral("请选择邮箱登录并填写正确邮箱。"));
        return false;
    }
    if (account.isEmpty() || password().isEmpty() || (phone && captcha.isEmpty())) {
        QMessageBox::warning(this, QStringLiteral("无法登录"),
                             QStringLiteral("请完整填写Vantrelnet账号、密码和所需验证码。"));
        return false;
    }
    if (!m_prepared) {
        preparePortal();
        QMessageBox::information(this, QStringLiteral("正在准备登录"),
                                 QStringLiteral("登录会话正在准备，请等待验证码图片显示后再登录。"));
        return false;
    }
    setWaiting(true, QStringLiteral("正在登录 Vantrelnet…"));
    m_portal->login(account, password(), phone ? captcha : QString());
    return true;
}
