#pragma once

#include <QString>

// The one style sheet of the main window: the light page, the cards and the button roles.
QString mainWindowStyleSheet();
