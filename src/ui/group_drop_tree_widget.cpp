#include "ui/group_drop_tree_widget.h"

#include "ui/host_table_model.h"
#include "ui/remote_id_mime.h"

#include <QDragEnterEvent>
#include <QDragLeaveEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QSignalBlocker>

namespace {

const QString kKindAll = QStringLiteral("all");
const QString kKindHeading = QStringLiteral("heading");
const QString kKindProtocol = QStringLiteral("protocol");
const QString kKindGroup = QStringLiteral("group");
const QString kHighlightColor = QStringLiteral("#dce8ff");

} // namespace

GroupDropTreeWidget::GroupDropTreeWidget(QWidget* parent) : QTreeWidget(parent)
{
    setHeaderHidden(true);
    setAlternatingRowColors(true);
    setMinimumWidth(150);
    setContextMenuPolicy(Qt::CustomContextMenu);
    setAcceptDrops(true);
    setDragDropMode(QAbstractItemView::DropOnly);
    setDropIndicatorShown(true);
}

bool GroupDropTreeWidget::isGroupItem(const QTreeWidgetItem* item)
{
    return item != nullptr && item->data(0, KindRole).toString() == kKindGroup;
}

void GroupDropTreeWidget::rebuild(const HostTableModel& hosts, const QString& protocolFilter,
                                  const QString& groupFilter)
{
    const int total = hosts.rowCount();
    const int windowsCount = hosts.windowsCount();

    const QSignalBlocker blocker(this);
    // The remembered item is destroyed with the others.
    m_highlighted = nullptr;
    m_previousBackground = QBrush();
    clear();

    const Qt::ItemFlags plainFlags = Qt::ItemIsSelectable | Qt::ItemIsEnabled;
    const auto makeItem = [&](QTreeWidgetItem* parent, const QString& text, const QString& kind,
                              const QString& value) {
        auto* item = parent != nullptr ? new QTreeWidgetItem(parent) : new QTreeWidgetItem(this);
        item->setText(0, text);
        item->setData(0, KindRole, kind);
        if (!value.isNull()) {
            item->setData(0, ValueRole, value);
        }
        item->setFlags(kind == kKindGroup ? plainFlags | Qt::ItemIsDropEnabled : plainFlags);
        if (kind == kKindHeading) {
            QFont bold = item->font(0);
            bold.setWeight(QFont::Bold);
            item->setFont(0, bold);
        }
        return item;
    };

    makeItem(nullptr, QStringLiteral("全部主机  (%1)").arg(total), kKindAll, QString());
    QTreeWidgetItem* systems = makeItem(nullptr, QStringLiteral("系统类型"), kKindHeading, QString());
    makeItem(systems, QStringLiteral("Windows / RDP  (%1)").arg(windowsCount), kKindProtocol,
             QStringLiteral("rdp"));
    makeItem(systems, QStringLiteral("Linux / SSH  (%1)").arg(total - windowsCount), kKindProtocol,
             QStringLiteral("ssh"));
    QTreeWidgetItem* groupHeading = makeItem(nullptr, QStringLiteral("主机分组"), kKindHeading, QString());
    for (const Group& group : hosts.groups()) {
        makeItem(groupHeading, QStringLiteral("%1  (%2)").arg(group.name).arg(hosts.countInGroup(group.id)),
                 kKindGroup, group.id);
    }
    systems->setExpanded(true);
    groupHeading->setExpanded(true);
    showFilter(protocolFilter, groupFilter);
}

QTreeWidgetItem* GroupDropTreeWidget::findItem(const QString& kind, const QString& value) const
{
    for (QTreeWidgetItemIterator it(const_cast<GroupDropTreeWidget*>(this)); *it != nullptr; ++it) {
        if ((*it)->data(0, KindRole).toString() == kind &&
            (value.isNull() || (*it)->data(0, ValueRole).toString() == value)) {
            return *it;
        }
    }
    return nullptr;
}

void GroupDropTreeWidget::showFilter(const QString& protocolFilter, const QString& groupFilter)
{
    QTreeWidgetItem* current = nullptr;
    if (!protocolFilter.isEmpty()) {
        current = findItem(kKindProtocol, protocolFilter);
    } else if (!groupFilter.isEmpty()) {
        current = findItem(kKindGroup, groupFilter);
    }
    if (current == nullptr) {
        current = findItem(kKindAll, QString());
    }
    if (current != nullptr && current != currentItem()) {
        const QSignalBlocker blocker(this);
        setCurrentItem(current);
    }
}

void GroupDropTreeWidget::dragEnterEvent(QDragEnterEvent* event)
{
    if (event->mimeData()->hasFormat(kRemoteIdsMimeType)) {
        event->setDropAction(Qt::MoveAction);
        event->accept();
    } else {
        event->ignore();
    }
}

void GroupDropTreeWidget::dragMoveEvent(QDragMoveEvent* event)
{
    QTreeWidgetItem* item = itemAt(event->position().toPoint());
    if (isGroupItem(item) && event->mimeData()->hasFormat(kRemoteIdsMimeType)) {
        highlight(item);
        event->setDropAction(Qt::MoveAction);
        event->accept();
    } else {
        clearHighlight();
        event->ignore();
    }
}

void GroupDropTreeWidget::dragLeaveEvent(QDragLeaveEvent* event)
{
    clearHighlight();
    event->accept();
}

void GroupDropTreeWidget::dropEvent(QDropEvent* event)
{
    QTreeWidgetItem* item = itemAt(event->position().toPoint());
    if (!isGroupItem(item) || !event->mimeData()->hasFormat(kRemoteIdsMimeType)) {
        clearHighlight();
        event->ignore();
        return;
    }
    const QStringList ids = decodeRemoteIds(event->mimeData()->data(kRemoteIdsMimeType));
    const QString groupId = item->data(0, ValueRole).toString();
    clearHighlight();
    if (m_dropCallback && !groupId.isEmpty() && !ids.isEmpty()) {
        event->setDropAction(Qt::MoveAction);
        event->accept();
        // The callback rebuilds the tree; nothing of it may be used afterwards.
        m_dropCallback(groupId, ids);
    } else {
        event->ignore();
    }
}

void GroupDropTreeWidget::highlight(QTreeWidgetItem* item)
{
    if (item == m_highlighted) {
        return;
    }
    clearHighlight();
    m_highlighted = item;
    m_previousBackground = item->background(0);
    item->setBackground(0, QColor(kHighlightColor));
    viewport()->update();
}

void GroupDropTreeWidget::clearHighlight()
{
    if (m_highlighted == nullptr) {
        return;
    }
    m_highlighted->setBackground(0, m_previousBackground);
    m_highlighted = nullptr;
    m_previousBackground = QBrush();
    viewport()->update();
}
