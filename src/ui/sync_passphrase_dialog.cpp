#include "ui/sync_passphrase_dialog.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

SyncPassphraseDialog::SyncPassphraseDialog(QWidget* parent) : QDialog(parent)
{
    setWindowTitle(QStringLiteral("设置主机云同步密码"));
    setMinimumWidth(480);
    auto* layout = new QVBoxLayout(this);
    auto* form = new QFormLayout;
    m_passphrase = new QLineEdit(this);
    m_passphrase->setEchoMode(QLineEdit::Password);
    m_passphrase->setPlaceholderText(QStringLiteral("至少 12 个字符"));
    m_confirmation = new QLineEdit(this);
    m_confirmation->setEchoMode(QLineEdit::Password);
    m_confirmation->setPlaceholderText(QStringLiteral("再次输入同步密码"));
    form->addRow(QStringLiteral("同步密码"), m_passphrase);
    form->addRow(QStringLiteral("确认密码"), m_confirmation);
    layout->addLayout(form);
    auto* note = new QLabel(QStringLiteral("该密码只在本机使用，服务器无法解密你的主机地址、用户名和密码。换"
                                           "电脑恢复时必须输入同一个同步密码；"
                                           "遗失后无法找回云端密文。"),
                            this);
    note->setWordWrap(true);
    layout->addWidget(note);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Save | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Save)->setText(QStringLiteral("保存同步密码"));
    buttons->button(QDialogButtonBox::Cancel)->setText(QStringLiteral("取消"));
    connect(buttons, &QDialogButtonBox::accepted, this, &SyncPassphraseDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &SyncPassphraseDialog::reject);
    layout->addWidget(buttons);
}

bool SyncPassphraseDialog::run(QWidget* parent, const std::function<bool(const QString&)>& store)
{
    SyncPassphraseDialog dialog(parent);
    if (dialog.exec() != QDialog::Accepted) {
        return false;
    }
    // Taken exactly as typed: blanks are part of a passphrase.
    const QString passphrase = dialog.m_passphrase->text();
    if (passphrase.size() < 12 || passphrase != dialog.m_confirmation->text()) {
        QMessageBox::warning(parent, QStringLiteral("无法保存"),
                             QStringLiteral("同步密码至少需要 12 个字符，并且两次输入必须一致。"));
        return false;
    }
    if (!store(passphrase)) {
        QMessageBox::critical(parent, QStringLiteral("无法保存"), QStringLiteral("同步密码本机加密失败。"));
        return false;
    }
    return true;
}
