// The main window's member account and host sync wiring, against the real account server: the account
// card's buttons, the registration and sign-in dialogs, switching the sync on from the sync centre,
// and signing out, as a user does it.

#include "cloud/account_client.h"
#include "cloud/host_sync_controller.h"
#include "storage/config_manager.h"
#include "support/account_test_server.h"
#include "support/inventory_records.h"
#include "support/modal_driver.h"
#include "ui/account_actions.h"
#include "ui/global_settings_dialog.h"
#include "ui/host_table_model.h"
#include "ui/main_window.h"
#include "ui/registration_dialog.h"
#include "ui/sign_in_dialog.h"
#include "ui/sync_passphrase_dialog.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QSettings>
#include <QStatusBar>
#include <QTableView>
#include <QTest>
#include <QTimer>

#include <memory>

namespace {
const QString kPassword = QStringLiteral("window password 1234");
constexpr int kWaitMs = 60000;
} // namespace

class TestMainWindowAccount : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<AccountTestServer> m_server;
    TestInventory m_inventory;
    QTemporaryDir m_home;
    std::unique_ptr<ConfigManager> m_config;
    std::unique_ptr<MainWindow> m_window;

    QPushButton* button(const char* name) const
    {
        return m_window->findChild<QPushButton*>(QLatin1String(name));
    }
    QString memberText() const { return m_window->findChild<QLabel*>(QStringLiteral("memberName"))->text(); }

    qint64 serverRevision()
    {
        QVariant value;
        QString error;
        m_server->execSql(QStringLiteral("SELECT MAX(revision) FROM host_snapshots"), {}, &value, &error);
        return value.isNull() ? 0 : value.toLongLong();
    }

