#include "support/test_environment.h"

#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

// The program itself, started as a user would start it, with a home of its own.
class TestStartup : public QObject
{
    Q_OBJECT

private:
    QString dataFile(const char* name) const
    {
        return m_root->filePath(QStringLiteral("home/.local/share/NIMBARA/NIMBARA/")) + QLatin1String(name);
    }

    std::unique_ptr<QProcess> start()
    {
        auto process = std::make_unique<QProcess>();
        process->setProcessEnvironment(isolatedEnvironment(m_root->path()));
        process->setProgram(QStringLiteral(NIMBARA_BINARY_DIR "/nimbara"));
        process->start();
        return process;
    }

    // The first copy holds its single-instance segment before it creates any file.
    static bool waitUntilRunning(QProcess& process, const QString& marker)
    {
        const bool appeared = QTest::qWaitFor(
            [&] { return QFileInfo::exists(marker) || process.state() == QProcess::NotRunning; }, 20000);
        return appeared && process.state() == QProcess::Running;
    }

    static void stop(QProcess& process)
    {
        process.terminate();
        QVERIFY(process.waitForFinished(20000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 0);
    }

    std::unique_ptr<QTemporaryDir> m_root;

private slots:
    void init() { m_root = std::make_unique<QTemporaryDir>(); }
    void cleanup() { m_root.reset(); }

    void secondCopyExitsAndFirstKeepsRunning()
    {
        auto first = start();
        QVERIFY(waitUntilRunning(*first, dataFile("data.db")));

        auto second = start();
        QVERIFY(second->waitForFinished(20000));
        QCOMPARE(second->exitStatus(), QProcess::NormalExit);
        QCOMPARE(second->exitCode(), 0);
        QVERIFY(
            QString::fromUtf8(second->readAllStandardError()).contains(QStringLiteral("NIMBARA 已在运行")));
        QCOMPARE(first->state(), QProcess::Running);

        stop(*first);
        QVERIFY(QFileInfo::exists(dataFile("app.log")));
        QVERIFY(QFileInfo::exists(dataFile("credential.key")));
        QVERIFY(QFileInfo::exists(dataFile("data.db")));
        QVERIFY(!QFileInfo::exists(dataFile("config.toml")));

        const QStringList lines =
            QString::fromUtf8(readFile(dataFile("app.log"))).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        const QRegularExpression shape(QStringLiteral(
            R"(^\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\] \[(info|warning|error)\] \[\d+\] .+$)"));
        for (const QString& line : lines) {
            QVERIFY2(shape.match(line).hasMatch(), qPrintable(line));
        }
        const QString log = lines.join(QLatin1Char('\n'));
        for (const char* expected : {"日志初始化完成: ", "配置加载完成: ", "设备凭据密钥初始化完成",
                                     "数据库初始化完成: ", "NIMBARA资产管理窗口启动完成", "应用关闭..."}) {
            QVERIFY2(log.contains(QString::fromUtf8(expected)), expected);
        }
    }

    void copyThatDiedLeavesNoLock()
    {
        auto first = start();
        QVERIFY(waitUntilRunning(*first, dataFile("data.db")));
        ::kill(static_cast<pid_t>(first->processId()), SIGKILL);
        QVERIFY(first->waitForFinished(20000));
        QFile::remove(dataFile("app.log"));

        auto second = start();
        QTRY_VERIFY_WITH_TIMEOUT(readFile(dataFile("app.log")).contains("数据库初始化完成") ||
                                     second->state() == QProcess::NotRunning,
                                 20000);
        QCOMPARE(second->state(), QProcess::Running);
        stop(*second);
    }

    void brokenDatabaseStopsStartUp()
    {
        const QByteArray garbage = QByteArray("definitely not sqlite\n").repeated(100);
        writeFile(dataFile("data.db"), garbage);
        auto process = start();
        QVERIFY(process->waitForFinished(20000));
        QCOMPARE(process->exitCode(), 1);
        QVERIFY(QString::fromUtf8(process->readAllStandardError())
                    .contains(QStringLiteral("应用初始化失败，请检查日志")));
        QCOMPARE(readFile(dataFile("data.db")), garbage);
        QVERIFY(
            QString::fromUtf8(readFile(dataFile("app.log"))).contains(QStringLiteral("数据库初始化失败")));
    }

    void hostileConfigKeepsDefaults()
    {
        const QByteArray hostile(
            "[connection]\ndefault_kernel = \"\xff\xfe\"\ncustom_width = [[[[[[1]]]]]]\n");
        writeFile(dataFile("config.toml"), hostile);
        auto process = start();
        QTRY_VERIFY_WITH_TIMEOUT(readFile(dataFile("app.log")).contains("配置加载失败，使用默认值") ||
                                     process->state() == QProcess::NotRunning,
                                 20000);
        QCOMPARE(process->state(), QProcess::Running);
        stop(*process);
        QCOMPARE(readFile(dataFile("config.toml")), hostile);
    }
};

QTEST_GUILESS_MAIN(TestStartup)
#include "test_startup.moc"
