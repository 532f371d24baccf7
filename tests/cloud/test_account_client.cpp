#include "cloud/account_client.h"

#include <QSignalSpy>
#include <QTest>

namespace {

// Reaches the protected setter the way the service operations do.
class SettableAccountClient : public AccountClient
{
public:
    using AccountClient::AccountClient;
    using AccountClient::setAccount;
};

} // namespace

class TestAccountClient : public QObject
{
    Q_OBJECT

private slots:
    void freshClientIsSignedOutMainAccount()
    {
        AccountClient client(nullptr);
        QVERIFY(!client.isSignedIn());
        QCOMPARE(client.account().role, QStringLiteral("owner"));
        QVERIFY(client.account().isMainAccount());
        QVERIFY(client.account().id.isEmpty());
    }

    void mainAccountRule_data()
    {
        QTest::addColumn<QString>("role");
        QTest::addColumn<bool>("main");
        QTest::newRow("owner") << "owner" << true;
        QTest::newRow("member") << "member" << false;
        QTest::newRow("capital Member") << "Member" << true;
        QTest::newRow("empty") << "" << true;
        QTest::newRow("admin") << "admin" << true;
    }

    void mainAccountRule()
    {
        QFETCH(QString, role);
        QFETCH(bool, main);
        MemberAccount account;
        account.role = role;
        QCOMPARE(account.isMainAccount(), main);
    }

    void accountChangesTravelQueued()
    {
        SettableAccountClient client(nullptr);
        QSignalSpy spy(&client, &AccountClient::accountChanged);
        MemberAccount received;
        connect(
            &client, &AccountClient::accountChanged, this, [&](const MemberAccount& a) { received = a; },
            Qt::QueuedConnection);

        MemberAccount member{true, QStringLiteral("42"), QStringLiteral("张三"),
                             QStringLiteral("z@example.com"), QStringLiteral("member")};
        client.setAccount(member);
        QCOMPARE(spy.count(), 1);
        QVERIFY(client.isSignedIn());
        QTRY_COMPARE(received, member);
    }
};

QTEST_GUILESS_MAIN(TestAccountClient)
#include "test_account_client.moc"
