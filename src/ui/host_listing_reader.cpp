#include "ui/host_listing_reader.h"

#include "storage/database_manager.h"

#include <QPointer>

#include <memory>
#include <optional>
#include <utility>

HostListingReader::HostListingReader(const DatabaseManager* database, const HostTableModel* model, Show show,
                                     std::function<void()> fallback, QObject* parent)
    : QObject(parent), m_db(database), m_model(model), m_show(std::move(show)),
      m_fallback(std::move(fallback))
{
    m_pool.setMaxThreadCount(1);
}

HostListingReader::~HostListingReader()
{
    waitForWorker();
}

void HostListingReader::read(bool teamMemberOnly)
{
    const quint64 request = ++m_requests;
    const quint64 shownBefore = m_model->listingsShown();
    ++m_underway;
    QPointer<HostListingReader> self(this);
    const DatabaseManager* source = m_db;
    m_pool.start([self, source, teamMemberOnly, request, shownBefore] {
        auto listing = std::make_shared<std::optional<HostTableModel::Listing>>();
        if (const std::unique_ptr<DatabaseManager> db = source->openForThisThread()) {
            *listing = HostTableModel::read(*db, teamMemberOnly);
        }
        QMetaObject::invokeMethod(
            self.data(),
            [self, listing, request, shownBefore] {
                if (!self) {
                    return;
                }
                --self->m_underway;
                if (request != self->m_requests || self->m_model->listingsShown() != shownBefore) {
                    return; // a newer read follows, or the model read for itself after this began
                }
                if (*listing) {
                    self->m_show(std::move(**listing));
                } else {
                    self->m_fallback();
                }
            },
            Qt::QueuedConnection);
    });
}
