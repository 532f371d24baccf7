#pragma once

#include "ui/host_table_model.h"

#include <QObject>
#include <QThreadPool>

#include <functional>

class DatabaseManager;

// Reads the host table's listing on a worker over a database connection of its own, for refreshes
// nobody waits for (after a sync wrote the inventory): the window stays responsive while thousands of
// hosts are read. Only the latest read is handed over, and none the model outdated meanwhile by
// reading for itself (its own read came later, so it shows at least as much).
class HostListingReader : public QObject
{
    Q_OBJECT

public:
    using Show = std::function<void(HostTableModel::Listing listing)>;

    // `show` gets each listing on this object's thread; `fallback` runs instead when the worker's
    // connection did not open. The database and the model are not owned and must outlive the reader.
    HostListingReader(const DatabaseManager* database, const HostTableModel* model, Show show,
                      std::function<void()> fallback, QObject* parent = nullptr);
    // Waits for a read under way: it uses the database.
    ~HostListingReader() override;

    void read(bool teamMemberOnly);
    // Blocks until the worker has read what was asked; the listings still arrive through the event loop.
    void waitForWorker() { m_pool.waitForDone(); }
    bool isReading() const { return m_underway > 0; }

private:
    const DatabaseManager* m_db;
    const HostTableModel* m_model;
    Show m_show;
    std::function<void()> m_fallback;
    QThreadPool m_pool;
    quint64 m_requests = 0;
    int m_underway = 0;
};
