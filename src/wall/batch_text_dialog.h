#pragma once

#include <QDialog>
#include <QString>

class QCheckBox;
class QPlainTextEdit;
class QPushButton;

// Asks for a text (at most 256 characters) to type into the focused window of every connected session.
class BatchTextDialog : public QDialog
{
    Q_OBJECT
public:
    static constexpr int kMaxLength = 256;

    explicit BatchTextDialog(int connectedCount, QWidget* parent = nullptr);

    QString text() const;
    // "发送完成后自动按 Enter" is checked.
    bool pressEnter() const;

private:
    void onTextChanged();

    QPlainTextEdit* m_editor = nullptr;
    QCheckBox* m_enter = nullptr;
    QPushButton* m_send = nullptr;
};
