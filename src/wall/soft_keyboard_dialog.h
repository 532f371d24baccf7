#pragma once

#include <QDialog>
#include <QList>
#include <QString>

class QPushButton;

// An on-screen keyboard whose every key press goes to all connected sessions. Modifier buttons stay lit
// until the next key press, which sends them together with that key and then clears them.
class SoftKeyboardDialog : public QDialog
{
    Q_OBJECT
public:
    explicit SoftKeyboardDialog(QWidget* parent = nullptr);

    // The lit modifiers' Windows virtual keys in the order Ctrl, Alt, Shift, Win.
    QList<int> litModifiers() const;
    void clearModifiers();

    // Whether a combination needs the user's consent: Ctrl+Alt+Delete, Alt+F4 and Win+L.
    static bool isDangerous(const QList<int>& keys);

signals:
    // A key button was pressed: keys = lit modifiers then the key, label = their texts joined with " + ".
    // The modifiers are cleared after every receiver has returned.
    void combinationRequested(const QList<int>& keys, const QString& label, bool confirm);

private:
    void pressKey(const QString& text, int virtualKey);

    QPushButton* m_ctrl = nullptr;
    QPushButton* m_alt = nullptr;
    QPushButton* m_shift = nullptr;
    QPushButton* m_win = nullptr;
};
