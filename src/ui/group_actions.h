#pragma once

#include <QObject>
#include <QString>

class DatabaseManager;
class QWidget;

// The group operations behind the group row and the navigation menu: create, rename and delete a
// group, and fold the agents' group into the default one. Each asks through dialogs on the parent
// window and writes through the database; the caller reloads its lists afterwards.
class GroupActions : public QObject
{
    Q_OBJECT

public:
    // The database is not owned and must outlive this object.
    GroupActions(DatabaseManager* database, QWidget* parent);

    // Asks for a name and creates the group; its id, or empty when none was made.
    QString add();
    // Asks for a new name for `groupId`; true when the group was renamed.
    bool rename(const QString& groupId);
    // Asks, then removes `groupId` with all its hosts; true when it was removed.
    bool remove(const QString& groupId);
    // The agents' group "Agent 托管主机" gives its hosts to "默认分组" (or the first other group) and
    // goes away; alone, it becomes "默认分组". A failed move leaves it for the next call.
    void mergeAgentGroup();

private:
    QWidget* window() const;

    DatabaseManager* m_db;
};
