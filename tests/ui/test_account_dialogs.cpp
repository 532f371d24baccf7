#include "cloud/account_client.h"
#include "network/vantrel_client.h"
#include "support/modal_driver.h"
#include "ui/registration_dialog.h"
#include "ui/sign_in_dialog.h"
#include "ui/sync_center.h"
#include "ui/sync_passphrase_dialog.h"

#include <QBuffer>
#include <QCheckBox>
#include <QComboBox>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {
// Nothing listens here: every request of a portal client fails at once, and no test reaches out.
QUrl unreachablePortal()
{
    return QUrl(QStringLiteral("http://127.0.0.1:1"));
}
} // namespace

// The sign-in, registration and sync passphrase dialogs and the sync centre's text: every check the
// user meets before a request is sent, in its order and with its message.
class TestAccountDialogs : public QObject
{
    Q_OBJECT

private slots:
    void signInOffersEveryMethod();
    void signInRefusesShortInput();
    void signInPortalChecksInOrder_data();
    void signInPortalChecksInOrder();
    void signInPortalWaitsForThePreparedSession();
    void signInLeadsToRegistration();
    void captchaIsReadableAtTheDefaultSize();
    void refusedRequestKeepsTheDialog_data();
    void refusedRequestKeepsTheDialog();
    void registrationChecksInOrder_data();
    void registrationChecksInOrder();
    void passphraseDialog_data();
    void passphraseDialog();
    void syncCenterText_data();
    void syncCenterText();
};

void TestAccountDialogs::signInOffersEveryMethod()
{
    // Without a portal client only the account service is offered.
    SignInDialog plain;
    QCOMPARE(plain.modeBox()->count(), 1);
    QVERIFY(!plain.isPortalMode());

    VantrelClient portal;
    QVERIFY(portal.setBaseUrl(unreachablePortal()));
    SignInDialog dialog(&portal);
    QCOMPARE(dialog.windowTitle(), QStringLiteral("账号登录"));
    QCOMPARE(dialog.modeBox()->count(), 3);
    QCOMPARE(dialog.modeBox()->itemText(0), QStringLiteral("Vantrelnet 手机号 + 密码"));
    QCOMPARE(dialog.modeBox()->itemData(0).toString(), QStringLiteral("vantrel_phone"));
    QCOMPARE(dialog.modeBox()->itemData(1).toString(), QStringLiteral("vantrel_email"));
    QCOMPARE(dialog.modeBox()->itemText(2), QStringLiteral("NIMBARA 邮箱 + 密码"));
    QVERIFY(!dialog.modeBox()->itemData(2).toString().startsWith(QLatin1String("vantrel")));
    // Opening the dialog reaches no web site.
    QVERIFY(!dialog.isPortalMode());
    QVERIFY(!portal.isBusy());
    QCOMPARE(dialog.passwordEdit()->echoMode(), QLineEdit::Password);
    QCOMPARE(dialog.passwordEdit()->placeholderText(), QStringLiteral("至少 12 位密码"));
    QVERIFY(dialog.captchaRow()->isHidden());
    QCOMPARE(dialog.captchaImage()->text(), QStringLiteral("等待加载"));

    dialog.modeBox()->setCurrentIndex(0);
    QVERIFY(dialog.isPortalMode());
    QCOMPARE(dialog.accountEdit()->placeholderText(), QStringLiteral("Vantrelnet手机号"));
    QCOMPARE(dialog.passwordEdit()->placeholderText(), QStringLiteral("Vantrelnet账号密码"));
    QVERIFY(!dialog.captchaRow()->isHidden());
    QCOMPARE(dialog.captchaEdit()->placeholderText(), QStringLiteral("输入图片验证码"));
    QCOMPARE(dialog.refreshButton()->text(), QStringLiteral("刷新图片"));
    // Choosing the method prepares the portal session.
    QCOMPARE(dialog.captchaImage()->text(), QStringLiteral("加载中…"));
    QVERIFY(portal.isBusy());

    dialog.modeBox()->setCurrentIndex(1);
    QVERIFY(dialog.isPortalMode());
    QVERIFY(dialog.captchaRow()->isHidden());
}

