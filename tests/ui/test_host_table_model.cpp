#include "storage/crypto_manager.h"
#include "storage/database_manager.h"
#include "support/fake_data_protection.h"
#include "support/inventory_records.h"
#include "support/raw_connection.h"
#include "ui/host_filter_model.h"
#include "ui/host_table_model.h"

#include <QFont>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

class TestHostTableModel : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<TestInventory> m_inventory;
    DatabaseManager* m_db = nullptr;
    std::unique_ptr<HostTableModel> m_model;
    std::unique_ptr<HostFilterModel> m_filter;
    Group m_office;
    Group m_cloud;

    Remote addHost(const QString& name, const QString& host, const Group& group,
                   const QString& protocol = QStringLiteral("rdp"), const QString& remark = QString(),
                   int port = 0, const QString& scope = QStringLiteral("owner"))
    {
        return storeHost(*m_db, name, host, group, {protocol, remark, scope, port});
    }

    // Texts of one column, as the view shows them.
    QStringList shown(int column = HostTableModel::NameColumn) const
    {
        QStringList texts;
        for (int row = 0; row < m_filter->rowCount(); ++row) {
            texts.append(m_filter->index(row, column).data().toString());
        }
        return texts;
    }

    QModelIndex shownCell(const QString& name, int column) const
    {
        return m_filter->index(static_cast<int>(shown().indexOf(name)), column);
    }

    void check(const QString& name, bool checked = true)
    {
        QVERIFY2(shown().contains(name), qPrintable(name));
        QVERIFY(m_filter->setData(shownCell(name, HostTableModel::CheckColumn),
                                  checked ? Qt::Checked : Qt::Unchecked, Qt::CheckStateRole));
    }

    QStringList checkedNames() const
    {
        QStringList names;
        for (int row = 0; row < m_model->rowCount(); ++row) {
            if (m_model->isChecked(row)) {
                names.append(m_model->host(row).name);
            }
        }
        return names;
    }

    QString checkHeader() const
    {
        return m_filter->headerData(HostTableModel::CheckColumn, Qt::Horizontal).toString();
    }

    // The inventory most cases share: two groups, both system types in both spellings.
    void addInventory()
    {
        addHost(QStringLiteral("ABC-1"), QStringLiteral("10.0.0.1"), m_office);
        addHost(QStringLiteral("beta"), QStringLiteral("10.0.0.2"), m_office, QStringLiteral("ssh"),
                QStringLiteral("xAbCx"), 22, QStringLiteral("team"));
        addHost(QStringLiteral("gamma"), QStringLiteral("abc.example.com"), m_cloud, QStringLiteral("SSH"),
                QString(), 2222);
        addHost(QStringLiteral("delta"), QStringLiteral("10.0.0.4"), m_cloud, QStringLiteral("vnc"),
                QStringLiteral("机房"), 10000, QStringLiteral("team"));
    }

