// The update check's boxes and progress dialog as the user meets them.

#include "support/modal_driver.h"
#include "ui/update_dialogs.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QProgressDialog>
#include <QPushButton>
#include <QTest>

namespace {

QStringList buttonTexts(QMessageBox* box)
{
    QStringList texts;
    for (QAbstractButton* button : box->buttons())
        texts.append(button->text());
    texts.sort();
    return texts;
}

QAbstractButton* buttonNamed(QMessageBox* box, const QString& text)
{
    for (QAbstractButton* button : box->buttons()) {
        if (button->text() == text)
            return button;
    }
    return nullptr;
}

} // namespace

class UpdateDialogsTest : public QObject
{
    Q_OBJECT

private slots:
    void requiredUpdateBox()
    {
        UpdateDialogs dialogs(false);
        ModalDriver driver;
        QString title;
        QString text;
        QStringList buttons;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        driver.then([&](QWidget* widget) {
            auto* box = qobject_cast<QMessageBox*>(widget);
            QVERIFY(box);
            title = box->windowTitle();
            text = box->text();
            icon = box->icon();
            buttons = buttonTexts(box);
            buttonNamed(box, QStringLiteral("立即下载并安装"))->click();
        });
        QVERIFY(dialogs.confirmUpdate(QStringLiteral("1.2.1"), QStringLiteral("发现 NIMBARA 1.2.1 更新。")));
        QCOMPARE(title, QStringLiteral("必须升级 NIMBARA"));
        QCOMPARE(text, QStringLiteral("发现 NIMBARA 1.2.1 更新。"));
        QCOMPARE(icon, QMessageBox::Information);
        QCOMPARE(buttons, (QStringList{QStringLiteral("立即下载并安装"), QStringLiteral("退出软件")}));

        driver.then([](QWidget* widget) {
            buttonNamed(qobject_cast<QMessageBox*>(widget), QStringLiteral("退出软件"))->click();
        });
        QVERIFY(!dialogs.confirmUpdate(QStringLiteral("1.2.1"), QStringLiteral("x")));
        // Closing the box is no consent either.
        driver.then([](QWidget* widget) { widget->close(); });
        QVERIFY(!dialogs.confirmUpdate(QStringLiteral("1.2.1"), QStringLiteral("x")));
        QVERIFY(driver.done());
        QVERIFY(driver.unexpected.isEmpty());
    }

    void failureBoxOffersRetry()
    {
        UpdateDialogs dialogs(false);
        ModalDriver driver;
        QString title;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        QStringList buttons;
        driver.then([&](QWidget* widget) {
            auto* box = qobject_cast<QMessageBox*>(widget);
            title = box->windowTitle();
            icon = box->icon();
            buttons = buttonTexts(box);
            buttonNamed(box, QStringLiteral("重试"))->click();
        });
        QVERIFY(dialogs.offerRetry(QStringLiteral("更新包校验失败，已取消安装。")));
        QCOMPARE(title, QStringLiteral("更新下载失败"));
        QCOMPARE(icon, QMessageBox::Warning);
        QCOMPARE(buttons, (QStringList{QStringLiteral("退出软件"), QStringLiteral("重试")}));
        driver.then([](QWidget* widget) {
            buttonNamed(qobject_cast<QMessageBox*>(widget), QStringLiteral("退出软件"))->click();
        });
        QVERIFY(!dialogs.offerRetry(QStringLiteral("x")));
    }

    // The path and the command can be copied; going on is offered only where it is allowed.
    void manualInstallBox_data()
    {
        QTest::addColumn<bool>("mayContinue");
        QTest::addColumn<QStringList>("buttons");
        QTest::newRow("may continue")
            << true << QStringList{QStringLiteral("继续使用当前版本"), QStringLiteral("退出软件")};
        QTest::newRow("must quit") << false << QStringList{QStringLiteral("退出软件")};
    }

    void manualInstallBox()
    {
        QFETCH(bool, mayContinue);
        QFETCH(QStringList, buttons);
        UpdateDialogs dialogs(false);
        ModalDriver driver;
        QStringList shown;
        bool selectable = false;
        driver.then([&](QWidget* widget) {
            auto* box = qobject_cast<QMessageBox*>(widget);
            QVERIFY(box);
            shown = buttonTexts(box);
            selectable = box->textInteractionFlags().testFlag(Qt::TextSelectableByMouse);
            buttonNamed(box, mayContinue ? QStringLiteral("继续使用当前版本") : QStringLiteral("退出软件"))
                ->click();
        });
        QCOMPARE(dialogs.offerManualInstall(QStringLiteral("sudo apt-get install '/tmp/x.deb'"), mayContinue),
                 mayContinue);
        shown.sort();
        buttons.sort();
        QCOMPARE(shown, buttons);
        QVERIFY(selectable);
    }

    void progressDialogCancels()
    {
        UpdateDialogs dialogs(false);
        int cancels = 0;
        dialogs.beginDownload(QStringLiteral("正在下载 NIMBARA 1.2.1 更新…"), [&] { ++cancels; });
        auto* progress = qobject_cast<QProgressDialog*>(QApplication::activeModalWidget());
        QVERIFY(progress);
        QVERIFY(progress->isVisible());
        QCOMPARE(progress->labelText(), QStringLiteral("正在下载 NIMBARA 1.2.1 更新…"));
        QCOMPARE(progress->maximum(), 100);
        QCOMPARE(progress->windowModality(), Qt::ApplicationModal);
        dialogs.setDownloadProgress(100);
        // Reaching the end neither closes nor resets it: that is up to the download.
        QVERIFY(progress->isVisible());
        QCOMPARE(progress->value(), 100);
        dialogs.setDownloadProgress(40);
        QPushButton* cancel = progress->findChild<QPushButton*>();
        QVERIFY(cancel);
        QCOMPARE(cancel->text(), QStringLiteral("取消"));
        cancel->click();
        QCOMPARE(cancels, 1);
        dialogs.endDownload();
        QVERIFY(!progress->isVisible());
    }

    void headlessDeclinesWithoutABox()
    {
        UpdateDialogs dialogs(true);
        ModalDriver driver;
        QVERIFY(!dialogs.confirmUpdate(QStringLiteral("1.2.1"), QStringLiteral("x")));
        QVERIFY(!dialogs.offerRetry(QStringLiteral("x")));
        QVERIFY(driver.unexpected.isEmpty());
    }
};

QTEST_MAIN(UpdateDialogsTest)
#include "test_update_dialogs.moc"
