#pragma once

#include <QString>

class QPushButton;
class QWidget;

// The one style sheet of the main window: the light page, the cards and the button roles.
QString mainWindowStyleSheet();

// A button of the main window; `role` ("primary", "accent", "danger") selects its colours in the
// style sheet.
QPushButton* makeStyledButton(QWidget* parent, const char* objectName, const QString& text,
                              const QString& toolTip = QString(), const char* role = nullptr);
