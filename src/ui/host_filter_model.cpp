#include "ui/host_filter_model.h"

#include "ui/host_table_model.h"

HostFilterModel::HostFilterModel(HostTableModel* source, QObject* parent)
    : QSortFilterProxyModel(parent), m_source(source)
{
    setSourceModel(source);
    // Connected after the proxy's own handlers, so these see the new mapping.
    connect(source, &QAbstractItemModel::modelReset, this, &HostFilterModel::uncheckHidden);
    connect(source, &HostTableModel::checksChanged, this, &HostFilterModel::emitCheckHeaderChanged);
    connect(this, &QAbstractItemModel::rowsInserted, this, &HostFilterModel::emitCheckHeaderChanged);
    connect(this, &QAbstractItemModel::rowsRemoved, this, &HostFilterModel::emitCheckHeaderChanged);
}

void HostFilterModel::emitCheckHeaderChanged()
{
    emit headerDataChanged(Qt::Horizontal, HostTableModel::CheckColumn, HostTableModel::CheckColumn);
}

void HostFilterModel::setFilter(const QString& groupId, const QString& protocol, const QString& search)
{
    const QString trimmed = search.trimmed();
    if (groupId == m_groupId && protocol == m_protocol && trimmed == m_search) {
        return;
    }
    m_groupId = groupId;
    m_protocol = protocol;
    m_search = trimmed;
    // One layout change for the whole new list: a row-by-row filter update tells the view about every
    // stretch of rows that came or went.
    invalidate();
    uncheckHidden();
    emitCheckHeaderChanged();
}

bool HostFilterModel::hasFilter() const
{
    return !m_groupId.isEmpty() || !m_protocol.isEmpty() || !m_search.isEmpty();
}

int HostFilterModel::hostRow(int row) const
{
    return mapToSource(index(row, 0)).row();
}

QList<int> HostFilterModel::shownHostRows() const
{
    QList<int> rows;
    const int count = rowCount();
    rows.reserve(count);
    for (int row = 0; row < count; ++row) {
        rows.append(hostRow(row));
    }
    return rows;
}

bool HostFilterModel::filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const
{
    Q_UNUSED(sourceParent);
    const Remote& remote = m_source->host(sourceRow);
    if (!m_groupId.isEmpty() && remote.group_id != m_groupId) {
        return false;
    }
    if (!m_protocol.isEmpty() && remote.isSsh() != (m_protocol == QLatin1String("ssh"))) {
        return false;
    }
    return m_search.isEmpty() || remote.name.contains(m_search, Qt::CaseInsensitive) ||
           remote.host.contains(m_search, Qt::CaseInsensitive) ||
           remote.remark.contains(m_search, Qt::CaseInsensitive);
}

bool HostFilterModel::filterAcceptsColumn(int sourceColumn, const QModelIndex& sourceParent) const
{
    Q_UNUSED(sourceParent);
    return sourceColumn != HostTableModel::IdColumn;
}

void HostFilterModel::sort(int column, Qt::SortOrder order)
{
    // The check column has no text: sorting on it is the listed order, and checking rows never moves
    // them.
    QSortFilterProxyModel::sort(column == HostTableModel::CheckColumn ? -1 : column, order);
}

bool HostFilterModel::lessThan(const QModelIndex& left, const QModelIndex& right) const
{
    // Plain text order for every column, the port too, as the table has always sorted.
    return m_source->text(left.row(), left.column()) < m_source->text(right.row(), right.column());
}

void HostFilterModel::uncheckHidden()
{
    if (m_source->checkedCount() == 0) {
        return;
    }
    QList<int> hidden;
    const int count = m_source->rowCount();
    for (int row = 0; row < count; ++row) {
        if (m_source->isChecked(row) && !filterAcceptsRow(row, QModelIndex())) {
            hidden.append(row);
        }
    }
    m_source->setChecked(hidden, false);
}

QVariant HostFilterModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || section != HostTableModel::CheckColumn || role != Qt::DisplayRole) {
        return QSortFilterProxyModel::headerData(section, orientation, role);
    }
    // Hidden hosts are never checked, so the model's count is the count of checked rows shown.
    const int rows = rowCount();
    const int checked = m_source->checkedCount();
    if (rows > 0 && checked == rows) {
        return QStringLiteral("☑ 已全选");
    }
    if (checked == 0) {
        return QStringLiteral("☐ 全选");
    }
    return QStringLiteral("▣ 已选 %1").arg(checked);
}
