#include "storage/app_lock.h"
#include "storage/config_manager.h"
#include "storage/master_key_record.h"
#include "support/fake_data_protection.h"
#include "support/inventory_records.h"
#include "support/manual_clock.h"
#include "support/modal_driver.h"
#include "support/test_environment.h"
#include "ui/host_editor_dialog.h"
#include "ui/main_window.h"
#include "ui/master_password_actions.h"
#include "ui/master_password_dialog.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QStatusBar>
#include <QTest>

#include <sodium.h>

namespace {

const QString kPassword = QStringLiteral("Correct-Horse-9");
const QString kOther = QStringLiteral("Another-Pass-7");
const QStringList kSealedSettings = {"account/session_token", "sync/passphrase", "sync/passphrase_account"};

// What a test types into one dialog: the fields it has, then OK (or "不使用主密码", or Cancel).
struct Answer
{
    QString current;
    QString next;
    QString repeat;
    enum Press { Ok, Decline, Cancel } press = Ok;
};

// What the dialogs showed.
struct Seen
{
    int dialogs = 0;
    QString title;
    QString problem;
    QString strength;
    bool coreWaits = false; // AppLock itself refused the right password during the wait
    bool reenabled = false; // OK came back once the wait was over
};

// Inventory, configuration file, program lock on a test clock, and the actions on them.
struct Rig
{
    TestInventory inventory;
    ConfigManager config;
    ManualClock clock;
    std::unique_ptr<AppLock> lock;
    std::unique_ptr<MasterPasswordActions> actions;
    QList<Answer> answers;
    Seen seen;

    explicit Rig(bool withMasterPassword, bool configFlag = true)
    {
        QVERIFY(inventory.open());
        QVERIFY(!withMasterPassword || inventory.crypto->setMasterPassword({}, kPassword, nullptr));
        config.load(configPath());
        config.setMasterPasswordEnabled(configFlag);
        QVERIFY(config.save());
        clock.now = 1000;
        lock = std::make_unique<AppLock>(inventory.crypto.get(), &clock);
        actions = std::make_unique<MasterPasswordActions>(inventory.crypto.get(), &config, inventory.db.get(),
                                                          lock.get());
        actions->setDialogRunner([this](MasterPasswordDialog& dialog) { return answer(dialog); });
    }

    int answer(MasterPasswordDialog& dialog)
    {
        ++seen.dialogs;
        seen.title = dialog.windowTitle();
        const Answer a = answers.isEmpty() ? Answer{{}, {}, {}, Answer::Cancel} : answers.takeFirst();
        if (a.press == Answer::Cancel || (a.press == Answer::Decline && !dialog.declineButton())) {
            return QDialog::Rejected;
        }
        if (a.press == Answer::Decline) {
            dialog.declineButton()->click();
            return dialog.result();
        }
        if (dialog.currentEdit()) {
            dialog.currentEdit()->setText(a.current);
        }
        if (dialog.newEdit()) {
            dialog.newEdit()->setText(a.next);
            dialog.repeatEdit()->setText(a.repeat);
            seen.strength = dialog.strengthLabel()->text();
        }
        dialog.accept();
        seen.problem =
            dialog.problemLabel()->isVisibleTo(&dialog) ? dialog.problemLabel()->text() : QString();
        if (!dialog.okButton()->isEnabled()) {
            seen.coreWaits = lock->confirm(kPassword) == AppLock::Confirmation::Waiting;
            clock.now += lock->retryDelayMs();
            seen.reenabled = QTest::qWaitFor([&] { return dialog.okButton()->isEnabled(); }, 2000);
        }
        return dialog.result();
    }

    QString keyPath() const { return inventory.filePath(QStringLiteral("credential.key")); }
    QString configPath() const { return inventory.filePath(QStringLiteral("config.toml")); }
    bool storedFlag() const
    {
        ConfigManager fresh;
        fresh.load(configPath());
        return fresh.config().master_password;
    }
};

// A second start on the same key file.
std::unique_ptr<CryptoManager> reopen(const QString& keyPath)
{
    auto crypto = std::make_unique<CryptoManager>(std::make_unique<FakeDataProtection>());
    return crypto->initialize(keyPath) ? std::move(crypto) : nullptr;
}

class ExportWindow : public MainWindow
{
public:
    using MainWindow::MainWindow;
    QString path;

protected:
    QString chooseExportFile() override { return path; }
};

} // namespace

