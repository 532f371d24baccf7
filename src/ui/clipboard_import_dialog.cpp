#include "ui/clipboard_import_dialog.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QVBoxLayout>

ClipboardImportDialog::ClipboardImportDialog(const QString& clipboardText, QWidget* parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("clipboardImportDialog"));
    setWindowTitle(QStringLiteral("从剪贴板导入主机"));
    resize(760, 520);
    auto* layout = new QVBoxLayout(this);
    auto* label = new QLabel(
        QStringLiteral(
            "每行格式：IP,端口,用户名,密码,备注。支持英文逗号、中文全角逗号或 Tab，也支持带表头内容。"),
        this);
    label->setWordWrap(true);
    layout->addWidget(label);
    m_editor = new QPlainTextEdit(this);
    m_editor->setObjectName(QStringLiteral("clipboardImportText"));
    m_editor->setPlainText(clipboardText);
    m_editor->setPlaceholderText(QStringLiteral(
        "192.168.1.10,3389,Administrator,密码,Windows主机\n192.168.1.20，22，root，密码，Linux主机"));
    layout->addWidget(m_editor, 1);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
}

QString ClipboardImportDialog::text() const
{
    return m_editor->toPlainText();
}
