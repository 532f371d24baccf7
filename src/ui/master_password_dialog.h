#pragma once

#include <QDialog>
#include <QString>

#include <functional>

class AppLock;
class QLabel;
class QLineEdit;
class QPushButton;
class QTimer;

// Asks for the master password: a new one (set, twice), a new one after the current one (change), the
// current one alone (remove, or confirm before a stored password is shown). Input that is refused keeps
// the dialog open with what was typed and says why; a wrong current password is answered with
// AppLock's growing wait, during which OK stays disabled.
class MasterPasswordDialog : public QDialog
{
    Q_OBJECT

public:
    enum class Mode { Set, Change, Remove, Confirm };
    // The result of exec() after "不使用主密码".
    static constexpr int kDeclined = 2;
    static constexpr int kMinLength = 8;

    // Does the work once the input passed the checks (re-seal, remove); false keeps the dialog open
    // with `error` shown. `current` is empty in Set mode, `next` in Remove and Confirm mode.
    using Operation = std::function<bool(const QString& current, const QString& next, QString* error)>;

    // `appLock` checks the current password (Change, Remove, Confirm); `offerDecline` adds
    // "不使用主密码" (Set at first start only).
    MasterPasswordDialog(Mode mode, AppLock* appLock, Operation operation, bool offerDecline = false,
                         QWidget* parent = nullptr);
    ~MasterPasswordDialog() override;

    QLineEdit* currentEdit() const { return m_current; } // null in Set mode
    QLineEdit* newEdit() const { return m_new; }         // null in Remove and Confirm mode
    QLineEdit* repeatEdit() const { return m_repeat; }   // null in Remove and Confirm mode
    QLabel* problemLabel() const { return m_problem; }
    QLabel* strengthLabel() const { return m_strength; } // null in Remove and Confirm mode
    QPushButton* okButton() const { return m_ok; }
    QPushButton* declineButton() const { return m_decline; } // null unless offered

    // "弱"/"中"/"强" with a short reason, from the length and the kinds of characters.
    static QString strengthText(const QString& password);

    void accept() override;

private:
    void showProblem(const QString& text);
    // Disables OK while AppLock makes the next attempt wait, and says for how long.
    void updateWait();
    void wipeFields();

    Mode m_mode;
    AppLock* m_appLock;
    Operation m_operation;
    QLineEdit* m_current = nullptr;
    QLineEdit* m_new = nullptr;
    QLineEdit* m_repeat = nullptr;
    QLabel* m_strength = nullptr;
    QLabel* m_problem = nullptr;
    QPushButton* m_ok = nullptr;
    QPushButton* m_decline = nullptr;
    QTimer* m_waitTimer = nullptr;
};
