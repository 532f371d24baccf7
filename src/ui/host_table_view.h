#pragma once

#include <QString>
#include <QStringList>
#include <QTableView>

#include <functional>

class HostFilterModel;
class HostTableModel;

// The host table: checks follow the selection, the check column's header checks or clears every
// row, a drag carries the ids of the chosen hosts, and an empty table says why it is empty.
class HostTableView : public QTableView
{
    Q_OBJECT

public:
    using IdProvider = std::function<QStringList()>;

    HostTableView(HostFilterModel* model, QWidget* parent = nullptr);

    HostFilterModel* filterModel() const { return m_filter; }
    HostTableModel* hostModel() const;

    void setIdProvider(IdProvider provider) { m_idProvider = std::move(provider); }

    // Ids of the checked rows in table order; of the selected rows when none is checked.
    QStringList chosenIds() const;
    // Ids of every shown row in table order.
    QStringList shownIds() const;
    // The listed row of the current row, -1 without one.
    int currentHostRow() const;

    // Checks and selects every row / unchecks every row and clears the selection.
    void checkAll();
    void uncheckAll();
    // Lays the rows out now instead of at the first paint: laid out during a paint, the table asks for a
    // second one. Call once the model has changed.
    void layOutNow();
    // Each column as wide as its contents (over the first rows), within its bounds.
    void fitColumns();

    // What the empty table says: nothing listed at all, or nothing matching the filters.
    QString placeholderText() const;

protected:
    void selectionChanged(const QItemSelection& selected, const QItemSelection& deselected) override;
    void startDrag(Qt::DropActions supportedActions) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void onHeaderSectionClicked(int section);

    HostFilterModel* m_filter;
    IdProvider m_idProvider;
};
