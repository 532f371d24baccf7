#include "platform/linux_adapter.h"
#include "support/test_environment.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

class TestLinuxAdapter : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QCoreApplication::setApplicationName(QStringLiteral("NIMBARA"));
        QCoreApplication::setOrganizationName(QStringLiteral("NIMBARA"));
    }

    void dataDirectoryIsCreatedUnderTheUserDataHome()
    {
        QTemporaryDir dir;
        ScopedEnvironment env;
        isolateProcess(env, dir.path());
        LinuxAdapter adapter;
        const QString expected = dir.filePath(QStringLiteral("home/.local/share/NIMBARA/NIMBARA"));
        QCOMPARE(adapter.dataDirectory(), expected);
        QVERIFY(QFileInfo(expected).isDir());
        QCOMPARE(adapter.dataDirectory(), expected);
        QCOMPARE(adapter.configFilePath(), expected + QStringLiteral("/config.toml"));

        // Without XDG_DATA_HOME the home directory decides.
        env.unset("XDG_DATA_HOME");
        QCOMPARE(adapter.dataDirectory(), expected);
    }

    void factoryAndFixedAnswers()
    {
        const std::unique_ptr<IPlatformAdapter> adapter = createPlatformAdapter();
        QVERIFY(adapter);
        QCOMPARE(adapter->platformName(), QStringLiteral("Linux"));
        QVERIFY(adapter->isSupported());
        QCOMPARE(adapter->mapCode(0x1Cu), 0x1Cu);
        // No GUI application, hence no screen.
        QCOMPARE(adapter->devicePixelRatio(), 1.0);
    }
};

QTEST_GUILESS_MAIN(TestLinuxAdapter)
#include "test_linux_adapter.moc"