void TestAccountDialogs::signInRefusesShortInput()
{
    SignInDialog dialog;
    ModalDriver driver;
    SeenBox seen;
    // Blank account, then a password of 11 characters: refused, and the dialog stays open.
    dialog.accountEdit()->setText(QStringLiteral("   "));
    dialog.passwordEdit()->setText(QStringLiteral("123456789012"));
    driver.answer(QMessageBox::Ok, &seen);
    dialog.accept();
    QCOMPARE(seen.title, QStringLiteral("无法登录"));
    QCOMPARE(seen.text, QStringLiteral("请输入有效邮箱和至少 12 位密码。"));
    QCOMPARE(dialog.result(), int(QDialog::Rejected));

    dialog.accountEdit()->setText(QStringLiteral(" ops@example.com "));
    dialog.passwordEdit()->setText(QStringLiteral("12345678901"));
    driver.answer(QMessageBox::Ok, &seen);
    dialog.accept();
    QCOMPARE(dialog.result(), int(QDialog::Rejected));

    // Twelve characters with surrounding blanks: accepted, the address trimmed, the password not.
    dialog.passwordEdit()->setText(QStringLiteral(" 1234567890 "));
    dialog.accept();
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QCOMPARE(dialog.email(), QStringLiteral("ops@example.com"));
    QCOMPARE(dialog.password(), QStringLiteral(" 1234567890 "));
    QVERIFY(driver.done());
    QVERIFY2(driver.unexpected.isEmpty(), qPrintable(driver.unexpected.join(QLatin1Char(';'))));
}

void TestAccountDialogs::signInPortalChecksInOrder_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("account");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("captcha");
    QTest::addColumn<QString>("message");

    const QString incomplete = QStringLiteral("请完整填写Vantrelnet账号、密码和所需验证码。");
    QTest::newRow("phone mode, e-mail account")
        << 0 << QStringLiteral("ops@example.com") << QStringLiteral("pw") << QStringLiteral("ab12")
        << QStringLiteral("请选择手机号登录并填写正确手机号。");
    QTest::newRow("e-mail mode, phone number")
        << 1 << QStringLiteral("13800000000") << QStringLiteral("pw") << QString()
        << QStringLiteral("请选择邮箱登录并填写正确邮箱。");
    QTest::newRow("no account") << 0 << QStringLiteral("  ") << QStringLiteral("pw") << QStringLiteral("ab12")
                                << incomplete;
    QTest::newRow("no password") << 0 << QStringLiteral("13800000000") << QString() << QStringLiteral("ab12")
                                 << incomplete;
    QTest::newRow("blank captcha") << 0 << QStringLiteral("13800000000") << QStringLiteral("pw")
                                   << QStringLiteral("   ") << incomplete;
    QTest::newRow("e-mail mode, blank account")
        << 1 << QString() << QStringLiteral("pw") << QString() << incomplete;
}

void TestAccountDialogs::signInPortalChecksInOrder()
{
    QFETCH(int, mode);
    QFETCH(QString, account);
    QFETCH(QString, password);
    QFETCH(QString, captcha);
    QFETCH(QString, message);
    VantrelClient portal;
    QVERIFY(portal.setBaseUrl(unreachablePortal()));
    SignInDialog dialog(&portal);
    dialog.modeBox()->setCurrentIndex(mode);
    emit portal.prepared(mode == 0);
    dialog.accountEdit()->setText(account);
    dialog.passwordEdit()->setText(password);
    dialog.captchaEdit()->setText(captcha);
    QSignalSpy progress(&portal, &VantrelClient::syncProgress);
    ModalDriver driver;
    SeenBox seen;
    driver.answer(QMessageBox::Ok, &seen);
    dialog.accept();
    QVERIFY(driver.done());
    QCOMPARE(seen.title, QStringLiteral("无法登录"));
    QCOMPARE(seen.text, message);
    QCOMPARE(dialog.result(), int(QDialog::Rejected));
    // No sign-in was sent.
    QVERIFY(!progress.contains(QVariantList{QStringLiteral("正在验证Vantrelnet账号…")}));
}

