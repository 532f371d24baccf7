#include "ui/lock_screen.h"

#include "platform/secure_memory.h"

#include <QEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QVBoxLayout>

LockScreen::LockScreen(QWidget* window) : QWidget(window)
{
    setObjectName(QStringLiteral("lockScreen"));
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAutoFillBackground(false);
    setFocusPolicy(Qt::StrongFocus);

    auto* outer = new QVBoxLayout(this);
    outer->addStretch(1);
    auto* panel = new QWidget(this);
    panel->setMaximumWidth(420);
    auto* layout = new QVBoxLayout(panel);
    layout->setSpacing(10);

    auto* title = new QLabel(QStringLiteral("NIMBARA 已锁定"), panel);
    QFont titleFont = title->font();
    titleFont.setPointSize(titleFont.pointSize() + 6);
    titleFont.setBold(true);
    title->setFont(titleFont);
    title->setAlignment(Qt::AlignCenter);
    layout->addWidget(title);

    auto* hint =
        new QLabel(QStringLiteral("输入主密码解锁。远程会话仍在后台运行，锁定期间不接收任何输入。"), panel);
    hint->setWordWrap(true);
    hint->setAlignment(Qt::AlignCenter);
    layout->addWidget(hint);

    m_password = new QLineEdit(panel);
    m_password->setObjectName(QStringLiteral("lockPassword"));
    m_password->setEchoMode(QLineEdit::Password);
    m_password->setPlaceholderText(QStringLiteral("主密码"));
    layout->addWidget(m_password);

    m_unlock = new QPushButton(QStringLiteral("解锁"), panel);
    m_unlock->setObjectName(QStringLiteral("unlockButton"));
    m_unlock->setDefault(true);
    layout->addWidget(m_unlock);

    m_message = new QLabel(panel);
    m_message->setObjectName(QStringLiteral("lockMessage"));
    m_message->setWordWrap(true);
    m_message->setAlignment(Qt::AlignCenter);
    m_message->setStyleSheet(QStringLiteral("color: #b42318;"));
    layout->addWidget(m_message);

    m_forgot = new QPushButton(QStringLiteral("忘记主密码？"), panel);
    m_forgot->setObjectName(QStringLiteral("forgotButton"));
    m_forgot->setFlat(true);
    layout->addWidget(m_forgot, 0, Qt::AlignCenter);

    auto* sshNote = new QLabel(QStringLiteral("SSH 终端运行在独立的终端程序中，不受此锁定保护。"), panel);
    sshNote->setWordWrap(true);
    sshNote->setAlignment(Qt::AlignCenter);
    sshNote->setStyleSheet(QStringLiteral("color: #667085;"));
    layout->addWidget(sshNote);

    auto* row = new QHBoxLayout;
    row->addStretch(1);
    row->addWidget(panel);
    row->addStretch(1);
    outer->addLayout(row);
    outer->addStretch(2);

    connect(m_unlock, &QPushButton::clicked, this, &LockScreen::submit);
    connect(m_password, &QLineEdit::returnPressed, this, &LockScreen::submit);
    connect(m_forgot, &QPushButton::clicked, this, &LockScreen::forgotRequested);

    window->installEventFilter(this);
    setGeometry(window->rect());
    raise();
    show();
}

void LockScreen::submit()
{
    if (!m_password->isEnabled() || m_password->text().isEmpty()) {
        return;
    }
    QString password = m_password->text();
    m_password->clear();
    emit unlockRequested(password);
    SecureMemory::wipe(password);
}

void LockScreen::setAccepting(bool accepting)
{
    m_password->setEnabled(accepting);
    m_unlock->setEnabled(accepting);
    if (accepting && window()->isActiveWindow()) {
        m_password->setFocus();
    }
}

void LockScreen::setMessage(const QString& text)
{
    m_message->setText(text);
}

void LockScreen::focusPassword()
{
    m_password->setFocus(Qt::OtherFocusReason);
}

bool LockScreen::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == parentWidget() && event->type() == QEvent::WindowActivate && m_password->isEnabled()) {
        focusPassword();
    }
    if (watched == parentWidget() &&
        (event->type() == QEvent::Resize || event->type() == QEvent::ChildAdded)) {
        // Widgets added to the window later would otherwise be stacked above the cover.
        setGeometry(parentWidget()->rect());
        raise();
    }
    return QWidget::eventFilter(watched, event);
}

void LockScreen::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.fillRect(rect(), palette().color(QPalette::Window));
}
