#pragma once

#include <QInputDialog>
#include <QString>
#include <QStringList>

// Chooses the command of a batch SSH run: a read-only preset, or a custom command that is typed in and
// confirmed before it runs.
class BatchCommandDialog : public QInputDialog
{
    Q_OBJECT
public:
    BatchCommandDialog(int hostCount, QWidget* parent = nullptr);

    // The whole choice for `hostCount` hosts; empty when the user gives up at any step.
    static QString askCommand(int hostCount, QWidget* parent);

    // The chooser's items, presets first, the custom item last.
    static QStringList items();
    // The command behind an item; empty for the custom item.
    static QString presetCommand(const QString& item);
};