void TestAccountDialogs::signInPortalWaitsForThePreparedSession()
{
    VantrelClient portal;
    QVERIFY(portal.setBaseUrl(unreachablePortal()));
    SignInDialog dialog(&portal);
    QSignalSpy preparing(&portal, &VantrelClient::syncProgress);
    dialog.modeBox()->setCurrentIndex(0);
    QCOMPARE(preparing.count(), 1);
    QCOMPARE(preparing.at(0).at(0).toString(), QStringLiteral("正在准备Vantrelnet登录会话…"));
    dialog.accountEdit()->setText(QStringLiteral(" 13800000000 "));
    dialog.passwordEdit()->setText(QStringLiteral("secret"));
    dialog.captchaEdit()->setText(QStringLiteral(" ab12 "));

    // Before the session is prepared: asked to wait, and the preparation starts again.
    ModalDriver driver;
    SeenBox seen;
    driver.answer(QMessageBox::Ok, &seen);
    dialog.accept();
    QVERIFY(driver.done());
    QCOMPARE(seen.title, QStringLiteral("正在准备登录"));
    QCOMPARE(seen.text, QStringLiteral("登录会话正在准备，请等待验证码图片显示后再登录。"));
    QCOMPARE(dialog.result(), int(QDialog::Rejected));
    QCOMPARE(preparing.count(), 2);

    // The unreachable site fails the preparation; the image label says so.
    QVERIFY(
        QTest::qWaitFor([&] { return dialog.captchaImage()->text() == QStringLiteral("加载失败，请重试"); }));
    QVERIFY(!dialog.isPrepared());

    // A captcha that is no image, then a real one scaled into 140 x 46.
    emit portal.captchaReady(QByteArrayLiteral("<html>not an image</html>"));
    QCOMPARE(dialog.captchaImage()->text(), QStringLiteral("图片加载失败"));
    QImage image(280, 46, QImage::Format_RGB32);
    image.fill(Qt::darkCyan);
    QByteArray png;
    QBuffer buffer(&png);
    QVERIFY(buffer.open(QIODevice::WriteOnly));
    QVERIFY(image.save(&buffer, "PNG"));
    emit portal.captchaReady(png);
    emit portal.prepared(true);
    QVERIFY(dialog.isPrepared());
    QCOMPARE(dialog.captchaImage()->pixmap().size(), QSize(140, 23));

    // Prepared: the sign-in goes to the portal client with the trimmed account and captcha. (This
    // client has no form token, so it refuses at once.) The dialog stays with the method, account and
    // password for the next captcha.
    QSignalSpy failed(&portal, &VantrelClient::failed);
    dialog.accept();
    QVERIFY(QTest::qWaitFor([&] { return failed.count() == 1; }));
    QCOMPARE(failed.at(0).at(0).toString(), QStringLiteral("登录会话尚未准备好，请等待图片验证码加载完成。"));
    QCOMPARE(dialog.result(), int(QDialog::Rejected));
    QVERIFY(!dialog.isWaiting());
    QVERIFY(dialog.signInButton()->isEnabled());
    QCOMPARE(dialog.mode(), QStringLiteral("vantrel_phone"));
    QCOMPARE(dialog.accountEdit()->text(), QStringLiteral(" 13800000000 "));
    QCOMPARE(dialog.passwordEdit()->text(), QStringLiteral("secret"));
    QCOMPARE(dialog.captchaEdit()->text(), QString());
    QVERIFY2(driver.unexpected.isEmpty(), qPrintable(driver.unexpected.join(QLatin1Char(';'))));
}

void TestAccountDialogs::signInLeadsToRegistration()
{
    SignInDialog dialog;
    QSignalSpy requested(&dialog, &SignInDialog::registrationRequested);
    QPushButton* registration = nullptr;
    for (QPushButton* button : dialog.findChildren<QPushButton*>()) {
        if (button->text() == QStringLiteral("免费注册")) {
            registration = button;
        }
    }
    QVERIFY(registration);
    registration->click();
    QCOMPARE(requested.count(), 1);
    QCOMPARE(dialog.result(), int(QDialog::Rejected));
}

