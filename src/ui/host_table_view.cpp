#include "ui/host_table_view.h"

#include "ui/host_filter_model.h"
#include "ui/host_table_model.h"
#include "ui/remark_editor_delegate.h"
#include "ui/remote_id_mime.h"

#include <QCoreApplication>
#include <QDrag>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QMimeData>
#include <QPainter>
#include <QSignalBlocker>

#include <algorithm>

namespace {

struct ColumnBounds
{
    int minimum;
    int maximum;
};

constexpr ColumnBounds kColumnBounds[] = {{92, 120},  {100, 300}, {112, 170}, {130, 360}, {70, 90},
                                          {100, 240}, {90, 220},  {122, 220}, {100, 460}};

} // namespace

HostTableView::HostTableView(HostFilterModel* model, QWidget* parent) : QTableView(parent), m_filter(model)
{
    setModel(model);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setAlternatingRowColors(true);
    setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::SelectedClicked |
                    QAbstractItemView::EditKeyPressed);
    setContextMenuPolicy(Qt::CustomContextMenu);
    setDragEnabled(true);
    setDragDropMode(QAbstractItemView::DragOnly);
    setDefaultDropAction(Qt::MoveAction);
    setWordWrap(false);
    // Row numbers mean nothing once the table is sorted or filtered.
    verticalHeader()->setVisible(false);
    // Every row as high as the first: asking each of thousands of rows for its height costs more than
    // the rest of a listing.
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    QHeaderView* header = horizontalHeader();
    header->setStretchLastSection(false);
    header->setMinimumSectionSize(54);
    header->setSectionResizeMode(QHeaderView::Interactive);
    header->setResizeContentsPrecision(300);
    // Unsorted (the listed order, by name) until the user clicks a header.
    header->setSortIndicator(-1, Qt::AscendingOrder);
    setSortingEnabled(true);
    setItemDelegateForColumn(HostTableModel::RemarkColumn, new RemarkEditorDelegate(this));
    connect(header, &QHeaderView::sectionClicked, this, &HostTableView::onHeaderSectionClicked);
    // The placeholder follows the row count.
    connect(model, &QAbstractItemModel::layoutChanged, viewport(), qOverload<>(&QWidget::update));
    connect(model, &QAbstractItemModel::modelReset, viewport(), qOverload<>(&QWidget::update));
}

HostTableModel* HostTableView::hostModel() const
{
    return m_filter->hostModel();
}

QStringList HostTableView::chosenIds() const
{
    const HostTableModel* hosts = hostModel();
    QStringList ids;
    if (hosts->checkedCount() > 0) {
        for (const int row : m_filter->shownHostRows()) {
            if (hosts->isChecked(row)) {
                ids.append(hosts->host(row).id);
            }
        }
        return ids;
    }
    QList<int> rows;
    for (const QModelIndex& index : selectionModel()->selectedRows()) {
        rows.append(index.row());
    }
    std::sort(rows.begin(), rows.end());
    for (const int row : rows) {
        ids.append(hosts->host(m_filter->hostRow(row)).id);
    }
    return ids;
}

QStringList HostTableView::shownIds() const
{
    QStringList ids;
    for (const int row : m_filter->shownHostRows()) {
        ids.append(hostModel()->host(row).id);
    }
    return ids;
}

int HostTableView::currentHostRow() const
{
    const QModelIndex current = currentIndex();
    return current.isValid() ? m_filter->mapToSource(current).row() : -1;
}

void HostTableView::checkAll()
{
    {
        const QSignalBlocker selectionBlocker(selectionModel());
        hostModel()->setChecked(m_filter->shownHostRows(), true);
        selectAll();
    }
    viewport()->update();
}

void HostTableView::uncheckAll()
{
    {
        const QSignalBlocker selectionBlocker(selectionModel());
        QList<int> rows;
        for (int row = 0; row < hostModel()->rowCount(); ++row) {
            rows.append(row);
        }
        hostModel()->setChecked(rows, false);
        clearSelection();
    }
    viewport()->update();
}

void HostTableView::onHeaderSectionClicked(int section)
{
    if (section != HostTableModel::CheckColumn) {
        return;
    }
    const int rows = m_filter->rowCount();
    if (rows > 0 && hostModel()->checkedCount() == rows) {
        uncheckAll();
    } else {
        checkAll();
    }
}

void HostTableView::selectionChanged(const QItemSelection& selected, const QItemSelection& deselected)
{
    QTableView::selectionChanged(selected, deselected);
    // Rows joining the selection are checked; rows leaving it keep their check.
    QList<int> rows;
    for (const QItemSelectionRange& range : selected) {
        for (int row = range.top(); row <= range.bottom(); ++row) {
            rows.append(m_filter->hostRow(row));
        }
    }
    hostModel()->setChecked(rows, true);
}

void HostTableView::layOutNow()
{
    executeDelayedItemsLayout();
    // A scroll bar that came or went resizes the viewport, which lays the rows out again: that too
    // before the paint, not during it.
    QCoreApplication::sendPostedEvents(this, QEvent::LayoutRequest);
    executeDelayedItemsLayout();
}

void HostTableView::fitColumns()
{
    for (int column = HostTableModel::CheckColumn; column <= HostTableModel::RemarkColumn; ++column) {
        resizeColumnToContents(column);
        const ColumnBounds& bounds = kColumnBounds[column];
        setColumnWidth(column, std::clamp(columnWidth(column) + 8, bounds.minimum, bounds.maximum));
    }
}

QString HostTableView::placeholderText() const
{
    if (m_filter->rowCount() > 0) {
        return QString();
    }
    if (hostModel()->rowCount() == 0) {
        return QStringLiteral("还没有主机。\n点击“添加主机”逐台添加，或用“导入主机”从 CSV / TXT / Excel "
                              "文件或剪贴板批量导入。");
    }
    return QStringLiteral("没有符合当前筛选条件的主机。\n请修改搜索内容，或在左侧选择“全部主机”。");
}

void HostTableView::paintEvent(QPaintEvent* event)
{
    QTableView::paintEvent(event);
    const QString text = placeholderText();
    if (text.isEmpty()) {
        return;
    }
    QPainter painter(viewport());
    painter.setPen(palette().placeholderText().color());
    painter.drawText(viewport()->rect().adjusted(24, 24, -24, -24), Qt::AlignCenter | Qt::TextWordWrap, text);
}

void HostTableView::startDrag(Qt::DropActions supportedActions)
{
    Q_UNUSED(supportedActions);
    if (!m_idProvider) {
        return;
    }
    const QStringList ids = m_idProvider();
    if (ids.isEmpty()) {
        return;
    }
    auto* mimeData = new QMimeData;
    mimeData->setData(kRemoteIdsMimeType, encodeRemoteIds(ids));
    auto* drag = new QDrag(this);
    drag->setMimeData(mimeData);
    drag->exec(Qt::MoveAction, Qt::MoveAction);
}
