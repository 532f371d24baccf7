#include "support/process_inspector.h"
#include "support/rdp_test_server.h"
#include "support/test_environment.h"

#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <QDir>
#include <QDirIterator>
#include <QStandardPaths>

#include <csignal>
#include <sys/stat.h>

// The program itself, started as a user would start it, with a home of its own.
class TestStartup : public QObject
{
    Q_OBJECT

private:
    QString dataFile(const char* name) const
    {
        return m_root->filePath(QStringLiteral("home/.local/share/NIMBARA/NIMBARA/")) + QLatin1String(name);
    }

    // `asPeer`: as the user the memory probe runs as (see ProcessInspector).
    std::unique_ptr<QProcess> start(const QString& display = {}, bool asPeer = false)
    {
        auto process = std::make_unique<QProcess>();
        QProcessEnvironment env = isolatedEnvironment(m_root->path());
        if (!display.isEmpty()) {
            env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
            env.insert(QStringLiteral("DISPLAY"), display);
        }
        process->setProcessEnvironment(env);
        const QString program = QStringLiteral(NIMBARA_BINARY_DIR "/nimbara");
        const QStringList prefix = asPeer ? ProcessInspector::peerLaunch() : QStringList();
        if (prefix.isEmpty()) {
            process->setProgram(program);
        } else {
            process->setProgram(prefix.first());
            process->setArguments(prefix.mid(1) << program);
        }
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

    static mode_t modeOf(const QString& path)
    {
        struct stat st
        {
        };
        return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? (st.st_mode & 07777) : 0;
    }

    // Window names on an X display, as xwininfo lists them.
    static QString windowTree(const QString& display)
    {
        QProcess xwininfo;
        xwininfo.start(QStringLiteral("xwininfo"), {QStringLiteral("-root"), QStringLiteral("-tree"),
                                                    QStringLiteral("-display"), display});
        xwininfo.waitForFinished(10000);
        return QString::fromUtf8(xwininfo.readAllStandardOutput());
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
        QVERIFY(QString::fromUtf8(second->readAllStandardError())
                    .contains(
                        QStringLiteral("NIMBARA 已在运行: 同一系统登录用户只允许打开一个 NIMBARA 主控端。")));
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

    // The data folder and every file in it are the user's alone, also those an older version or a
    // restored backup left readable by others.
    void dataFilesArePrivate()
    {
        const QString dataDir = dataFile("");
        QVERIFY(QDir().mkpath(dataDir));
        QVERIFY(::chmod(QFile::encodeName(dataDir).constData(), 0755) == 0);
        for (const char* name : {"config.toml", "app.log", "app.1.log"}) {
            writeFile(dataFile(name),
                      name == QByteArray("config.toml") ? QByteArray() : QByteArray("old log\n"));
            QVERIFY(::chmod(QFile::encodeName(dataFile(name)).constData(), 0644) == 0);
        }

        auto process = start();
        QTRY_VERIFY_WITH_TIMEOUT(readFile(dataFile("app.log")).contains("NIMBARA资产管理窗口启动完成") ||
                                     process->state() == QProcess::NotRunning,
                                 20000);
        QCOMPARE(process->state(), QProcess::Running);

        QCOMPARE(modeOf(dataDir), mode_t(0700));
        QStringList seen;
        QDirIterator it(dataDir, QDir::Files | QDir::Hidden);
        while (it.hasNext()) {
            const QString path = it.next();
            seen << it.fileName();
            QVERIFY2(modeOf(path) == 0600,
                     qPrintable(QStringLiteral("%1: %2").arg(path).arg(modeOf(path), 0, 8)));
        }
        for (const char* expected : {"data.db", "data.db-wal", "data.db-shm", "credential.key", "app.log",
                                     "app.1.log", "config.toml"}) {
            QVERIFY2(seen.contains(QLatin1String(expected)), expected);
        }
        const QString secretDir = m_root->filePath(QStringLiteral("home/.config/NIMBARA"));
        QCOMPARE(modeOf(secretDir), mode_t(0700));
        QCOMPARE(modeOf(secretDir + QStringLiteral("/data-protection.secret")), mode_t(0600));
        stop(*process);
    }

    // Host passwords live in the program's memory while sessions run: no core file may carry them and
    // no other process of the same user may read them.
    void runningProgramCannotBeDumpedOrRead()
    {
        if (!ProcessInspector::peerCanRun(QStringLiteral(NIMBARA_BINARY_DIR "/nimbara"))) {
            QSKIP("the build folder is closed to the unprivileged user the check runs as");
        }
        isolatedEnvironment(m_root->path()); // makes the folders the peer user is then given
        QVERIFY(ProcessInspector::giveToPeer(m_root->path()));
        auto process = start({}, true);
        QVERIFY(waitUntilRunning(*process, dataFile("data.db")));
        const auto pid = static_cast<pid_t>(process->processId());
        QCOMPARE(ProcessInspector::coreLimit(pid), 0LL);
        QCOMPARE(ProcessInspector::coreLimit(pid, true), 0LL);

        QProcess ordinary;
        const QStringList peer = ProcessInspector::peerLaunch();
        if (peer.isEmpty()) {
            ordinary.start(QStringLiteral("sleep"), {QStringLiteral("30")});
        } else {
            ordinary.start(peer.first(), peer.mid(1) << QStringLiteral("sleep") << QStringLiteral("30"));
        }
        QVERIFY(ordinary.waitForStarted());
        // Once setpriv has become the peer user and run sleep.
        QTRY_COMPARE(readFile(QStringLiteral("/proc/%1/comm").arg(ordinary.processId())),
                     QByteArray("sleep\n"));
        const auto control = ProcessInspector::peerAccess(static_cast<pid_t>(ordinary.processId()));
        ordinary.kill();
        ordinary.waitForFinished();
        if (control == ProcessInspector::PeerAccess::Unknown) {
            QSKIP("cannot look at a process as a peer would");
        }
        QCOMPARE(control, ProcessInspector::PeerAccess::Readable);
        QCOMPARE(ProcessInspector::peerAccess(pid), ProcessInspector::PeerAccess::Refused);
        stop(*process);
    }

    // A second start shows its box on a real display; terminating it closes the box and ends it.
    void secondCopyEndsWhenTerminatedWhileItsBoxIsOpen()
    {
        if (QStandardPaths::findExecutable(QStringLiteral("xwininfo")).isEmpty()) {
            QSKIP("xwininfo is not installed");
        }
        TestXDisplay display;
        QString error;
        if (!display.start(&error)) {
            QSKIP(qPrintable(QStringLiteral("no X display: ") + error));
        }
        auto first = start();
        QVERIFY(waitUntilRunning(*first, dataFile("data.db")));

        auto second = start(display.name());
        QTRY_VERIFY_WITH_TIMEOUT(windowTree(display.name()).contains(QStringLiteral("NIMBARA")) ||
                                     second->state() == QProcess::NotRunning,
                                 20000);
        QCOMPARE(second->state(), QProcess::Running);

        second->terminate();
        QVERIFY(second->waitForFinished(10000));
        QCOMPARE(second->exitStatus(), QProcess::NormalExit);
        QCOMPARE(second->exitCode(), 0);
        QCOMPARE(first->state(), QProcess::Running);
        stop(*first);
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