void TestAccountDialogs::captchaIsReadableAtTheDefaultSize()
{
    VantrelClient portal;
    QVERIFY(portal.setBaseUrl(unreachablePortal()));
    // Opened in the default method; the phone method's captcha row appears afterwards.
    SignInDialog dialog(&portal);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    dialog.modeBox()->setCurrentIndex(0);
    // The unreachable site fails the preparation first, so the image below is the last word.
    QVERIFY(
        QTest::qWaitFor([&] { return dialog.captchaImage()->text() == QStringLiteral("加载失败，请重试"); }));
    QImage image(138, 42, QImage::Format_RGB32);
    image.fill(Qt::darkCyan);
    QByteArray png;
    QBuffer buffer(&png);
    QVERIFY(buffer.open(QIODevice::WriteOnly) && image.save(&buffer, "PNG"));
    emit portal.captchaReady(png);

    // The label holds the whole image, nothing else lies on it, and the screen shows all of it.
    QLabel* label = dialog.captchaImage();
    QVERIFY2(label->contentsRect().width() >= 138 && label->contentsRect().height() >= 42,
             qPrintable(QStringLiteral("%1x%2").arg(label->width()).arg(label->height())));
    const QRect area(label->mapTo(&dialog, QPoint(0, 0)), label->size());
    for (QWidget* other : dialog.findChildren<QWidget*>()) {
        if (other != label && other->isVisible() && !other->isWindow() && !other->isAncestorOf(label) &&
            !label->isAncestorOf(other)) {
            const QRect rect(other->mapTo(&dialog, QPoint(0, 0)), other->size());
            QVERIFY2(!rect.intersects(area), other->metaObject()->className());
        }
    }
    const QImage shot = dialog.grab().toImage();
    const QPoint centre = area.center();
    for (int dy : {-19, 0, 19})
        QCOMPARE(QColor(shot.pixel(centre + QPoint(0, dy))), QColor(Qt::darkCyan));
}

void TestAccountDialogs::refusedRequestKeepsTheDialog_data()
{
    QTest::addColumn<bool>("registration");
    QTest::newRow("sign-in") << false;
    QTest::newRow("registration") << true;
}

void TestAccountDialogs::refusedRequestKeepsTheDialog()
{
    QFETCH(bool, registration);
    QTemporaryDir home; // the client id goes to settings of this test
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, home.path());
    AccountClient account(nullptr);
    QVERIFY(account.setServiceEndpoint(unreachablePortal()));
    QSignalSpy failed(&account,
                      registration ? &AccountClient::registrationFailed : &AccountClient::loginFailed);
    const QString password = QStringLiteral("correct horse 12");
    SignInDialog signIn;
    RegistrationDialog registrationDialog;
    QDialog& dialog = registration ? static_cast<QDialog&>(registrationDialog) : signIn;
    QPushButton* submit = registration ? registrationDialog.createButton() : signIn.signInButton();
    QLineEdit* email = registration ? registrationDialog.emailEdit() : signIn.accountEdit();
    QLineEdit* secret = registration ? registrationDialog.passwordEdit() : signIn.passwordEdit();
    registrationDialog.setAccountClient(&account);
    signIn.setAccountClient(&account);
    registrationDialog.nameEdit()->setText(QStringLiteral("Ann"));
    registrationDialog.confirmationEdit()->setText(password);
    email->setText(QStringLiteral("ann@example.com"));
    secret->setText(password);

    dialog.accept();
    QVERIFY(!submit->isEnabled()); // waiting for the answer
    QVERIFY(failed.wait(10000));
    QCOMPARE(dialog.result(), int(QDialog::Rejected));
    QVERIFY(submit->isEnabled());
    QCOMPARE(email->text(), QStringLiteral("ann@example.com"));
    QCOMPARE(secret->text(), password);
    QVERIFY(!secret->isReadOnly());
}

