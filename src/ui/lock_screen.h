#pragma once

#include <QWidget>

class QLabel;
class QLineEdit;
class QPushButton;

// What a window of the program shows while the program is locked: an opaque cover over all of its
// content with the field for the master password. The window underneath keeps its state.
class LockScreen : public QWidget
{
    Q_OBJECT

public:
    // Covers `window` (a top-level widget) and follows its size.
    explicit LockScreen(QWidget* window);

    QLineEdit* passwordEdit() const { return m_password; }
    QPushButton* unlockButton() const { return m_unlock; }
    QPushButton* forgotButton() const { return m_forgot; }
    QLabel* messageLabel() const { return m_message; }

    // While the key is being opened, or while the wait after a wrong password runs, nothing is taken.
    void setAccepting(bool accepting);
    void setMessage(const QString& text);
    void focusPassword();

signals:
    void unlockRequested(const QString& password);
    void forgotRequested();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void submit();

    QLineEdit* m_password = nullptr;
    QPushButton* m_unlock = nullptr;
    QPushButton* m_forgot = nullptr;
    QLabel* m_message = nullptr;
};
