#pragma once

#include <QBrush>
#include <QString>
#include <QStringList>
#include <QTreeWidget>

#include <functional>

class HostTableModel;

// The navigation tree: all hosts, the two system types and the groups, each with its number of
// hosts. Group items accept hosts dragged from the host table.
class GroupDropTreeWidget : public QTreeWidget
{
    Q_OBJECT

public:
    // Item data: the kind ("all", "heading", "protocol", "group") and its value.
    static constexpr int KindRole = Qt::UserRole;
    static constexpr int ValueRole = Qt::UserRole + 1;

    using DropCallback = std::function<void(const QString& groupId, const QStringList& ids)>;

    explicit GroupDropTreeWidget(QWidget* parent = nullptr);

    void setDropCallback(DropCallback callback) { m_dropCallback = std::move(callback); }

    // New items from the listed hosts and their groups; the current item then shows the filter.
    void rebuild(const HostTableModel& hosts, const QString& protocolFilter, const QString& groupFilter);
    // Makes current the item of the filter: the protocol item when `protocolFilter` is set, else the
    // group of `groupFilter`, else "all". Emits nothing.
    void showFilter(const QString& protocolFilter, const QString& groupFilter);

    static bool isGroupItem(const QTreeWidgetItem* item);

protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dragLeaveEvent(QDragLeaveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void highlight(QTreeWidgetItem* item);
    void clearHighlight();
    QTreeWidgetItem* findItem(const QString& kind, const QString& value) const;

    DropCallback m_dropCallback;
    QTreeWidgetItem* m_highlighted = nullptr;
    QBrush m_previousBackground;
};
