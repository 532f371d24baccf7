#pragma once

#include <QMessageBox>
#include <QObject>
#include <QQueue>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <functional>

class QWidget;

// What a message box showed, for the test to compare.
struct SeenBox
{
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;
    QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
};

// Answers the modal dialogs that the code under test opens, in order, from inside their event loops.
// A dialog nobody expected is recorded and rejected so that a test never hangs.
class ModalDriver : public QObject
{
public:
    ModalDriver();

    // The next modal widget goes to `handler`.
    void then(std::function<void(QWidget*)> handler);
    // The next message box: record it into `seen`, then press `button`.
    void answer(QMessageBox::StandardButton button, SeenBox* seen = nullptr);
    // The next input dialog: record its title and label, then accept `value` (or cancel when null).
    void input(const QString& value, QString* title = nullptr, QString* label = nullptr,
               QStringList* items = nullptr);

    bool done() const { return m_handlers.isEmpty(); }
    QStringList unexpected;

private:
    void poll();

    QTimer m_timer;
    QQueue<std::function<void(QWidget*)>> m_handlers;
};
