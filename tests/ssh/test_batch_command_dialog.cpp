#include "ssh/batch_command_dialog.h"
#include "support/modal_driver.h"

#include <QTest>

class TestBatchCommandDialog : public QObject
{
    Q_OBJECT

private slots:
    void chooserSaysHowHostsLogIn()
    {
        const BatchCommandDialog chooser(3);
        QCOMPARE(chooser.windowTitle(), QStringLiteral("Linux 批量控制"));
        const QString label = chooser.labelText();
        QVERIFY(label.startsWith(QStringLiteral("选择在 3 台 Linux 主机上执行的命令\n")));
        // Stored passwords are used; keys or the agent otherwise; nobody is asked.
        QVERIFY(label.contains(QStringLiteral("已保存密码的主机")));
        QVERIFY(label.contains(QStringLiteral("ssh-agent")));
        QVERIFY(label.contains(QStringLiteral("不会弹出密码提示")));
        QVERIFY(!label.contains(QStringLiteral("仅使用")));
        QCOMPARE(chooser.comboBoxItems(), BatchCommandDialog::items());
        QVERIFY(!chooser.isComboBoxEditable());
        QCOMPARE(chooser.textValue(), BatchCommandDialog::items().constFirst());
    }

    void presetsGiveTheirCommands_data()
    {
        QTest::addColumn<QString>("item");
        QTest::addColumn<QString>("command");
        QTest::newRow("system") << "查看系统信息"
                                << "uname -a && cat /etc/os-release 2>/dev/null | head -n 8";
        QTest::newRow("disk") << "查看磁盘使用"
                              << "df -h";
        QTest::newRow("memory") << "查看内存使用"
                                << "free -h 2>/dev/null || vmstat -s";
        QTest::newRow("uptime") << "查看运行时间"
                                << "uptime";
    }

    void presetsGiveTheirCommands()
    {
        QFETCH(QString, item);
        QFETCH(QString, command);
        QVERIFY(BatchCommandDialog::items().contains(item));
        ModalDriver driver;
        driver.input(item);
        QCOMPARE(BatchCommandDialog::askCommand(2, nullptr), command);
        QVERIFY(driver.done());
        QVERIFY2(driver.unexpected.isEmpty(), qPrintable(driver.unexpected.join('\n')));
    }

    void cancelledChoiceGivesNothing()
    {
        ModalDriver driver;
        driver.input(QString());
        QVERIFY(BatchCommandDialog::askCommand(2, nullptr).isEmpty());
        QVERIFY(driver.done());
        QVERIFY(driver.unexpected.isEmpty());
    }
};

QTEST_MAIN(TestBatchCommandDialog)
#include "test_batch_command_dialog.moc"
