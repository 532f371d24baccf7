#include "logger.h"
#include "support/test_environment.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#if !defined(Q_OS_WIN)
#include <sys/stat.h>
#endif

class TestLogger : public QObject
{
    Q_OBJECT

private:
    static QStringList lines(const QString& path)
    {
        // spdlog ends lines as the system does.
        return QString::fromUtf8(readFile(path))
            .split(QRegularExpression(QStringLiteral("\r?\n")), Qt::SkipEmptyParts);
    }

private slots:
    void cleanup() { Logger::shutdown(); }

    void linesFollowThePattern()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("app.log"));
        QVERIFY(Logger::initialize(path, spdlog::level::info, 10485760, 5));
        QCOMPARE(QString::fromStdString(spdlog::default_logger()->name()), QStringLiteral("tolv"));
        SPDLOG_DEBUG("hidden {}", 1);
        SPDLOG_INFO("平台: {}", QStringLiteral("Linux"));
        SPDLOG_WARN("配置加载失败，使用默认值");
        SPDLOG_ERROR("数据库打开失败: {}", QStringLiteral("磁盘已满"));
        Logger::shutdown();

        const QStringList logged = lines(path);
        QCOMPARE(logged.size(), 3);
        const QRegularExpression shape(QStringLiteral(
            R"(^\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\] \[(info|warning|error)\] \[\d+\] (.*)$)"));
        const QStringList levels{QStringLiteral("info"), QStringLiteral("warning"), QStringLiteral("error")};
        const QStringList messages{QStringLiteral("平台: Linux"), QStringLiteral("配置加载失败，使用默认值"),
                                   QStringLiteral("数据库打开失败: 磁盘已满")};
        for (int i = 0; i < 3; ++i) {
            const QRegularExpressionMatch match = shape.match(logged[i]);
            QVERIFY2(match.hasMatch(), qPrintable(logged[i]));
            QCOMPARE(match.captured(1), levels[i]);
            QCOMPARE(match.captured(2), messages[i]);
        }
    }

    void warningsReachTheFileAtOnce()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("app.log"));
        QVERIFY(Logger::initialize(path, spdlog::level::info, 10485760, 5));
        SPDLOG_WARN("flushed without shutdown");
        // The worker thread writes asynchronously; the flush follows the write.
        QTRY_VERIFY(readFile(path).contains("flushed without shutdown"));
    }

    void rotatesAtTheSizeLimit()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("app.log"));
        QVERIFY(Logger::initialize(path, spdlog::level::info, 2048, 2));
        for (int i = 0; i < 200; ++i) {
            SPDLOG_INFO("line {} {}", i, std::string(40, 'x'));
        }
        Logger::shutdown();
        QVERIFY(QFileInfo(path).size() <= 2048);
        QVERIFY(QFileInfo::exists(dir.filePath(QStringLiteral("app.1.log"))));
        QVERIFY(QFileInfo::exists(dir.filePath(QStringLiteral("app.2.log"))));
        QVERIFY(!QFileInfo::exists(dir.filePath(QStringLiteral("app.3.log"))));
        QVERIFY(lines(path).last().contains(QStringLiteral("line 199")));
    }

    // The log names hosts and users: the files rotation starts are private too, whatever the umask.
    void everyLogFileIsPrivate()
    {
#if defined(Q_OS_WIN)
        QSKIP("On Windows the log files take the data folder's access list, which the platform tests check.");
#else
        QTemporaryDir dir;
        const mode_t previous = ::umask(0);
        const auto restore = qScopeGuard([previous] { ::umask(previous); });
        const QString path = dir.filePath(QStringLiteral("app.log"));
        QVERIFY(Logger::initialize(path, spdlog::level::info, 2048, 2));
        for (int i = 0; i < 200; ++i) {
            SPDLOG_INFO("line {} {}", i, std::string(40, 'x'));
        }
        Logger::shutdown();
        for (const char* name : {"app.log", "app.1.log", "app.2.log"}) {
            struct stat st
            {
            };
            QVERIFY2(::stat(QFile::encodeName(dir.filePath(QLatin1String(name))).constData(), &st) == 0,
                     name);
            QCOMPARE(st.st_mode & 0777, 0600u);
        }
#endif
    }

    void unwritableLocationKeepsThePreviousLogger()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("app.log"));
        QVERIFY(QDir().mkpath(path)); // a directory where the file should be
        const auto previous = spdlog::default_logger();
        QVERIFY(!Logger::initialize(path, spdlog::level::info, 10485760, 5));
        QCOMPARE(spdlog::default_logger(), previous);
        SPDLOG_INFO("still accepted");
    }

    void logsAfterShutdownAreDiscarded()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("app.log"));
        QVERIFY(Logger::initialize(path, spdlog::level::info, 10485760, 5));
        SPDLOG_INFO("before");
        Logger::shutdown();
        const QByteArray before = readFile(path);
        QCOMPARE(QString::fromStdString(spdlog::default_logger()->name()),
                 QStringLiteral("nimbara-fallback"));
        SPDLOG_ERROR("after shutdown");
        QCOMPARE(readFile(path), before);
    }
};

QTEST_GUILESS_MAIN(TestLogger)
#include "test_logger.moc"
