#include "wall/batch_text_dialog.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTextCursor>
#include <QVBoxLayout>

BatchTextDialog::BatchTextDialog(int connectedCount, QWidget* parent) : QDialog(parent)
{
    setWindowTitle(QStringLiteral("批量键盘输入"));
    setModal(true);
    setMinimumWidth(520);

    auto* explanation =
        new QLabel(QStringLiteral("输入的文字将发送到 %1 台已连接远程主机当前获得焦点的窗口。\n"
                                  "此功能只模拟键盘输入，不会在后台执行命令。最多 256 个字符。")
                       .arg(connectedCount),
                   this);
    explanation->setObjectName(QStringLiteral("explanationLabel"));
    explanation->setWordWrap(true);

    m_editor = new QPlainTextEdit(this);
    m_editor->setObjectName(QStringLiteral("batchTextEdit"));
    m_editor->setPlaceholderText(QStringLiteral("例如：notepad\n或在每台主机当前窗口输入相同的文字"));
    connect(m_editor, &QPlainTextEdit::textChanged, this, &BatchTextDialog::onTextChanged);

    m_enter = new QCheckBox(QStringLiteral("发送完成后自动按 Enter"), this);
    m_enter->setObjectName(QStringLiteral("enterCheck"));

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Cancel, this);
    m_send =
        buttons->addButton(QStringLiteral("发送到 %1 台").arg(connectedCount), QDialogButtonBox::AcceptRole);
    m_send->setObjectName(QStringLiteral("sendButton"));
    m_send->setEnabled(false);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(explanation);
    layout->addWidget(m_editor);
    layout->addWidget(m_enter);
    layout->addWidget(buttons);

    m_editor->setFocus();
}

QString BatchTextDialog::text() const
{
    return m_editor->toPlainText();
}

bool BatchTextDialog::pressEnter() const
{
    return m_enter->isChecked();
}

void BatchTextDialog::onTextChanged()
{
    const QString current = m_editor->toPlainText();
    if (current.size() > kMaxLength) {
        // The cut itself must not come back here as another change. Never keep half of a surrogate pair: it
        // would reach the remote side as a broken character.
        const int length = current.at(kMaxLength - 1).isHighSurrogate() ? kMaxLength - 1 : kMaxLength;
        const QSignalBlocker blocker(m_editor);
        m_editor->setPlainText(current.left(length));
        QTextCursor cursor = m_editor->textCursor();
        cursor.movePosition(QTextCursor::End);
        m_editor->setTextCursor(cursor);
    }
    m_send->setEnabled(!m_editor->toPlainText().isEmpty());
}
