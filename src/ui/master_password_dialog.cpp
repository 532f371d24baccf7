#include "ui/master_password_dialog.h"

#include "platform/secure_memory.h"
#include "storage/app_lock.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

namespace {

constexpr int kWaitTickMs = 200;
const QString kWrongPassword = QStringLiteral("主密码不正确。");

// The derivation takes most of a second and runs on this thread: the cursor says so.
class BusyCursor
{
public:
    BusyCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~BusyCursor() { QApplication::restoreOverrideCursor(); }
    BusyCursor(const BusyCursor&) = delete;
    BusyCursor& operator=(const BusyCursor&) = delete;
};

QLineEdit* addPasswordRow(QWidget* parent, QFormLayout* form, const char* objectName, const QString& label)
{
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(QLatin1String(objectName));
    edit->setEchoMode(QLineEdit::Password);
    form->addRow(label, edit);
    return edit;
}

QString titleOf(MasterPasswordDialog::Mode mode)
{
    switch (mode) {
    case MasterPasswordDialog::Mode::Set:
        return QStringLiteral("设置主密码");
    case MasterPasswordDialog::Mode::Change:
        return QStringLiteral("更改主密码");
    case MasterPasswordDialog::Mode::Remove:
        return QStringLiteral("移除主密码");
    case MasterPasswordDialog::Mode::Confirm:
        break;
    }
    return QStringLiteral("验证主密码");
}

} // namespace

MasterPasswordDialog::MasterPasswordDialog(Mode mode, AppLock* appLock, Operation operation,
                                           bool offerDecline, QWidget* parent)
    : QDialog(parent), m_mode(mode), m_appLock(appLock), m_operation(std::move(operation))
{
    setWindowTitle(titleOf(mode));
    setModal(true);
    setMinimumWidth(440);
    auto* layout = new QVBoxLayout(this);
    if (mode == Mode::Confirm) {
        auto* intro = new QLabel(QStringLiteral("查看或导出已保存的密码前，请输入主密码。"), this);
        intro->setWordWrap(true);
        layout->addWidget(intro);
    }
    m_problem = new QLabel(this);
    m_problem->setObjectName(QStringLiteral("masterPasswordProblem"));
    m_problem->setWordWrap(true);
    m_problem->setStyleSheet(QStringLiteral("color: #c0392b;"));
    m_problem->hide();
    layout->addWidget(m_problem);

    auto* form = new QFormLayout;
    if (mode != Mode::Set) {
        m_current = addPasswordRow(this, form, "currentPasswordEdit", QStringLiteral("当前主密码"));
    }
    if (mode == Mode::Set || mode == Mode::Change) {
        m_new = addPasswordRow(this, form, "newPasswordEdit",
                               mode == Mode::Set ? QStringLiteral("主密码") : QStringLiteral("新主密码"));
        m_new->setPlaceholderText(QStringLiteral("至少 %1 个字符").arg(kMinLength));
        m_repeat = addPasswordRow(this, form, "repeatPasswordEdit", QStringLiteral("确认主密码"));
        m_strength = new QLabel(strengthText(QString()), this);
        m_strength->setObjectName(QStringLiteral("passwordStrength"));
        form->addRow(QStringLiteral("强度"), m_strength);
        connect(m_new, &QLineEdit::textChanged, this,
                [this](const QString& text) { m_strength->setText(strengthText(text)); });
    }
    layout->addLayout(form);
    if (mode == Mode::Set || mode == Mode::Change) {
        auto* warning = new QLabel(
            QStringLiteral("主密码无法找回：忘记后只能重置，重置会清除所有已保存的主机密码。"), this);
        warning->setObjectName(QStringLiteral("masterPasswordWarning"));
        warning->setWordWrap(true);
        layout->addWidget(warning);
    }

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    m_ok = buttons->button(QDialogButtonBox::Ok);
    m_ok->setText(mode == Mode::Confirm ? QStringLiteral("确定") : titleOf(mode));
    buttons->button(QDialogButtonBox::Cancel)->setText(QStringLiteral("取消"));
    if (offerDecline && mode == Mode::Set) {
        m_decline = buttons->addButton(QStringLiteral("不使用主密码"), QDialogButtonBox::DestructiveRole);
        m_decline->setObjectName(QStringLiteral("declineMasterPasswordButton"));
        connect(m_decline, &QPushButton::clicked, this, [this] {
            wipeFields();
            done(kDeclined);
        });
    }
    connect(buttons, &QDialogButtonBox::accepted, this, &MasterPasswordDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &MasterPasswordDialog::reject);
    connect(this, &QDialog::rejected, this, &MasterPasswordDialog::wipeFields);
    layout->addWidget(buttons);

    m_waitTimer = new QTimer(this);
    m_waitTimer->setInterval(kWaitTickMs);
    connect(m_waitTimer, &QTimer::timeout, this, &MasterPasswordDialog::updateWait);
    updateWait();
}

