#pragma once

#include <QDialog>
#include <QString>

class QPlainTextEdit;

// Pasted host lines to import: starts with the clipboard's text, which the user may edit. Text in
// which no host can be read is refused with the reasons, and stays for the user to mend.
class ClipboardImportDialog : public QDialog
{
    Q_OBJECT

public:
    ClipboardImportDialog(const QString& clipboardText, QWidget* parent = nullptr);

    QString text() const;
    QPlainTextEdit* editor() const { return m_editor; }

public slots:
    void accept() override;

private:
    QPlainTextEdit* m_editor = nullptr;
};
