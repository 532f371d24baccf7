#include "support/modal_driver.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QInputDialog>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QWidget>

ModalDriver::ModalDriver()
{
    connect(&m_timer, &QTimer::timeout, this, &ModalDriver::poll);
    m_timer.start(5);
}

void ModalDriver::then(std::function<void(QWidget*)> handler)
{
    m_handlers.enqueue(std::move(handler));
}

void ModalDriver::answer(QMessageBox::StandardButton button, SeenBox* seen)
{
    then([button, seen](QWidget* widget) {
        auto* box = qobject_cast<QMessageBox*>(widget);
        QVERIFY2(box != nullptr, qPrintable(widget->metaObject()->className()));
        if (seen != nullptr) {
            seen->title = box->windowTitle();
            seen->text = box->text();
            seen->icon = box->icon();
            seen->buttons = box->standardButtons();
            seen->defaultButton = box->defaultButton() != nullptr ? box->standardButton(box->defaultButton())
                                                                  : QMessageBox::NoButton;
        }
        QAbstractButton* target = box->button(button);
        QVERIFY(target != nullptr);
        target->click();
    });
}

void ModalDriver::input(const QString& value, QString* title, QString* label, QStringList* items)
{
    then([value, title, label, items](QWidget* widget) {
        auto* dialog = qobject_cast<QInputDialog*>(widget);
        QVERIFY2(dialog != nullptr, qPrintable(widget->metaObject()->className()));
        if (title != nullptr) {
            *title = dialog->windowTitle();
        }
        if (label != nullptr) {
            *label = dialog->labelText();
        }
        if (items != nullptr) {
            *items = dialog->comboBoxItems();
        }
        if (value.isNull()) {
            dialog->reject();
            return;
        }
        dialog->setTextValue(value);
        dialog->accept();
    });
}

void ModalDriver::poll()
{
    QWidget* modal = QApplication::activeModalWidget();
    if (modal == nullptr || modal->property("seenByTest").toBool()) {
        return;
    }
    modal->setProperty("seenByTest", true);
    if (m_handlers.isEmpty()) {
        QString text = modal->windowTitle();
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            text += QStringLiteral(": ") + box->text();
        }
        unexpected.append(text);
        if (auto* dialog = qobject_cast<QDialog*>(modal)) {
            dialog->reject();
        }
        return;
    }
    const QPointer<QWidget> guard(modal);
    m_handlers.dequeue()(modal);
    // A handler that failed leaves its dialog open; close it so the test can end.
    if (QTest::currentTestFailed() && guard && guard->isVisible()) {
        if (auto* dialog = qobject_cast<QDialog*>(guard.data())) {
            dialog->reject();
        }
    }
}
