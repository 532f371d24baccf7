#pragma once

#include "storage/group.h"
#include "storage/remote.h"

#include <QAbstractTableModel>
#include <QHash>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

#include <vector>

class DatabaseManager;

// The hosts the user may see, read once per change of the inventory, with a check state per host.
// Everything the table shows is derived from these records when the view asks for it, so a listing of
// thousands of hosts costs one read and no per-cell work.
class HostTableModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    enum Column {
        CheckColumn = 0,
        NameColumn,
        TypeColumn,
        HostColumn,
        PortColumn,
        UserColumn,
        GroupColumn,
        ScopeColumn,
        RemarkColumn,
        IdColumn,
        ColumnCount
    };

    // The database is not owned and must outlive the model.
    explicit HostTableModel(DatabaseManager* database, QObject* parent = nullptr);

    // What the table lists: the hosts without passwords and times, those a team member may not change,
    // the groups.
    struct Listing
    {
        QList<Remote> hosts;
        QSet<QString> readOnly;
        QList<Group> groups;
    };
    // Reads it over `db` (on any thread, with a connection of that thread). A team member sees only the
    // hosts shared with the team.
    static Listing read(DatabaseManager& db, bool teamMemberOnly);

    // Reads hosts and groups again. Checks stay on the hosts that are still listed.
    void reload(bool teamMemberOnly);
    // Shows a listing read elsewhere, as reload() would.
    void show(Listing listing);
    // How many listings were shown so far: a read made before the count changed is outdated.
    quint64 listingsShown() const { return m_listingsShown; }

    const QList<Remote>& hosts() const { return m_hosts; }
    const QList<Group>& groups() const { return m_groups; }
    const Remote& host(int row) const { return m_hosts.at(row); }
    QString groupName(const QString& groupId) const { return m_groupNames.value(groupId); }

    // Counts over every listed host, whatever the view filters.
    int windowsCount() const { return m_windowsCount; }
    int countInGroup(const QString& groupId) const { return m_perGroup.value(groupId); }

    bool isChecked(int row) const { return m_checked[static_cast<size_t>(row)]; }
    int checkedCount() const { return m_checkedCount; }
    // One change notice for all of `rows` (sorted or not).
    void setChecked(const QList<int>& rows, bool checked);

    // What a host read from the partner portal is, said where the user looks at or edits one.
    static QString portalHostNote();
    // Why a team member cannot change a host the owner shares.
    static QString teamHostNote();
    // A host the team's owner shares with this member: it can be opened, not changed.
    bool isReadOnly(int row) const { return m_readOnly.contains(m_hosts.at(row).id); }
    bool anyReadOnly(const QList<Remote>& hosts) const;

    // The text of a cell as the table shows it; the sort key of every column but the check column.
    QString text(int row, int column) const;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

signals:
    void checksChanged();
    // A remark typed into the table was stored.
    void remarkSaved(const QString& id);
    // Storing a typed remark failed; the cell shows the stored remark again.
    void remarkSaveFailed(const QString& id);

private:
    bool saveRemark(int row, const QString& typed);
    void showRemark(int row, const QString& remark);
    void recount();

    DatabaseManager* m_db;
    QList<Remote> m_hosts;
    QList<Group> m_groups;
    QHash<QString, QString> m_groupNames;
    QHash<QString, int> m_perGroup;
    int m_windowsCount = 0;
    std::vector<bool> m_checked;
    int m_checkedCount = 0;
    QSet<QString> m_readOnly;
    quint64 m_listingsShown = 0;
};