class TestMasterPasswordDialog : public QObject
{
    Q_OBJECT

    QTemporaryDir m_home;

private slots:
    void initTestCase()
    {
        MasterKeyRecord::setSealingLimits({crypto_pwhash_OPSLIMIT_MIN, crypto_pwhash_MEMLIMIT_MIN});
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_home.path());
    }

    void setSealsTheKeyFile_data()
    {
        QTest::addColumn<QString>("next");
        QTest::addColumn<QString>("repeat");
        QTest::addColumn<QString>("problem");
        QTest::addColumn<QString>("strength");
        const QString none;
        QTest::newRow("too short") << QStringLiteral("Ab1!xyz") << QStringLiteral("Ab1!xyz")
                                   << QStringLiteral("主密码至少需要 8 个字符。") << QStringLiteral("弱");
        QTest::newRow("not repeated")
            << kPassword << kOther << QStringLiteral("两次输入的主密码不一致。") << QStringLiteral("强");
        QTest::newRow("set, medium") << QStringLiteral("abcdef12") << QStringLiteral("abcdef12") << none
                                     << QStringLiteral("中");
        QTest::newRow("set, strong") << kPassword << kPassword << none << QStringLiteral("强");
    }
    void setSealsTheKeyFile()
    {
        QFETCH(QString, next);
        QFETCH(QString, repeat);
        QFETCH(QString, problem);
        QFETCH(QString, strength);
        Rig rig(false);
        const QByteArray before = readFile(rig.keyPath());
        rig.answers = {{{}, next, repeat}};
        const bool sealed = problem.isEmpty();
        QCOMPARE(rig.actions->setOrChange(nullptr), sealed);
        QCOMPARE(rig.seen.title, QStringLiteral("设置主密码"));
        QCOMPARE(rig.seen.problem, problem);
        QCOMPARE(rig.seen.strength.left(1), strength);
        const auto fresh = reopen(rig.keyPath());
        QVERIFY(fresh);
        QCOMPARE(fresh->isLocked(), sealed);
        QCOMPARE(readFile(rig.keyPath()) == before, !sealed);
        QCOMPARE(rig.storedFlag(), true);
        QVERIFY(!sealed || (!fresh->unlock(kOther) && fresh->unlock(next)));
    }

    void changeAndRemoveNeedTheCurrentOne_data()
    {
        QTest::addColumn<bool>("change");
        QTest::addColumn<QString>("current");
        QTest::newRow("change, wrong current") << true << kOther;
        QTest::newRow("change") << true << kPassword;
        QTest::newRow("remove, wrong current") << false << kOther;
        QTest::newRow("remove") << false << kPassword;
    }
    void changeAndRemoveNeedTheCurrentOne()
    {
        QFETCH(bool, change);
        QFETCH(QString, current);
        Rig rig(true);
        const QByteArray before = readFile(rig.keyPath());
        const QString next = QStringLiteral("Brand-New-Pass-3");
        rig.answers = {{current, next, next}};
        const bool right = current == kPassword;
        QCOMPARE(change ? rig.actions->setOrChange(nullptr) : rig.actions->remove(nullptr), right);
        QCOMPARE(rig.seen.title, change ? QStringLiteral("更改主密码") : QStringLiteral("移除主密码"));
        const auto fresh = reopen(rig.keyPath());
        QVERIFY(fresh);
        if (!right) {
            QCOMPARE(rig.seen.problem, QStringLiteral("主密码不正确。请在 1 秒后重试。"));
            QVERIFY(rig.seen.coreWaits);
            QVERIFY(rig.seen.reenabled);
            QCOMPARE(readFile(rig.keyPath()), before);
            return;
        }
        QCOMPARE(fresh->hasMasterPassword(), change);
        QCOMPARE(fresh->unlock(kPassword), !change);
        QVERIFY(!change || fresh->unlock(next));
        QCOMPARE(rig.storedFlag(), change);
    }

    void initialSetupFollowsTheKeyFile_data()
    {
        QTest::addColumn<bool>("sealed");
        QTest::addColumn<bool>("configFlag");
        QTest::addColumn<int>("dialogs");
        QTest::addColumn<bool>("storedFlag");
        QTest::newRow("declined") << false << true << 1 << false;
        QTest::newRow("not wanted") << false << false << 0 << false;
        QTest::newRow("key file wins") << true << false << 0 << true;
    }
    void initialSetupFollowsTheKeyFile()
    {
        QFETCH(bool, sealed);
        QFETCH(bool, configFlag);
        QFETCH(int, dialogs);
        QFETCH(bool, storedFlag);
        Rig rig(sealed, configFlag);
        rig.answers = {{{}, {}, {}, Answer::Decline}};
        rig.actions->offerInitialSetup(nullptr);
        QCOMPARE(rig.seen.dialogs, dialogs);
        QCOMPARE(rig.storedFlag(), storedFlag);
        QCOMPARE(rig.inventory.crypto->hasMasterPassword(), sealed);
    }

    void resetKeepsHostsAndDropsWhatWasSealed_data()
    {
        QTest::addColumn<bool>("confirmed");
        QTest::newRow("declined") << false;
        QTest::newRow("reset") << true;
    }
    void resetKeepsHostsAndDropsWhatWasSealed()
    {
        QFETCH(bool, confirmed);
        Rig rig(true);
        const Group group = storeGroup(*rig.inventory.db, QStringLiteral("默认分组"));
        storeHost(*rig.inventory.db, QStringLiteral("a"), QStringLiteral("10.0.0.1"), group);
        storeHost(*rig.inventory.db, QStringLiteral("b"), QStringLiteral("10.0.0.2"), group);
        CryptoManager* crypto = rig.inventory.crypto.get();
        const QString oldSeal = crypto->sealEncrypt(QStringLiteral("old-secret"));
        for (const QString& key : kSealedSettings) {
            QSettings().setValue(key, oldSeal);
        }
        ModalDriver driver;
        SeenBox box;
        driver.answer(confirmed ? QMessageBox::Yes : QMessageBox::No, &box);
        QCOMPARE(rig.actions->resetForgotten(nullptr), confirmed);
        QVERIFY(driver.done());
        QCOMPARE(box.defaultButton, QMessageBox::No);
        QVERIFY(box.text.contains(QStringLiteral("无法恢复")));
        QCOMPARE(rig.seen.dialogs, confirmed ? 1 : 0); // the new master password is offered
        QCOMPARE(rig.inventory.db->getAllRemotes().size(), 2);
        for (const Remote& host : rig.inventory.db->getAllRemotes()) {
            QCOMPARE(host.password, confirmed ? QString() : QStringLiteral("pw-") + host.name);
        }
        QCOMPARE(crypto->sealDecrypt(oldSeal), confirmed ? QString() : QStringLiteral("old-secret"));
        QCOMPARE(crypto->hasMasterPassword(), !confirmed);
        for (const QString& key : kSealedSettings) {
            QCOMPARE(QSettings().contains(key), !confirmed);
            QSettings().remove(key);
        }
        if (confirmed) {
            QVERIFY(!rig.storedFlag());
            QVERIFY(!rig.lock->isLocked());
            const auto fresh = reopen(rig.keyPath());
            QVERIFY(fresh && !fresh->isLocked());
            QCOMPARE(fresh->sealDecrypt(crypto->sealEncrypt(QStringLiteral("new"))), QStringLiteral("new"));
        }
    }

    void editorRevealsOnlyAfterConfirmation_data()
    {
        QTest::addColumn<bool>("showPassword");
        QTest::addColumn<bool>("confirmedBefore");
        QTest::addColumn<int>("press"); // Answer::Ok or Answer::Cancel in the confirmation
        QTest::addColumn<int>("dialogs");
        QTest::addColumn<bool>("revealed");
        QTest::newRow("show_password on") << true << false << int(Answer::Cancel) << 0 << true;
        QTest::newRow("asks, right password") << false << false << int(Answer::Ok) << 1 << true;
        QTest::newRow("asks, cancelled") << false << false << int(Answer::Cancel) << 1 << false;
        QTest::newRow("confirmed a moment ago") << false << true << int(Answer::Cancel) << 0 << true;
    }
    void editorRevealsOnlyAfterConfirmation()
    {
        QFETCH(bool, showPassword);
        QFETCH(bool, confirmedBefore);
        QFETCH(int, press);
        QFETCH(int, dialogs);
        QFETCH(bool, revealed);
        Rig rig(true);
        QVERIFY(!confirmedBefore || rig.lock->confirm(kPassword) == AppLock::Confirmation::Confirmed);
        rig.answers = {{kPassword, {}, {}, Answer::Press(press)}};
        Remote host;
        host.password = QStringLiteral("stored-pw");
        HostEditorDialog editor(nullptr, {}, {}, host, false,
                                {showPassword, [&rig](QWidget* parent) {
                                     return rig.actions->confirmForSecret(parent);
                                 }});
        auto* field = editor.findChild<QLineEdit*>(QStringLiteral("hostPasswordEdit"));
        auto* reveal = editor.findChild<QPushButton*>(QStringLiteral("hostPasswordReveal"));
        QCOMPARE(field->echoMode(), showPassword ? QLineEdit::Normal : QLineEdit::Password);
        if (!showPassword) {
            reveal->click();
        }
        QCOMPARE(rig.seen.dialogs, dialogs);
        QCOMPARE(rig.seen.title, dialogs ? QStringLiteral("验证主密码") : QString());
        QCOMPARE(field->echoMode(), revealed ? QLineEdit::Normal : QLineEdit::Password);
        QCOMPARE(reveal->isChecked(), revealed);
        // Hiding again asks nothing.
        if (revealed) {
            reveal->click();
            QCOMPARE(field->echoMode(), QLineEdit::Password);
            QCOMPARE(rig.seen.dialogs, dialogs);
        }
    }

    void exportWithPasswordsNeedsTheMasterPassword_data()
    {
        QTest::addColumn<QString>("entered"); // null: cancelled
        QTest::newRow("cancelled") << QString();
        QTest::newRow("wrong") << kOther;
        QTest::newRow("right") << kPassword;
    }
    void exportWithPasswordsNeedsTheMasterPassword()
    {
        QFETCH(QString, entered);
        Rig rig(true);
        storeHost(*rig.inventory.db, QStringLiteral("win"), QStringLiteral("10.0.0.1"),
                  storeGroup(*rig.inventory.db, QStringLiteral("默认分组")));
        rig.answers = {{entered, {}, {}, entered.isNull() ? Answer::Cancel : Answer::Ok}};
        ExportWindow window(rig.inventory.db.get(), &rig.config, rig.inventory.crypto.get());
        window.setMasterPasswordActions(rig.actions.get());
        window.path = rig.inventory.filePath(QStringLiteral("hosts.csv"));
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        ModalDriver driver;
        driver.answer(QMessageBox::Yes); // "是否导出密码"
        driver.answer(QMessageBox::Yes); // "确认导出明文凭据"
        const bool right = entered == kPassword;
        if (right) {
            driver.answer(QMessageBox::Ok); // "导出完成"
        }
        window.exportHosts();
        QVERIFY(driver.done());
        QVERIFY2(driver.unexpected.isEmpty(), qPrintable(driver.unexpected.join('\n')));
        QCOMPARE(rig.seen.title, QStringLiteral("验证主密码"));
        QCOMPARE(readFile(window.path).contains("pw-win"), right);
        QCOMPARE(window.statusBar()->currentMessage() ==
                     QStringLiteral("未通过主密码验证，没有导出任何文件。"),
                 !right);
    }
};

QTEST_MAIN(TestMasterPasswordDialog)
#include "test_master_password_dialog.moc"
