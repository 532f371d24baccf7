#include "ui/host_table_model.h"

#include "storage/database_manager.h"

#include <QDateTime>
#include <QFont>
#include <QSet>

#include <algorithm>

namespace {

QString remarkToolTip(const QString& remark)
{
    return remark.isEmpty() ? QStringLiteral("双击直接填写备注")
                            : QStringLiteral("%1\n\n双击可直接修改备注").arg(remark);
}

} // namespace

QString HostTableModel::portalHostNote()
{
    return QStringLiteral("此服务器来自 Vantrelnet 账号（只读）：每次 Vantrelnet 登录都会按网站资料完整替换，"
                          "本机对它的修改会在下次同步时被覆盖。");
}

QString HostTableModel::teamHostNote()
{
    return QStringLiteral(
        "此主机由主账号通过团队共享（只读）：成员可以连接，但不能编辑或删除；如需修改请联系主账号。");
}

bool HostTableModel::anyReadOnly(const QList<Remote>& hosts) const
{
    return std::any_of(hosts.cbegin(), hosts.cend(),
                       [this](const Remote& remote) { return m_readOnly.contains(remote.id); });
}

HostTableModel::HostTableModel(DatabaseManager* database, QObject* parent)
    : QAbstractTableModel(parent), m_db(database)
{
}

HostTableModel::Listing HostTableModel::read(DatabaseManager& db, bool teamMemberOnly)
{
    Listing listing;
    // The table shows neither passwords nor times: both are left unread.
    listing.hosts = db.getAllRemotes(DatabaseManager::Passwords::Skip, DatabaseManager::Times::Skip);
    if (teamMemberOnly) {
        listing.hosts.removeIf(
            [](const Remote& remote) { return remote.access_scope != QLatin1String("team"); });
        // Hosts a cloud brought here belong to the account that shares them.
        const QHash<QString, QString> origins = db.syncOrigins();
        for (const Remote& remote : std::as_const(listing.hosts)) {
            const QString origin = origins.value(remote.id);
            if (!origin.isEmpty() && origin != QLatin1String(DatabaseManager::kLocalOnlyOrigin)) {
                listing.readOnly.insert(remote.id);
            }
        }
    }
    listing.groups = db.getGroups();
    return listing;
}

void HostTableModel::reload(bool teamMemberOnly)
{
    show(read(*m_db, teamMemberOnly));
}

void HostTableModel::show(Listing listing)
{
    QSet<QString> checkedIds;
    for (int row = 0; row < m_hosts.size(); ++row) {
        if (isChecked(row)) {
            checkedIds.insert(m_hosts.at(row).id);
        }
    }

    beginResetModel();
    ++m_listingsShown;
    m_hosts = std::move(listing.hosts);
    m_readOnly = std::move(listing.readOnly);
    m_groups = std::move(listing.groups);
    m_groupNames.clear();
    for (const Group& group : std::as_const(m_groups)) {
        m_groupNames.insert(group.id, group.name);
    }
    m_checked.assign(static_cast<size_t>(m_hosts.size()), false);
    m_checkedCount = 0;
    if (!checkedIds.isEmpty()) {
        for (int row = 0; row < m_hosts.size(); ++row) {
            if (checkedIds.contains(m_hosts.at(row).id)) {
                m_checked[static_cast<size_t>(row)] = true;
                ++m_checkedCount;
            }
        }
    }
    recount();
    endResetModel();
    emit checksChanged();
}

void HostTableModel::recount()
{
    m_windowsCount = 0;
    m_perGroup.clear();
    for (const Remote& remote : std::as_const(m_hosts)) {
        if (!remote.isSsh()) {
            ++m_windowsCount;
        }
        ++m_perGroup[remote.group_id];
    }
}

void HostTableModel::setChecked(const QList<int>& rows, bool checked)
{
    int first = -1;
    int last = -1;
    for (const int row : rows) {
        if (row < 0 || row >= m_hosts.size() || isChecked(row) == checked) {
            continue;
        }
        m_checked[static_cast<size_t>(row)] = checked;
        m_checkedCount += checked ? 1 : -1;
        first = first < 0 ? row : std::min(first, row);
        last = std::max(last, row);
    }
    if (first < 0) {
        return;
    }
    emit dataChanged(index(first, CheckColumn), index(last, CheckColumn), {Qt::CheckStateRole});
    emit checksChanged();
}

QString HostTableModel::text(int row, int column) const
{
    const Remote& remote = m_hosts.at(row);
    switch (column) {
    case NameColumn:
        return remote.name;
    case TypeColumn:
        return remote.isSsh() ? QStringLiteral("Linux / SSH") : QStringLiteral("Windows / RDP");
    case HostColumn:
        return remote.host;
    case PortColumn:
        return QString::number(remote.port);
    case UserColumn:
        return remote.username;
    case GroupColumn:
        return m_groupNames.value(remote.group_id);
    case ScopeColumn:
        return remote.access_scope == QLatin1String("team") ? QStringLiteral("主账号 + 子账号")
                                                            : QStringLiteral("仅主账号");
    case RemarkColumn:
        return remote.remark;
    case IdColumn:
        return remote.id;
    default:
        return QString();
    }
}

int HostTableModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_hosts.size());
}

int HostTableModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant HostTableModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= m_hosts.size()) {
        return QVariant();
    }
    const int row = index.row();
    const int column = index.column();
    if (column == CheckColumn) {
        return role == Qt::CheckStateRole ? QVariant(isChecked(row) ? Qt::Checked : Qt::Unchecked)
                                          : QVariant();
    }
    switch (role) {
    case Qt::DisplayRole:
    case Qt::EditRole:
        return text(row, column);
    case Qt::ToolTipRole: {
        const Remote& remote = m_hosts.at(row);
        if (column == RemarkColumn) {
            const QString tip = remarkToolTip(remote.remark);
            if (isReadOnly(row)) {
                return teamHostNote();
            }
            return remote.isFromPortal() ? QVariant(tip + QStringLiteral("\n\n") + portalHostNote())
                                         : QVariant(tip);
        }
        if (isReadOnly(row)) {
            return teamHostNote();
        }
        return remote.isFromPortal() ? QVariant(portalHostNote()) : QVariant();
    }
    case Qt::FontRole:
        // Portal hosts stand apart from the user's own at a glance.
        if (m_hosts.at(row).isFromPortal()) {
            QFont font;
            font.setItalic(true);
            return font;
        }
        return QVariant();
    default:
        return QVariant();
    }
}

bool HostTableModel::setData(const QModelIndex& index, const QVariant& value, int role)
{
    if (!index.isValid() || index.row() >= m_hosts.size()) {
        return false;
    }
    if (index.column() == CheckColumn && role == Qt::CheckStateRole) {
        setChecked({index.row()}, value.value<Qt::CheckState>() == Qt::Checked);
        return true;
    }
    if (index.column() == RemarkColumn && role == Qt::EditRole) {
        return saveRemark(index.row(), value.toString());
    }
    return false;
}

bool HostTableModel::saveRemark(int row, const QString& typed)
{
    const QString id = m_hosts.at(row).id;
    // The whole record is written back, so it is read with its password.
    std::optional<Remote> stored = m_db->getRemote(id);
    if (!stored) {
        return false;
    }
    const QString remark = typed.trimmed();
    const QString before = stored->remark;
    const bool changed = remark != before;
    if (changed) {
        stored->remark = remark;
        stored->updated_at = QDateTime::currentDateTimeUtc();
    }
    const bool saved = !changed || m_db->updateRemote(*stored);
    // A remark equal to the stored one after trimming is written nowhere but into the cell; after a
    // failed write the cell shows the stored remark again.
    showRemark(row, saved ? remark : before);
    if (!saved) {
        emit remarkSaveFailed(id);
    } else if (changed) {
        emit remarkSaved(id);
    }
    return saved;
}

void HostTableModel::showRemark(int row, const QString& remark)
{
    if (m_hosts.at(row).remark == remark) {
        return;
    }
    m_hosts[row].remark = remark;
    const QModelIndex cell = index(row, RemarkColumn);
    emit dataChanged(cell, cell, {Qt::DisplayRole, Qt::EditRole, Qt::ToolTipRole});
}

Qt::ItemFlags HostTableModel::flags(const QModelIndex& index) const
{
    if (!index.isValid()) {
        return Qt::NoItemFlags;
    }
    // The check column cannot start a drag, so a drag always begins on a host's text.
    if (index.column() == CheckColumn) {
        return Qt::ItemIsSelectable | Qt::ItemIsUserCheckable | Qt::ItemIsEnabled;
    }
    const Qt::ItemFlags plain = Qt::ItemIsSelectable | Qt::ItemIsEnabled | Qt::ItemIsDragEnabled;
    return index.column() == RemarkColumn && !isReadOnly(index.row()) ? plain | Qt::ItemIsEditable : plain;
}

QVariant HostTableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    static const QStringList kHeaders = {QString(),
                                         QStringLiteral("名称"),
                                         QStringLiteral("类型"),
                                         QStringLiteral("主机"),
                                         QStringLiteral("端口"),
                                         QStringLiteral("用户名"),
                                         QStringLiteral("分组"),
                                         QStringLiteral("权限"),
                                         QStringLiteral("备注"),
                                         QStringLiteral("ID")};
    if (orientation != Qt::Horizontal || section < 0 || section >= ColumnCount) {
        return QAbstractTableModel::headerData(section, orientation, role);
    }
    if (role == Qt::DisplayRole) {
        return kHeaders.at(section);
    }
    if (role == Qt::ToolTipRole && section == CheckColumn) {
        return QStringLiteral("点击这里可一键全选或取消全部主机");
    }
    return QVariant();
}
