// Which side's version of a host a merge keeps, against what the two last agreed on.

#include "cloud/sync_baseline.h"

#include <QTest>

using Decision = SyncBaseline::Decision;
Q_DECLARE_METATYPE(SyncBaseline::Decision)

class TestSyncBaseline : public QObject
{
    Q_OBJECT

private slots:
    void decide_data()
    {
        QTest::addColumn<bool>("baseKnown");
        QTest::addColumn<QString>("base");  // empty: not in the baseline
        QTest::addColumn<QString>("local"); // empty: not here
        QTest::addColumn<QString>("cloud");
        QTest::addColumn<bool>("cloudIsNewer");
        QTest::addColumn<Decision>("decision");

        QTest::newRow("unchanged") << true << "v1"
                                   << "v1"
                                   << "v1" << false << Decision::KeepLocal;
        QTest::newRow("changed here only") << true << "v1"
                                           << "v2"
                                           << "v1" << true << Decision::KeepLocal;
        QTest::newRow("changed in the cloud only") << true << "v1"
                                                   << "v1"
                                                   << "v2" << false << Decision::TakeCloud;
        QTest::newRow("changed on both sides") << true << "v1"
                                               << "v2"
                                               << "v3" << true << Decision::Conflict;
        QTest::newRow("changed alike on both sides") << true << "v1"
                                                     << "v2"
                                                     << "v2" << false << Decision::KeepLocal;
        QTest::newRow("new in the cloud") << true << ""
                                          << ""
                                          << "v1" << false << Decision::AddCloud;
        QTest::newRow("removed here, unchanged there") << true << "v1"
                                                       << ""
                                                       << "v1" << false << Decision::SkipCloud;
        QTest::newRow("removed here, changed there") << true << "v1"
                                                     << ""
                                                     << "v2" << false << Decision::AddCloud;
        QTest::newRow("added on both sides, differently") << true << ""
                                                          << "v1"
                                                          << "v2" << false << Decision::Conflict;
        // Never synced here: the later edit wins and nothing is asked.
        QTest::newRow("no baseline, cloud later") << false << ""
                                                  << "v1"
                                                  << "v2" << true << Decision::TakeCloud;
        QTest::newRow("no baseline, local later") << false << ""
                                                  << "v1"
                                                  << "v2" << false << Decision::KeepLocal;
        QTest::newRow("no baseline, new") << false << ""
                                          << ""
                                          << "v2" << false << Decision::AddCloud;
    }

    void decide()
    {
        QFETCH(bool, baseKnown);
        QFETCH(QString, base);
        QFETCH(QString, local);
        QFETCH(QString, cloud);
        QFETCH(bool, cloudIsNewer);
        QFETCH(Decision, decision);
        std::optional<SyncBaseline::Digests> baseline;
        if (baseKnown) {
            baseline = SyncBaseline::Digests();
            if (!base.isEmpty()) {
                baseline->insert(QStringLiteral("h:x"), base);
            }
        }
        QCOMPARE(SyncBaseline::decide(baseline, QStringLiteral("h:x"), local.isEmpty() ? nullptr : &local,
                                      cloud, cloudIsNewer),
                 decision);
    }

    // After a merge only what changed here (and was kept) counts as a change still to upload.
    void afterMergeLeavesOnlyOwnChanges()
    {
        const SyncBaseline::Digests base{
            {"h:same", "1"}, {"h:edited", "1"}, {"h:removed", "1"}, {"h:gone-there", "1"}};
        const SyncBaseline::Digests cloud{{"h:same", "1"},
                                          {"h:edited", "1"},
                                          {"h:removed", "1"},
                                          {"h:new-there", "1"},
                                          {"h:duplicate", "1"}};
        const SyncBaseline::Digests local{{"h:same", "1"},
                                          {"h:edited", "2"},
                                          {"h:gone-there", "1"},
                                          {"h:new-there", "1"},
                                          {"h:new-here", "1"}};
        const SyncBaseline::Digests next = SyncBaseline::afterMerge(base, cloud, local);
        QStringList changes = SyncBaseline::changes(next, local);
        changes.sort();
        // The edit and the new host go up, and so does the removal; another computer's removal and a
        // cloud host left out as a duplicate do not make this one upload.
        QCOMPARE(changes, (QStringList{"h:edited", "h:new-here", "h:removed"}));
    }

    void digestIgnoresWhatDiffersBetweenComputers()
    {
        Remote remote;
        remote.id = QStringLiteral("id");
        remote.updated_at = QDateTime(QDate(2026, 1, 1), QTime(8, 0, 0, 0), Qt::UTC);
        Remote stored = remote;
        stored.updated_at = stored.updated_at.addMSecs(250); // the database keeps seconds
        stored.source_type = QStringLiteral("vantrel");
        QCOMPARE(SyncBaseline::digest(stored), SyncBaseline::digest(remote));
        stored.password = QStringLiteral("changed");
        QVERIFY(SyncBaseline::digest(stored) != SyncBaseline::digest(remote));
        Group mine{QStringLiteral("default"), QStringLiteral("默认分组"), 0, QDateTime::currentDateTimeUtc()};
        Group theirs = mine;
        theirs.created_at = theirs.created_at.addDays(-3);
        QCOMPARE(SyncBaseline::digest(mine), SyncBaseline::digest(theirs));
    }
};

QTEST_GUILESS_MAIN(TestSyncBaseline)
#include "test_sync_baseline.moc"