private slots:
    void initTestCase()
    {
        QCoreApplication::setOrganizationName(QStringLiteral("NIMBARA"));
        QCoreApplication::setApplicationName(QStringLiteral("NIMBARA"));
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_home.path());
        if (!AccountTestServer::unavailableReason().isEmpty()) {
            QSKIP(qPrintable(AccountTestServer::unavailableReason()));
        }
        m_server = std::make_unique<AccountTestServer>();
        QString error;
        QVERIFY2(m_server->start(&error), qPrintable(error));
        QVERIFY(m_inventory.open());
        const Group group = storeGroup(*m_inventory.db, QStringLiteral("默认分组"));
        storeHost(*m_inventory.db, QStringLiteral("web-01"), QStringLiteral("192.0.2.10"), group);

        // The team's own server, as an operator configures it.
        const QString configPath = m_home.filePath(QStringLiteral("config.toml"));
        QFile file(configPath);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QStringLiteral("[account]\nservice_url = \"%1\"\nca_certificates = \"%2\"\n")
                       .arg(m_server->baseUrl(), m_server->caCertificatePath())
                       .toUtf8());
        file.close();
        m_config = std::make_unique<ConfigManager>();
        QVERIFY(m_config->load(configPath));
        m_window =
            std::make_unique<MainWindow>(m_inventory.db.get(), m_config.get(), m_inventory.crypto.get());
        m_window->show();
    }

    void cleanupTestCase() { m_window.reset(); }

    void registerFromTheCard()
    {
        QVERIFY(button("signInButton")->isVisible());
        QVERIFY(!button("cloudSyncButton")->isVisible());
        QCOMPARE(memberText(), QStringLiteral("未登录"));
        QCOMPARE(m_window->accountClient()->serviceUrl(), m_server->baseUrl());

        ModalDriver driver;
        driver.then([](QWidget* widget) {
            auto* dialog = qobject_cast<RegistrationDialog*>(widget);
            QVERIFY(dialog);
            dialog->nameEdit()->setText(QStringLiteral(" 机房管理员 "));
            dialog->emailEdit()->setText(QStringLiteral("ops@example.com"));
            dialog->passwordEdit()->setText(kPassword);
            dialog->confirmationEdit()->setText(kPassword);
            dialog->accept();
        });
        button("registerButton")->click();
        QVERIFY(driver.done());
        QTRY_VERIFY_WITH_TIMEOUT(m_window->accountClient()->isSignedIn(), kWaitMs);
        QTRY_COMPARE_WITH_TIMEOUT(memberText(), QStringLiteral("机房管理员 · 主账号"), kWaitMs);
        QVERIFY(button("cloudSyncButton")->isVisible());
        QVERIFY(button("signOutButton")->isVisible());
        QVERIFY(!button("signInButton")->isVisible());
    }

    void switchSyncOnFromTheSyncCentre()
    {
        ModalDriver driver;
        SeenBox question;
        driver.answer(QMessageBox::Yes, &question);
        driver.then([](QWidget* widget) {
            auto* dialog = qobject_cast<SyncPassphraseDialog*>(widget);
            QVERIFY(dialog);
            dialog->passphraseEdit()->setText(QStringLiteral("cloud passphrase 2026"));
            dialog->confirmationEdit()->setText(QStringLiteral("cloud passphrase 2026"));
            dialog->accept();
        });
        button("cloudSyncButton")->click();
        // The passphrase is asked once the service said this account has no keys yet: choose one.
        QTRY_VERIFY_WITH_TIMEOUT(driver.done(), kWaitMs);
        QCOMPARE(question.title, QStringLiteral("开启主机云同步"));
        QVERIFY(m_config->config().sync_enabled);
        // The switch is in the file, and the inventory goes up (the cloud was empty).
        ConfigManager reread;
        QVERIFY(reread.load(m_config->configPath()));
        QVERIFY(reread.config().sync_enabled);
        QTRY_COMPARE_WITH_TIMEOUT(serverRevision(), 1, kWaitMs);
        QTRY_VERIFY_WITH_TIMEOUT(
            m_window->statusBar()->currentMessage().startsWith(QStringLiteral("主机云同步完成")), kWaitMs);

        // The centre now shows the cloud state.
        QString informative;
        driver.then([&informative](QWidget* widget) {
            auto* box = qobject_cast<QMessageBox*>(widget);
            QVERIFY(box);
            informative = box->informativeText();
            box->button(QMessageBox::Close)->click();
        });
        button("cloudSyncButton")->click();
        QVERIFY(driver.done());
        QVERIFY2(informative.startsWith(QStringLiteral("云端版本：1\n")), qPrintable(informative));
        QVERIFY(informative.contains(QStringLiteral("本机主机：1 台")));
    }

    void settingsSwitchSyncOff()
    {
        ModalDriver driver;
        QString address;
        bool syncBoxEnabled = false;
        bool wasChecked = false;
        driver.then([&](QWidget* widget) {
            // Never leaves the dialog open: a failed check below must not hang the test.
            auto* dialog = qobject_cast<QDialog*>(widget);
            auto* label = widget->findChild<QLabel*>(QStringLiteral("accountServiceAddress"));
            auto* box = widget->findChild<QCheckBox*>(QStringLiteral("syncBox"));
            auto* buttons = widget->findChild<QDialogButtonBox*>();
            if (!dialog || !label || !box || !buttons) {
                qWarning() << "unexpected dialog" << widget->metaObject()->className();
                if (dialog) {
                    dialog->reject();
                }
                return;
            }
            address = label->text();
            syncBoxEnabled = box->isEnabled();
            wasChecked = box->isChecked();
            box->setChecked(false);
            // Queued: the confirmation it opens is the driver's next box, answered after this returns.
            QMetaObject::invokeMethod(buttons->button(QDialogButtonBox::Save), &QAbstractButton::click,
                                      Qt::QueuedConnection);
        });
        SeenBox saved;
        driver.answer(QMessageBox::Ok, &saved);
        button("settingsButton")->click();
        QVERIFY(driver.done());
        QCOMPARE(address, m_server->baseUrl());
        QVERIFY(syncBoxEnabled); // signed in: the member row is usable
        QVERIFY(wasChecked);
        QCOMPARE(saved.title, QStringLiteral("设置已保存"));
        QCOMPARE(saved.text, QStringLiteral("新的连接将使用更新后的全局设置。"));
        QVERIFY(!m_config->config().sync_enabled);
        // No upload until the sync is switched on again and the cloud read anew.
        HostSyncController* sync = m_window->accountActions()->sync();
        QVERIFY(!sync->isCloudStateKnown());
        QVERIFY(!sync->autoSyncTimer()->isActive());
    }

    void signOutKeepsHosts()
    {
        ModalDriver driver;
        SeenBox question;
        driver.answer(QMessageBox::Yes, &question);
        button("signOutButton")->click();
        QCOMPARE(question.title, QStringLiteral("退出会员账号"));
        QCOMPARE(question.text,
                 QStringLiteral("确定退出当前账号 ops@example.com 吗？\n本机保存的远程主机不会被删除。"));
        QTRY_VERIFY_WITH_TIMEOUT(!m_window->accountClient()->isSignedIn(), kWaitMs);
        QCOMPARE(memberText(), QStringLiteral("未登录"));
        QCOMPARE(m_inventory.db->getAllRemotes().size(), 1);
    }

    void wrongPasswordIsExplained()
    {
        ModalDriver driver;
        QPointer<SignInDialog> dialog;
        driver.then([&dialog](QWidget* widget) {
            dialog = qobject_cast<SignInDialog*>(widget);
            QVERIFY(dialog);
            dialog->accountEdit()->setText(QStringLiteral("ops@example.com"));
            dialog->passwordEdit()->setText(QStringLiteral("not the password!"));
            dialog->accept();
        });
        // The refusal comes over the dialog, which stays open with what was typed.
        SeenBox failure;
        QStringList typed;
        driver.then([&](QWidget* widget) {
            auto* box = qobject_cast<QMessageBox*>(widget);
            QVERIFY(box);
            failure.title = box->windowTitle();
            failure.text = box->text();
            const bool open = dialog && dialog->isVisible();
            if (open)
                typed = QStringList{dialog->accountEdit()->text(), dialog->passwordEdit()->text()};
            box->button(QMessageBox::Ok)->click();
            if (open)
                QTimer::singleShot(0, dialog, &QDialog::reject);
        });
        button("signInButton")->click();
        QTRY_VERIFY_WITH_TIMEOUT(driver.done(), kWaitMs);
        QCOMPARE(failure.title, QStringLiteral("登录失败"));
        QCOMPARE(failure.text, QStringLiteral("邮箱或密码错误"));
        QCOMPARE(typed,
                 (QStringList{QStringLiteral("ops@example.com"), QStringLiteral("not the password!")}));
        QVERIFY(!m_window->accountClient()->isSignedIn());
    }

    // A team member opens the hosts the owner shares but cannot change them, and is told why.
    void memberSeesTheOwnersHostsReadOnly()
    {
        QString error;
        QVERIFY2(m_server->addUser(QStringLiteral("night@example.com"), QStringLiteral("Night"), kPassword,
                                   &error),
                 qPrintable(error));
        const AccountTestServer::CommandResult joined =
            m_server->admin({QStringLiteral("team"), QStringLiteral("add-member"), QStringLiteral("--owner"),
                             QStringLiteral("ops@example.com"), QStringLiteral("--member"),
                             QStringLiteral("night@example.com")});
        QVERIFY2(joined.exitCode == 0, joined.err.constData());
        const Group group = m_inventory.db->getGroups().first();
        HostFields team;
        team.scope = QStringLiteral("team");
        const Remote shared =
            storeHost(*m_inventory.db, QStringLiteral("team-web"), QStringLiteral("192.0.2.20"), group, team);
        const Remote own =
            storeHost(*m_inventory.db, QStringLiteral("own-box"), QStringLiteral("192.0.2.21"), group, team);
        QVERIFY(m_inventory.db->setSyncOrigin({shared.id}, QStringLiteral("owner-account-id")));
        QVERIFY(
            m_inventory.db->setSyncOrigin({own.id}, QString::fromLatin1(DatabaseManager::kLocalOnlyOrigin)));

        ModalDriver driver;
        driver.then([](QWidget* widget) {
            auto* dialog = qobject_cast<SignInDialog*>(widget);
            QVERIFY(dialog);
            dialog->accountEdit()->setText(QStringLiteral("night@example.com"));
            dialog->passwordEdit()->setText(kPassword);
            dialog->accept();
        });
        button("signInButton")->click();
        QTRY_COMPARE_WITH_TIMEOUT(memberText(), QStringLiteral("Night · 子账号"), kWaitMs);

        auto* table = m_window->findChild<QTableView*>(QStringLiteral("hostTable"));
        QVERIFY(table);
        const auto select = [&](const QString& name) {
            for (int row = 0; row < table->model()->rowCount(); ++row) {
                if (table->model()->index(row, HostTableModel::NameColumn).data().toString() == name) {
                    table->selectionModel()->setCurrentIndex(
                        table->model()->index(row, HostTableModel::NameColumn),
                        QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
                    return true;
                }
            }
            return false;
        };
        QVERIFY(select(QStringLiteral("team-web")));
        for (const char* name : {"editButton", "deleteButton"}) {
            QVERIFY2(!button(name)->isEnabled(), name);
            QCOMPARE(button(name)->toolTip(), HostTableModel::teamHostNote());
        }
        // The remark cell of a shared host does not open for editing.
        const QModelIndex remark =
            table->model()->index(table->currentIndex().row(), HostTableModel::RemarkColumn);
        QVERIFY(!(table->model()->flags(remark) & Qt::ItemIsEditable));
        button("clearSelectionButton")->click(); // selected rows stay checked until then
        QVERIFY(select(QStringLiteral("own-box")));
        QVERIFY(button("editButton")->isEnabled());
        QVERIFY(button("deleteButton")->isEnabled());
        QVERIFY(m_inventory.db->getRemote(shared.id).has_value());
    }
};

QTEST_MAIN(TestMainWindowAccount)
#include "test_main_window_account.moc"
