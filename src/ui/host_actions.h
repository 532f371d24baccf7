#pragma once

#include "storage/remote.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

class DatabaseManager;
class QWidget;

// The operations that change stored hosts from the action buttons and menus: delete, move to a group,
// batch remark and access scope. Each works on the hosts it is given, asks through dialogs on the
// parent window and writes through the database; the window re-reads its lists on the signals.
class HostActions : public QObject
{
    Q_OBJECT

public:
    // The database is not owned and must outlive this object.
    HostActions(DatabaseManager* database, QWidget* parent);

    // Asks, then removes all of `hosts` in one transaction.
    void remove(const QList<Remote>& hosts);
    // Asks for a group, then moves `hosts` there.
    void chooseGroupAndMove(const QList<Remote>& hosts);
    // Moves the hosts of `ids` to `groupId` and reports how many moved, failed or were there already.
    void move(const QStringList& ids, const QString& groupId);
    // Asks for one remark and writes it to every one of `hosts`.
    void editRemarks(const QList<Remote>& hosts);
    // Asks who may use `hosts` and stores that access scope.
    void setScope(const QList<Remote>& hosts);

signals:
    // Stored hosts changed.
    void inventoryChanged();
    // Hosts went to another group: the window clears the checks, then reads the hosts again.
    void hostsMoved();
    void statusMessage(const QString& text, int milliseconds);

private:
    QWidget* window() const;

    DatabaseManager* m_db;
};
