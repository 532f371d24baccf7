#include "ui/clipboard_import_dialog.h"

#include "import/host_import_parser.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QMessageBox>
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
    connect(buttons, &QDialogButtonBox::accepted, this, &ClipboardImportDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
}

QString ClipboardImportDialog::text() const
{
    return m_editor->toPlainText();
}

void ClipboardImportDialog::accept()
{
    if (text().trimmed().isEmpty()) {
        QDialog::accept(); // nothing to import, nothing to keep
        return;
    }
    // The same reading as the import's; the group does not matter for whether a host can be read.
    const HostParseResult parsed = HostImportParser::parse(text().toUtf8(), QString());
    if (parsed.remotes.isEmpty()) {
        QMessageBox::warning(this, QStringLiteral("导入失败"),
                             parsed.errors.isEmpty() ? QStringLiteral("没有可导入的主机，请粘贴主机列表。")
                                                     : parsed.errors.join(QLatin1Char('\n')));
        m_editor->setFocus();
        return;
    }
    QDialog::accept();
}
