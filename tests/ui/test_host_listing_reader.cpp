// The host table's listing read on a worker after a sync: shown once, the latest only, and never over a
// listing the model read for itself after the worker began.

#include "storage/database_manager.h"
#include "support/inventory_records.h"
#include "ui/host_listing_reader.h"
#include "ui/host_table_model.h"

#include <QTest>

#include <memory>

class TestHostListingReader : public QObject
{
    Q_OBJECT

private slots:
    void showsOnlyWhatIsCurrent_data()
    {
        QTest::addColumn<int>("reads");
        QTest::addColumn<bool>("modelReadsMeanwhile");
        QTest::addColumn<int>("shown");
        QTest::newRow("one read") << 1 << false << 1;
        QTest::newRow("three reads in a row: the last") << 3 << false << 1;
        QTest::newRow("the model read for itself meanwhile") << 1 << true << 0;
    }

    void showsOnlyWhatIsCurrent()
    {
        QFETCH(int, reads);
        QFETCH(bool, modelReadsMeanwhile);
        QFETCH(int, shown);
        TestInventory inventory;
        QVERIFY(inventory.open());
        const Group group = storeGroup(*inventory.db, QStringLiteral("机房"));
        storeHost(*inventory.db, QStringLiteral("first"), QStringLiteral("10.0.0.1"), group, {});
        HostTableModel model(inventory.db.get());
        model.reload(false);
        QList<QStringList> listings;
        int fallbacks = 0;
        HostListingReader reader(
            inventory.db.get(), &model,
            [&](HostTableModel::Listing listing) {
                QStringList names;
                for (const Remote& remote : std::as_const(listing.hosts)) {
                    names.append(remote.name);
                }
                listings.append(names);
                model.show(std::move(listing));
            },
            [&] { ++fallbacks; });

        for (int i = 0; i < reads; ++i) {
            // A sync writes, then asks for a refresh.
            storeHost(*inventory.db, QStringLiteral("synced-%1").arg(i), QStringLiteral("10.0.1.%1").arg(i),
                      group, {});
            reader.read(false);
            reader.waitForWorker(); // so that an earlier read holds fewer hosts than a later one
        }
        if (modelReadsMeanwhile) {
            model.reload(false); // the user's own edit refreshed the table first
        }
        QVERIFY(QTest::qWaitFor([&] { return !reader.isReading(); }, 30000));
        QCoreApplication::processEvents(); // nothing more may arrive
        QCOMPARE(fallbacks, 0);
        QCOMPARE(listings.size(), shown);
        QCOMPARE(model.rowCount(), reads + 1); // whoever read last, the table holds every host
        if (shown > 0) {
            QCOMPARE(listings.last().size(), reads + 1);
        }
    }
};

QTEST_MAIN(TestHostListingReader)
#include "test_host_listing_reader.moc"