private slots:
    void init()
    {
        m_inventory = std::make_unique<TestInventory>();
        QVERIFY(m_inventory->open());
        m_db = m_inventory->db.get();
        m_office = storeGroup(*m_db, QStringLiteral("办公室"));
        m_cloud = storeGroup(*m_db, QStringLiteral("云主机"));
        m_model = std::make_unique<HostTableModel>(m_db);
        m_filter = std::make_unique<HostFilterModel>(m_model.get());
    }

    void cleanup()
    {
        m_filter.reset();
        m_model.reset();
        m_db = nullptr;
        m_inventory.reset();
    }

    void cellsAndCountsComeFromOneListing()
    {
        addInventory();
        m_model->reload(false);

        QCOMPARE(shown(), (QStringList{"ABC-1", "beta", "delta", "gamma"}));
        QCOMPARE(shown(HostTableModel::TypeColumn),
                 (QStringList{"Windows / RDP", "Linux / SSH", "Windows / RDP", "Linux / SSH"}));
        QCOMPARE(shown(HostTableModel::PortColumn), (QStringList{"3389", "22", "10000", "2222"}));
        QCOMPARE(shown(HostTableModel::GroupColumn), (QStringList{"办公室", "办公室", "云主机", "云主机"}));
        QCOMPARE(shown(HostTableModel::ScopeColumn),
                 (QStringList{"仅主账号", "主账号 + 子账号", "主账号 + 子账号", "仅主账号"}));
        QCOMPARE(
            shownCell(QStringLiteral("delta"), HostTableModel::RemarkColumn).data(Qt::ToolTipRole).toString(),
            QStringLiteral("机房\n\n双击可直接修改备注"));
        QCOMPARE(
            shownCell(QStringLiteral("gamma"), HostTableModel::RemarkColumn).data(Qt::ToolTipRole).toString(),
            QStringLiteral("双击直接填写备注"));
        // Listing never opens a sealed password.
        QVERIFY(m_model->host(0).password.isEmpty());

        // Only the remark is editable; the check column cannot start a drag.
        const Qt::ItemFlags checkFlags = m_filter->index(0, HostTableModel::CheckColumn).flags();
        QVERIFY(checkFlags.testFlag(Qt::ItemIsUserCheckable));
        QVERIFY(!checkFlags.testFlag(Qt::ItemIsDragEnabled));
        // The id column is left out of what the view shows.
        QCOMPARE(m_filter->columnCount(), int(HostTableModel::IdColumn));
        for (int column = HostTableModel::NameColumn; column < m_filter->columnCount(); ++column) {
            const Qt::ItemFlags flags = m_filter->index(0, column).flags();
            QVERIFY(flags.testFlag(Qt::ItemIsDragEnabled));
            QCOMPARE(flags.testFlag(Qt::ItemIsEditable), column == HostTableModel::RemarkColumn);
        }

        QCOMPARE(m_model->windowsCount(), 2);
        QCOMPARE(m_model->countInGroup(m_office.id), 2);
        QCOMPARE(m_model->countInGroup(m_cloud.id), 2);

        // A team member sees only the shared hosts, and so do the counts.
        m_model->reload(true);
        QCOMPARE(shown(), (QStringList{"beta", "delta"}));
        QCOMPARE(m_model->windowsCount(), 1);
        QCOMPARE(m_model->countInGroup(m_office.id), 1);
    }

    void portalHostsSayTheyAreReplacedAtTheNextSync()
    {
        addHost(QStringLiteral("mine"), QStringLiteral("10.0.0.1"), m_office);
        Remote portal;
        portal.id = QStringLiteral("vantrel-101");
        portal.name = QStringLiteral("rented");
        portal.host = QStringLiteral("203.0.113.11");
        portal.remark = QStringLiteral("到期时间：2027-01-31");
        portal.group_id = m_cloud.id;
        portal.source_type = QStringLiteral("vantrel");
        QVERIFY(m_db->replaceVantrelRemotes({portal}));
        m_model->reload(false);

        const QString note = HostTableModel::portalHostNote();
        QVERIFY(note.contains(QStringLiteral("只读")) && note.contains(QStringLiteral("下次同步")));
        for (int column = HostTableModel::NameColumn; column < HostTableModel::RemarkColumn; ++column) {
            QCOMPARE(shownCell(QStringLiteral("rented"), column).data(Qt::ToolTipRole).toString(), note);
            QVERIFY(shownCell(QStringLiteral("rented"), column).data(Qt::FontRole).value<QFont>().italic());
            QVERIFY(shownCell(QStringLiteral("mine"), column).data(Qt::ToolTipRole).isNull());
            QVERIFY(shownCell(QStringLiteral("mine"), column).data(Qt::FontRole).isNull());
        }
        QCOMPARE(shownCell(QStringLiteral("rented"), HostTableModel::RemarkColumn)
                     .data(Qt::ToolTipRole)
                     .toString(),
                 QStringLiteral("到期时间：2027-01-31\n\n双击可直接修改备注\n\n") + note);
    }

    void filterMatchesNavigationAndSearchText()
    {
        addInventory();
        m_model->reload(false);

        // Name, address and remark, ignoring case and the spaces around the text; not the user name.
        m_filter->setFilter(QString(), QString(), QStringLiteral(" abc "));
        QCOMPARE(shown(), (QStringList{"ABC-1", "beta", "gamma"}));
        m_filter->setFilter(QString(), QString(), QStringLiteral("admin"));
        QVERIFY(shown().isEmpty());

        // "SSH" in capitals is SSH; any protocol but SSH is Windows.
        m_filter->setFilter(QString(), QStringLiteral("ssh"), QString());
        QCOMPARE(shown(), (QStringList{"beta", "gamma"}));
        m_filter->setFilter(QString(), QStringLiteral("rdp"), QString());
        QCOMPARE(shown(), (QStringList{"ABC-1", "delta"}));

        m_filter->setFilter(m_cloud.id, QString(), QString());
        QCOMPARE(shown(), (QStringList{"delta", "gamma"}));
        m_filter->setFilter(m_cloud.id, QString(), QStringLiteral("ABC"));
        QCOMPARE(shown(), QStringList{"gamma"});
        QVERIFY(m_filter->hasFilter());

        // Counts ignore every filter.
        QCOMPARE(m_model->windowsCount(), 2);
        QCOMPARE(m_model->rowCount(), 4);

        // The filter stays across a new listing and sees new hosts.
        addHost(QStringLiteral("abc-new"), QStringLiteral("10.0.0.9"), m_cloud);
        m_model->reload(false);
        QCOMPARE(shown(), (QStringList{"abc-new", "gamma"}));
        m_filter->setFilter(QString(), QString(), QString());
        QVERIFY(!m_filter->hasFilter());
        QCOMPARE(shown().size(), 5);
    }

    void checksFollowHostsAndHiddenHostsLoseThem()
    {
        addInventory();
        m_model->reload(false);
        QSignalSpy changes(m_model.get(), &HostTableModel::checksChanged);
        QCOMPARE(checkHeader(), QStringLiteral("☐ 全选"));

        check(QStringLiteral("beta"));
        check(QStringLiteral("delta"));
        QCOMPARE(changes.size(), 2);
        QCOMPARE(checkHeader(), QStringLiteral("▣ 已选 2"));
        QCOMPARE(shownCell(QStringLiteral("beta"), HostTableModel::CheckColumn).data(Qt::CheckStateRole),
                 QVariant(Qt::Checked));

        // A new listing keeps the checks of the hosts still listed, wherever their rows went.
        addHost(QStringLiteral("alpha"), QStringLiteral("10.0.0.8"), m_office);
        const Remote beta = m_model->host(static_cast<int>(shown().indexOf(QStringLiteral("beta"))));
        QVERIFY(m_db->deleteRemotes({beta.id}));
        m_model->reload(false);
        QCOMPARE(checkedNames(), QStringList{"delta"});
        QCOMPARE(m_model->checkedCount(), 1);

        // A filter that hides a checked host unchecks it; the header counts the rows shown.
        check(QStringLiteral("gamma"));
        m_filter->setFilter(m_cloud.id, QString(), QString());
        QCOMPARE(checkHeader(), QStringLiteral("☑ 已全选"));
        m_filter->setFilter(QString(), QStringLiteral("ssh"), QString());
        QCOMPARE(checkedNames(), QStringList{"gamma"});
        QCOMPARE(checkHeader(), QStringLiteral("☑ 已全选"));
        m_filter->setFilter(QString(), QString(), QString());
        QCOMPARE(checkHeader(), QStringLiteral("▣ 已选 1"));

        check(QStringLiteral("gamma"), false);
        QCOMPARE(m_model->checkedCount(), 0);
        QCOMPARE(checkHeader(), QStringLiteral("☐ 全选"));
    }

    void sortsAsTextAndCheckColumnKeepsListedOrder()
    {
        addInventory();
        m_model->reload(false);

        // Ports sort as text, as they always have.
        m_filter->sort(HostTableModel::PortColumn, Qt::AscendingOrder);
        QCOMPARE(shown(HostTableModel::PortColumn), (QStringList{"10000", "22", "2222", "3389"}));
        m_filter->sort(HostTableModel::NameColumn, Qt::DescendingOrder);
        QCOMPARE(shown(), (QStringList{"gamma", "delta", "beta", "ABC-1"}));

        // Sorting on the check column is the listed order, and checking rows does not move them.
        m_filter->sort(HostTableModel::CheckColumn, Qt::DescendingOrder);
        QCOMPARE(shown(), (QStringList{"ABC-1", "beta", "delta", "gamma"}));
        check(QStringLiteral("delta"));
        check(QStringLiteral("ABC-1"));
        QCOMPARE(shown(), (QStringList{"ABC-1", "beta", "delta", "gamma"}));

        // A filter keeps the sort.
        m_filter->sort(HostTableModel::HostColumn, Qt::DescendingOrder);
        m_filter->setFilter(QString(), QStringLiteral("rdp"), QString());
        QCOMPARE(shown(HostTableModel::HostColumn), (QStringList{"10.0.0.4", "10.0.0.1"}));
    }

    void remarkEditsReachTheDatabase()
    {
        const Remote host = addHost(QStringLiteral("h1"), QStringLiteral("10.0.0.1"), m_office,
                                    QStringLiteral("rdp"), QStringLiteral("机房A"));
        m_model->reload(false);
        QSignalSpy saved(m_model.get(), &HostTableModel::remarkSaved);
        QSignalSpy failed(m_model.get(), &HostTableModel::remarkSaveFailed);
        const QModelIndex remark = shownCell(QStringLiteral("h1"), HostTableModel::RemarkColumn);

        // Equal after trimming: only the cell is tidied, nothing is written.
        QVERIFY(m_filter->setData(remark, QStringLiteral("  机房A ")));
        QCOMPARE(remark.data().toString(), QStringLiteral("机房A"));
        QCOMPARE(m_db->getRemote(host.id)->updated_at, kOldTime);
        QCOMPARE(saved.size(), 0);

        // A new remark is stored trimmed, with the rest of the host (its password too) unchanged.
        QVERIFY(m_filter->setData(remark, QStringLiteral(" 机房B 3排  ")));
        const std::optional<Remote> stored = m_db->getRemote(host.id);
        QCOMPARE(stored->remark, QStringLiteral("机房B 3排"));
        QCOMPARE(stored->password, QStringLiteral("pw-h1"));
        QVERIFY(stored->updated_at != kOldTime);
        QCOMPARE(remark.data().toString(), QStringLiteral("机房B 3排"));
        QCOMPARE(remark.data(Qt::ToolTipRole).toString(), QStringLiteral("机房B 3排\n\n双击可直接修改备注"));
        QCOMPARE(saved.size(), 1);
        QCOMPARE(saved.first().first().toString(), host.id);

        // The search sees the new remark at once.
        m_filter->setFilter(QString(), QString(), QStringLiteral("3排"));
        QCOMPARE(shown(), QStringList{"h1"});
        m_filter->setFilter(QString(), QString(), QString());

        // A refused write leaves the stored remark in the cell and in the file.
        {
            RawConnection raw(m_inventory->filePath(QStringLiteral("data.db")));
            QVERIFY(raw.exec(QStringLiteral("CREATE TRIGGER refuse_update BEFORE UPDATE ON remotes "
                                            "BEGIN SELECT RAISE(ABORT, 'read only'); END")));
        }
        const QModelIndex again = shownCell(QStringLiteral("h1"), HostTableModel::RemarkColumn);
        QVERIFY(!m_filter->setData(again, QStringLiteral("新备注")));
        QCOMPARE(failed.size(), 1);
        QCOMPARE(again.data().toString(), QStringLiteral("机房B 3排"));
        QCOMPARE(m_db->getRemote(host.id)->remark, QStringLiteral("机房B 3排"));

        // A host deleted behind the table is not written again.
        QVERIFY(m_db->deleteRemotes({host.id}));
        QVERIFY(!m_filter->setData(again, QStringLiteral("x")));
        QVERIFY(!m_db->getRemote(host.id));
    }
};

QTEST_GUILESS_MAIN(TestHostTableModel)
#include "test_host_table_model.moc"
