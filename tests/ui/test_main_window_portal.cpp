// The partner portal sign-in as the user meets it: the sign-in dialog against a real web site on
// loopback (HTTPS with a private CA), the servers written over the portal's hosts in the inventory,
// the account card, the status bar, and remote acceleration with the portal session afterwards.

#include "cloud/account_client.h"
#include "network/acceleration_manager.h"
#include "network/vantrel_client.h"
#include "storage/config_manager.h"
#include "storage/database_manager.h"
#include "support/acceleration_test_bed.h"
#include "support/inventory_records.h"
#include "support/modal_driver.h"
#include "support/test_portal_site.h"
#include "ui/main_window.h"
#include "ui/portal_sync_actions.h"
#include "ui/sign_in_dialog.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QStatusBar>
#include <QTest>
#include <QTimer>

#include <memory>

namespace {

constexpr int kWaitMs = 60000;
const QString kFailureTitle = QStringLiteral("Vantrelnet登录/同步失败");

QList<Remote> portalHosts(DatabaseManager& db)
{
    QList<Remote> hosts;
    for (const Remote& remote : db.getAllRemotes()) {
        if (remote.isFromPortal())
            hosts.append(remote);
    }
    return hosts;
}

} // namespace

class TestMainWindowPortal : public QObject
{
    Q_OBJECT

private:
    TestInventory m_inventory;
    std::unique_ptr<ConfigManager> m_config;
    std::unique_ptr<MainWindow> m_window;
    std::unique_ptr<AccelerationTestBed> m_bed;
    std::unique_ptr<TestPortalSite> m_site;
    Remote m_manual;

    VantrelClient* portal() const { return m_window->portalActions()->portal(); }
    QString statusText() const { return m_window->statusBar()->currentMessage(); }
    QString memberText() const { return m_window->findChild<QLabel*>(QStringLiteral("memberName"))->text(); }
    QPushButton* button(const char* name) const
    {
        return m_window->findChild<QPushButton*>(QLatin1String(name));
    }

    // Opens "账号登录", chooses the phone sign-in, waits for the captcha as a user would, and signs in
    // with what the captcha image shows (or `captcha` when given). With `refusal`, the failure box is
    // recorded there and the dialog, which stays open for another try, is then closed; `kept` tells
    // whether it still held the phone number and the password.
    void signInByPhone(ModalDriver& driver, const QString& captcha = QString(), SeenBox* refusal = nullptr,
                       bool* kept = nullptr)
    {
        auto signIn = std::make_shared<QPointer<SignInDialog>>();
        driver.then([this, captcha, signIn](QWidget* widget) {
            auto* dialog = qobject_cast<SignInDialog*>(widget);
            *signIn = dialog;
            QVERIFY(dialog);
            dialog->modeBox()->setCurrentIndex(dialog->modeBox()->findData(QStringLiteral("vantrel_phone")));
            QVERIFY(QTest::qWaitFor([dialog] { return dialog->isPrepared(); }, kWaitMs));
            QVERIFY(!dialog->captchaImage()->pixmap().isNull());
            dialog->accountEdit()->setText(QString::fromLatin1(TestPortalSite::kPhone));
            dialog->passwordEdit()->setText(QString::fromLatin1(TestPortalSite::kPassword));
            dialog->captchaEdit()->setText(captcha.isEmpty() ? m_site->captchaCode() : captcha);
            dialog->accept();
        });
        if (refusal) {
            driver.then([signIn, refusal, kept](QWidget* widget) {
                auto* box = qobject_cast<QMessageBox*>(widget);
                QVERIFY(box);
                refusal->title = box->windowTitle();
                refusal->text = box->text();
                SignInDialog* dialog = *signIn;
                *kept = dialog && dialog->isVisible() &&
                        dialog->accountEdit()->text() == QLatin1String(TestPortalSite::kPhone) &&
                        dialog->passwordEdit()->text() == QLatin1String(TestPortalSite::kPassword);
                box->button(QMessageBox::Ok)->click();
                if (dialog)
                    QTimer::singleShot(0, dialog, &QDialog::reject);
            });
        }
        button("signInButton")->click();
    }

    // Signing in again means signing out first: the card offers the sign-in only while signed out.
    void signOut()
    {
        if (!m_window->accountClient()->isSignedIn())
            return;
        ModalDriver driver;
        driver.answer(QMessageBox::Yes);
        button("signOutButton")->click();
        QVERIFY(driver.done());
        QVERIFY(!m_window->accountClient()->isSignedIn());
    }

    bool waitForStatus(const QString& text)
    {
        return QTest::qWaitFor([&] { return statusText() == text; }, kWaitMs);
    }