MasterPasswordDialog::~MasterPasswordDialog()
{
    wipeFields();
}

QString MasterPasswordDialog::strengthText(const QString& password)
{
    bool lower = false;
    bool upper = false;
    bool digit = false;
    bool other = false;
    for (const QChar c : password) {
        // Letters without case (Chinese) count with the lower-case ones.
        lower = lower || (c.isLetter() && !c.isUpper());
        upper = upper || c.isUpper();
        digit = digit || c.isDigit();
        other = other || !c.isLetterOrNumber();
    }
    const int kinds = int(lower) + int(upper) + int(digit) + int(other);
    const qsizetype length = password.size();
    if (length < kMinLength) {
        return QStringLiteral("弱：少于 %1 个字符").arg(kMinLength);
    }
    const QString facts = QStringLiteral("%1 个字符，%2 类字符").arg(length).arg(kinds);
    if ((length >= 12 && kinds >= 3) || (length >= 16 && kinds >= 2) || length >= 20) {
        return QStringLiteral("强：") + facts;
    }
    if (kinds >= 2 || length >= 12) {
        return QStringLiteral("中：") + facts + QStringLiteral("；更长或混用大小写、数字、符号会更强");
    }
    return QStringLiteral("弱：") + facts + QStringLiteral("；请混用字母、数字和符号");
}

void MasterPasswordDialog::showProblem(const QString& text)
{
    m_problem->setText(text);
    m_problem->setVisible(!text.isEmpty());
}

void MasterPasswordDialog::updateWait()
{
    const qint64 waitMs = m_appLock && m_current ? m_appLock->retryDelayMs() : 0;
    m_ok->setEnabled(waitMs == 0);
    if (waitMs == 0) {
        m_waitTimer->stop();
        if (m_problem->text().startsWith(kWrongPassword)) {
            showProblem(kWrongPassword);
        }
        return;
    }
    const qint64 seconds = (waitMs + 999) / 1000;
    showProblem(kWrongPassword + QStringLiteral("请在 %1 秒后重试。").arg(seconds));
    if (!m_waitTimer->isActive()) {
        m_waitTimer->start();
    }
}

void MasterPasswordDialog::accept()
{
    // Taken exactly as typed: blanks are part of a password.
    QString next = m_new ? m_new->text() : QString();
    if (m_new) {
        QString problem;
        if (next.size() < kMinLength) {
            problem = QStringLiteral("主密码至少需要 %1 个字符。").arg(kMinLength);
        } else if (next != m_repeat->text()) {
            problem = QStringLiteral("两次输入的主密码不一致。");
        }
        if (!problem.isEmpty()) {
            SecureMemory::wipe(next);
            showProblem(problem);
            m_new->setFocus();
            return;
        }
    }
    QString current = m_current ? m_current->text() : QString();
    if (m_current) {
        if (!m_appLock) {
            showProblem(QStringLiteral("无法验证主密码。"));
            return;
        }
        AppLock::Confirmation answer = AppLock::Confirmation::Waiting;
        if (m_appLock->retryDelayMs() == 0) {
            const BusyCursor busy;
            answer = m_appLock->confirm(current);
        }
        if (answer != AppLock::Confirmation::Confirmed) {
            SecureMemory::wipe(current);
            SecureMemory::wipe(next);
            showProblem(kWrongPassword);
            m_current->selectAll();
            m_current->setFocus();
            updateWait();
            return;
        }
    }
    QString error;
    bool done = true;
    if (m_operation) {
        const BusyCursor busy;
        done = m_operation(current, next, &error);
    }
    SecureMemory::wipe(current);
    SecureMemory::wipe(next);
    if (!done) {
        showProblem(error);
        return;
    }
    wipeFields();
    QDialog::accept();
}

void MasterPasswordDialog::wipeFields()
{
    // QLineEdit keeps no copy that could be overwritten from here; clearing drops its text at least.
    for (QLineEdit* edit : {m_current, m_new, m_repeat}) {
        if (edit) {
            edit->clear();
        }
    }
}
