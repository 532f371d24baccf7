#include "ui/sync_passphrase_dialog.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

SyncPassphraseDialog::SyncPassphraseDialog(Mode mode, const QString& problem, QWidget* parent)
    : QDialog(parent), m_mode(mode)
{
    const bool entering = mode == Mode::Enter;
    setWindowTitle(entering               ? QStringLiteral("输入同步密码")
                   : mode == Mode::Change ? QStringLiteral("更改同步密码")
                                          : QStringLiteral("设置主机云同步密码"));
    setMinimumWidth(480);
    auto* layout = new QVBoxLayout(this);
    if (entering) {
        auto* intro =
            new QLabel(QStringLiteral("本账号已在其他电脑上开启云同步，云端有加密的主机数据。请输入在第一"
                                      "台电脑上设置的同步密码，本机即可读取并合并这些主机。"),
                       this);
        intro->setWordWrap(true);
        layout->addWidget(intro);
    }
    m_problem = new QLabel(problem, this);
    m_problem->setObjectName(QStringLiteral("passphraseProblem"));
    m_problem->setWordWrap(true);
    m_problem->setStyleSheet(QStringLiteral("color: #c0392b;"));
    m_problem->setVisible(!problem.isEmpty());
    layout->addWidget(m_problem);
    auto* form = new QFormLayout;
    m_passphrase = new QLineEdit(this);
    m_passphrase->setEchoMode(QLineEdit::Password);
    m_passphrase->setPlaceholderText(entering ? QStringLiteral("第一台电脑上设置的同步密码")
                                              : QStringLiteral("至少 12 个字符"));
    form->addRow(mode == Mode::Change ? QStringLiteral("新同步密码") : QStringLiteral("同步密码"),
                 m_passphrase);
    if (!entering) {
        m_confirmation = new QLineEdit(this);
        m_confirmation->setEchoMode(QLineEdit::Password);
        m_confirmation->setPlaceholderText(QStringLiteral("再次输入同步密码"));
        form->addRow(QStringLiteral("确认密码"), m_confirmation);
    }
    layout->addLayout(form);
    auto* note = new QLabel(
        mode == Mode::Change
            ? QStringLiteral("新密码将重新加密本账号保存在云端的同步密钥；本账号的其他电脑下次启动或登录后同"
                             "步时会要求输入新密码。"
                             "遗失后无法找回云端密文。")
            : QStringLiteral(
                  "该密码只在本机使用，服务器无法解密你的主机地址、用户名和密码。换电脑恢复时必须输入同一个"
                  "同步密码；遗失后无法找回云端密文。"),
        this);
    note->setWordWrap(true);
    layout->addWidget(note);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Save | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Save)
        ->setText(entering ? QStringLiteral("确定") : QStringLiteral("保存同步密码"));
    buttons->button(QDialogButtonBox::Cancel)->setText(QStringLiteral("取消"));
    connect(buttons, &QDialogButtonBox::accepted, this, &SyncPassphraseDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &SyncPassphraseDialog::reject);
    layout->addWidget(buttons);
}

void SyncPassphraseDialog::accept()
{
    // Taken exactly as typed: blanks are part of a passphrase.
    const QString passphrase = m_passphrase->text();
    QString problem;
    if (passphrase.size() < 12) {
        problem = QStringLiteral("同步密码至少需要 12 个字符。");
    } else if (m_confirmation && passphrase != m_confirmation->text()) {
        problem = QStringLiteral("两次输入的同步密码不一致。");
    }
    if (!problem.isEmpty()) {
        m_problem->setText(problem);
        m_problem->setVisible(true);
        m_passphrase->setFocus();
        return;
    }
    QDialog::accept();
}

std::optional<QString> SyncPassphraseDialog::ask(QWidget* parent, Mode mode, const QString& problem)
{
    SyncPassphraseDialog dialog(mode, problem, parent);
    if (dialog.exec() != QDialog::Accepted) {
        return std::nullopt;
    }
    return dialog.m_passphrase->text();
}
