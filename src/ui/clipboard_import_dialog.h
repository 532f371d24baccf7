#pragma once

#include <QDialog>
#include <QString>

class QPlainTextEdit;

// Pasted host lines to import: starts with the clipboard's text, which the user may edit.
class ClipboardImportDialog : public QDialog
{
    Q_OBJECT

public:
    ClipboardImportDialog(const QString& clipboardText, QWidget* parent = nullptr);

    QString text() const;

private:
    QPlainTextEdit* m_editor = nullptr;
};
