#pragma once

#include <QDialog>
#include <QList>
#include <QPair>
#include <QString>

class QCheckBox;
class QComboBox;
class QLabel;

// Builds one key combination (modifiers, then a main key) to send to every connected session.
class CustomShortcutDialog : public QDialog
{
    Q_OBJECT
public:
    // `connectedCount` is named in the explanation and on the send button.
    explicit CustomShortcutDialog(int connectedCount, QWidget* parent = nullptr);

    // Windows virtual keys: the checked modifiers in the order Ctrl, Alt, Shift, Win, then the main key.
    QList<int> keys() const;
    // The combination as shown in the preview, e.g. "Ctrl + Shift + Esc".
    QString label() const;
    bool confirmBeforeSend() const;

    // The main-key choices in order: display text and Windows virtual key.
    static QList<QPair<QString, int>> mainKeys();

private:
    void updatePreview();

    QCheckBox* m_ctrl = nullptr;
    QCheckBox* m_alt = nullptr;
    QCheckBox* m_shift = nullptr;
    QCheckBox* m_win = nullptr;
    QComboBox* m_mainKey = nullptr;
    QLabel* m_preview = nullptr;
    QCheckBox* m_confirm = nullptr;
};