    // A failure message of the portal run, which names the portal's address.
    QString atServer(const QString& message) const
    {
        return message +
               QStringLiteral("（服务器：%1）")
                   .arg(m_site->baseUrl().toDisplayString(QUrl::RemoveUserInfo | QUrl::StripTrailingSlash));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_inventory.open());
        const Group office = storeGroup(*m_inventory.db, QStringLiteral("办公室"));
        m_manual =
            storeHost(*m_inventory.db, QStringLiteral("本地服务器"), QStringLiteral("10.0.0.5"), office, {});
        m_config = std::make_unique<ConfigManager>();
        m_window =
            std::make_unique<MainWindow>(m_inventory.db.get(), m_config.get(), m_inventory.crypto.get());
        m_window->show();
        m_bed = std::make_unique<AccelerationTestBed>(2, AccelerationTestBed::Manager::Instance);
        QString error;
        QVERIFY2(m_bed->start(&error), qPrintable(error));
        AccelerationManager::instance()->clearPartnerSession();
        m_site = std::make_unique<TestPortalSite>(m_bed->ca());
        QVERIFY2(m_site->start(&error), qPrintable(error));
        QVERIFY(portal()->setBaseUrl(m_site->baseUrl(), m_bed->ca().caCertificates()));
    }

    void cleanupTestCase()
    {
        m_window.reset();
        m_site.reset();
        m_bed.reset();
    }

    void signInImportsTheServersAndEnablesAcceleration()
    {
        m_site->setServers(TestPortalSite::generateServers(30, 2));
        m_site->setPageSize(10);
        const QByteArray jwt = "eyJhbGciOiJIUzI1NiJ9.eyJzdWIiOiIxMDAyMzQifQ.cG9ydGFs";
        m_site->addJwt(TestPortalSite::JwtPlace::Script, jwt);

        ModalDriver driver;
        signInByPhone(driver);
        QVERIFY(waitForStatus(QStringLiteral("Vantrelnet同步完成：已同步 30 台服务器（只读）")));
        QVERIFY2(driver.unexpected.isEmpty(), qPrintable(driver.unexpected.join('\n')));

        QList<Remote> hosts = portalHosts(*m_inventory.db);
        QCOMPARE(hosts.size(), 30);
        for (const Remote& host : hosts) {
            QVERIFY(host.id.startsWith(QLatin1String("vantrel-")));
            QCOMPARE(host.group_id, QStringLiteral("vantrel-vantrelnet"));
            QVERIFY(!host.password.isEmpty());
        }
        bool groupShown = false;
        for (const Group& group : m_inventory.db->getGroups())
            groupShown =
                groupShown || (group.id == QLatin1String("vantrel-vantrelnet") && group.name == "Vantrelnet");
        QVERIFY(groupShown);
        QCOMPARE(m_inventory.db->getRemote(m_manual.id), std::optional<Remote>(m_manual));
        // The site saw GETs and the one sign-in form, nothing else.
        QCOMPARE(m_site->refusedRequests(), 0);
        QCOMPARE(m_site->requestCount("POST", QStringLiteral("/login")), 1);

        // The account card shows the portal account, which is no member account: no cloud sync offered.
        // Acceleration takes the portal's session.
        QVERIFY(m_window->accountClient()->isSignedIn());
        QCOMPARE(memberText(),
                 QString::fromUtf8(TestPortalSite::kUserName) + QStringLiteral(" · Vantrelnet 账号"));
        QVERIFY(!button("cloudSyncButton")->isVisible());
        QCOMPARE(portal()->jwt(), QString::fromLatin1(jwt));
        QVERIFY(portal()->cookieHeader().contains(TestPortalSite::kSessionCookie));
        m_bed->service().setSession(portal()->cookieHeader(), jwt);
        button("accelerationButton")->click();
        QVERIFY(QTest::qWaitFor([] { return AccelerationManager::instance()->isEnabled(); }, kWaitMs));
        QCOMPARE(m_bed->service().tokensIssued(), 1);
        AccelerationManager::instance()->disableAcceleration();
    }

    void nextSignInReplacesExactlyThePortalList()
    {
        QList<TestPortalSite::Server> servers = m_site->servers();
        const QString removedId = servers.takeFirst().id;
        servers[0].ip = QStringLiteral("198.51.100.77");
        const QString changedId = servers[0].id;
        m_site->setServers(servers);
        m_site->clearRecords();
        signOut();

        ModalDriver driver;
        signInByPhone(driver);
        QVERIFY(waitForStatus(QStringLiteral("Vantrelnet同步完成：已同步 29 台服务器（只读）")));
        QCOMPARE(portalHosts(*m_inventory.db).size(), 29);
        QVERIFY(!m_inventory.db->getRemote(QStringLiteral("vantrel-") + removedId).has_value());
        QCOMPARE(m_inventory.db->getRemote(QStringLiteral("vantrel-") + changedId)->host,
                 QStringLiteral("198.51.100.77"));
        QCOMPARE(m_inventory.db->getRemote(m_manual.id), std::optional<Remote>(m_manual));
        QCOMPARE(m_site->refusedRequests(), 0);
    }

    void failuresAreShownAndChangeNothing()
    {
        const QList<Remote> before = m_inventory.db->getAllRemotes();

        // A wrong captcha: the portal's own message.
        signOut();
        ModalDriver driver;
        SeenBox seen;
        bool kept = false;
        signInByPhone(driver, QStringLiteral("wrong"), &seen, &kept);
        QVERIFY(QTest::qWaitFor([&] { return driver.done(); }, kWaitMs));
        QCOMPARE(seen.title, kFailureTitle);
        QCOMPARE(seen.text, QStringLiteral("图片验证码错误"));
        QVERIFY(kept); // no choosing the method and typing everything again
        QVERIFY(!m_window->accountClient()->isSignedIn());

        // One unreadable detail page of 29: nothing is written.
        m_site->setFailingDetail(m_site->servers().at(3).id);
        signInByPhone(driver, QString(), &seen, &kept);
        QVERIFY(QTest::qWaitFor([&] { return driver.done(); }, kWaitMs));
        QCOMPARE(seen.title, kFailureTitle);
        QCOMPARE(seen.text,
                 atServer(QStringLiteral("有 1 台服务器详情读取失败，本次未更新本机列表，以免误删旧数据。")));
        QCOMPARE(m_inventory.db->getAllRemotes(), before);
        m_site->setFailingDetail(QString());
        QVERIFY2(driver.unexpected.isEmpty(), qPrintable(driver.unexpected.join('\n')));
    }
};

QTEST_MAIN(TestMainWindowPortal)
#include "test_main_window_portal.moc"