void TestAccountDialogs::registrationChecksInOrder_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("email");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("confirmation");
    QTest::addColumn<QString>("message"); // empty: accepted

    const QString fields = QStringLiteral("请填写显示名称、有效邮箱和至少 12 位密码。");
    const QString mismatch = QStringLiteral("两次输入的密码不一致。");
    const QString good = QStringLiteral("correct horse 12");
    QTest::newRow("blank name") << "  "
                                << "a@b.cn" << good << good << fields;
    QTest::newRow("blank e-mail") << "Ann"
                                  << " " << good << good << fields;
    QTest::newRow("11 characters") << "Ann"
                                   << "a@b.cn" << good.left(11) << good.left(11) << fields;
    // The first failing check is the one reported.
    QTest::newRow("short and different") << "Ann"
                                         << "a@b.cn"
                                         << "short"
                                         << "other" << fields;
    QTest::newRow("different") << "Ann"
                               << "a@b.cn" << good << good + QLatin1Char(' ') << mismatch;
    QTest::newRow("accepted") << " Ann "
                              << " a@b.cn " << good << good << "";
}

void TestAccountDialogs::registrationChecksInOrder()
{
    QFETCH(QString, name);
    QFETCH(QString, email);
    QFETCH(QString, password);
    QFETCH(QString, confirmation);
    QFETCH(QString, message);

    RegistrationDialog dialog;
    QCOMPARE(dialog.windowTitle(), QStringLiteral("免费注册"));
    dialog.nameEdit()->setText(name);
    dialog.emailEdit()->setText(email);
    dialog.passwordEdit()->setText(password);
    dialog.confirmationEdit()->setText(confirmation);
    // The account service publishes no terms, so there is none to tick.
    QVERIFY(dialog.findChildren<QCheckBox*>().isEmpty());
    ModalDriver driver;
    SeenBox seen;
    if (!message.isEmpty()) {
        driver.answer(QMessageBox::Ok, &seen);
    }
    dialog.accept();
    if (message.isEmpty()) {
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QCOMPARE(dialog.name(), name); // as typed; the account client trims
        QCOMPARE(dialog.email(), email);
    } else {
        QCOMPARE(dialog.result(), int(QDialog::Rejected));
        QCOMPARE(seen.title, QStringLiteral("无法注册"));
        QCOMPARE(seen.text, message);
    }
    QVERIFY2(driver.unexpected.isEmpty(), qPrintable(driver.unexpected.join(QLatin1Char(';'))));
}

void TestAccountDialogs::passphraseDialog_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("passphrase");
    QTest::addColumn<QString>("confirmation");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("problem"); // empty: taken

    const int set = int(SyncPassphraseDialog::Mode::Set);
    const int enter = int(SyncPassphraseDialog::Mode::Enter);
    const int change = int(SyncPassphraseDialog::Mode::Change);
    const QString setTitle = QStringLiteral("设置主机云同步密码");
    QTest::newRow("11 characters") << set << "12345678901"
                                   << "12345678901" << setTitle << "同步密码至少需要 12 个字符。";
    QTest::newRow("different") << set << "123456789012"
                               << "123456789013" << setTitle << "两次输入的同步密码不一致。";
    QTest::newRow("taken with blanks") << set << " 12345678901 "
                                       << " 12345678901 " << setTitle << "";
    QTest::newRow("entered once") << enter << "the first computer's one" << QString()
                                  << QStringLiteral("输入同步密码") << "";
    QTest::newRow("entered too short")
        << enter << "short" << QString() << QStringLiteral("输入同步密码") << "同步密码至少需要 12 个字符。";
    QTest::newRow("changed") << change << "a new passphrase 1"
                             << "a new passphrase 1" << QStringLiteral("更改同步密码") << "";
}

