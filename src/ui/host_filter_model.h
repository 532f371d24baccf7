#pragma once

#include <QSortFilterProxyModel>
#include <QString>

class HostTableModel;

// What the host table shows of the listed hosts: the group or system type chosen in the navigation
// and the search text, applied in memory. Hosts that leave the view lose their check, so that the
// checked hosts are always rows the user can see.
class HostFilterModel : public QSortFilterProxyModel
{
    Q_OBJECT

public:
    explicit HostFilterModel(HostTableModel* source, QObject* parent = nullptr);

    // `groupId` empty: every group; `protocol` "rdp", "ssh" or empty; `search` is trimmed and matched
    // against name, address and remark ignoring case.
    void setFilter(const QString& groupId, const QString& protocol, const QString& search);
    bool hasFilter() const;

    HostTableModel* hostModel() const { return m_source; }
    // The listed row of a shown row.
    int hostRow(int row) const;
    // The listed rows of every shown row, in table order.
    QList<int> shownHostRows() const;

    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;

protected:
    bool filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const override;
    // The id column is for look-ups, never shown. Left out here rather than hidden in the view: the
    // view's header restores a hidden column after every change of the filter, and that resize
    // painted the table a second time per keystroke.
    bool filterAcceptsColumn(int sourceColumn, const QModelIndex& sourceParent) const override;
    bool lessThan(const QModelIndex& left, const QModelIndex& right) const override;

private:
    void uncheckHidden();
    void emitCheckHeaderChanged();

    HostTableModel* m_source;
    QString m_groupId;
    QString m_protocol;
    QString m_search;
};