void TestAccountDialogs::passphraseDialog()
{
    QFETCH(int, mode);
    QFETCH(QString, passphrase);
    QFETCH(QString, confirmation);
    QFETCH(QString, title);
    QFETCH(QString, problem);

    ModalDriver driver;
    QString seenTitle;
    QString seenProblem;
    bool stayedOpen = false;
    driver.then([&](QWidget* widget) {
        auto* dialog = qobject_cast<SyncPassphraseDialog*>(widget);
        QVERIFY(dialog);
        seenTitle = dialog->windowTitle();
        // Entering asks once; choosing asks twice.
        QCOMPARE(dialog->confirmationEdit() == nullptr, mode == int(SyncPassphraseDialog::Mode::Enter));
        dialog->passphraseEdit()->setText(passphrase);
        if (dialog->confirmationEdit()) {
            dialog->confirmationEdit()->setText(confirmation);
        }
        dialog->accept();
        // A refusal keeps the dialog and what was typed, and says why.
        stayedOpen = dialog->isVisible();
        seenProblem = dialog->problemLabel()->isVisible() ? dialog->problemLabel()->text() : QString();
        if (stayedOpen) {
            QCOMPARE(dialog->passphraseEdit()->text(), passphrase);
            dialog->reject();
        }
    });
    const std::optional<QString> typed =
        SyncPassphraseDialog::ask(nullptr, static_cast<SyncPassphraseDialog::Mode>(mode), QString());
    QVERIFY(driver.done());
    QCOMPARE(seenTitle, title);
    QCOMPARE(seenProblem, problem);
    QCOMPARE(stayedOpen, !problem.isEmpty());
    QCOMPARE(typed.has_value(), problem.isEmpty());
    if (typed) {
        QCOMPARE(*typed, passphrase); // exactly as typed
    }
}

void TestAccountDialogs::syncCenterText_data()
{
    QTest::addColumn<bool>("known");
    QTest::addColumn<bool>("inProgress");
    QTest::addColumn<bool>("member");
    QTest::addColumn<int>("pending");
    QTest::addColumn<QString>("problem");
    QTest::addColumn<QString>("headline");
    QTest::addColumn<QString>("text");

    const QString tail = QStringLiteral("\n\n自动同步已开启；服务器无法查看主机地址、用户名或密码。");
    QTest::newRow("reading") << false << true << false << 0 << QString()
                             << QStringLiteral("端到端加密云同步已开启，正在读取云端数据")
                             << QStringLiteral(
                                    "云端版本：正在读取\n本机最近同步：尚未同步\n本机主机：42 台") +
                                    tail;
    // Never "正在读取" once nothing is under way, and the reason is said.
    QTest::newRow("failed")
        << false << false << false << 3 << QStringLiteral("连接被拒绝")
        << QStringLiteral("端到端加密云同步已开启，但本机尚未读取云端数据")
        << QStringLiteral("云端版本：未知\n本机最近同步：尚未同步\n本机主机：42 台\n3 处更改尚未上传\n"
                          "上次同步未完成：连接被拒绝") +
               tail;
    QTest::newRow("member")
        << true << false << true << 0 << QString() << QStringLiteral("端到端加密云同步已开启")
        << QStringLiteral("云端版本：17\n本机最近同步：尚未同步\n团队主机：42 台（主账号共享，只读）") + tail;
}

void TestAccountDialogs::syncCenterText()
{
    QFETCH(bool, known);
    QFETCH(bool, inProgress);
    QFETCH(bool, member);
    QFETCH(int, pending);
    QFETCH(QString, problem);
    QFETCH(QString, headline);
    QFETCH(QString, text);
    SyncCenter::Status status;
    status.localHosts = 42;
    status.cloudStateKnown = known;
    status.inProgress = inProgress;
    status.member = member;
    status.pendingChanges = pending;
    status.problem = problem;
    status.cloudRevision = 17;
    QCOMPARE(SyncCenter::headline(status), headline);
    QCOMPARE(SyncCenter::informativeText(status), text);
    const QDateTime local(QDate(2026, 12, 8), QTime(9, 5, 30), Qt::LocalTime);
    status.lastSyncedHere = local.toUTC();
    QVERIFY(SyncCenter::informativeText(status).contains(QStringLiteral("本机最近同步：2026-12-08 09:05\n")));
}

QTEST_MAIN(TestAccountDialogs)
#include "test_account_dialogs.moc"
