#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <utility>

#include <sys/stat.h>
#include <unistd.h>

// The two Debian packages, built by cpack from this build tree, checked by lintian and, as root,
// installed for real, started and purged again.
namespace {

const QString kClientPackage = QStringLiteral("nimbara");
const QString kServerPackage = QStringLiteral("nimbara-account-server");
const QString kProgramDir = QStringLiteral("/usr/lib/nimbara");

// Bounds for programs that may be slow on a loaded machine; each wait ends as soon as the program does.
constexpr int kPackagingTimeoutMs = 300000;
constexpr int kAptTimeoutMs = 180000;
constexpr int kProgramTimeoutMs = 60000;

struct Run
{
    bool finished = false;
    int exitCode = -1;
    QString output; // standard output and standard error together
};

Run run(const QString& program, const QStringList& arguments, int timeoutMs = kProgramTimeoutMs,
        const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment())
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setProcessEnvironment(env);
    process.start(program, arguments);
    Run result;
    result.finished = process.waitForFinished(timeoutMs) && process.exitStatus() == QProcess::NormalExit;
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished();
    }
    result.exitCode = process.exitCode();
    result.output = QString::fromUtf8(process.readAll());
    return result;
}

QString describe(const QString& what, const Run& result)
{
    return QStringLiteral("%1 (finished: %2, exit code %3):\n%4")
        .arg(what, result.finished ? QStringLiteral("yes") : QStringLiteral("no"),
             QString::number(result.exitCode), result.output);
}

bool installed(const QString& package)
{
    const Run status =
        run(QStringLiteral("dpkg-query"), {QStringLiteral("-W"), QStringLiteral("-f=${Status}"), package});
    return status.exitCode == 0 && status.output.contains(QLatin1String("ok installed"));
}

bool userExists(const QString& name)
{
    return run(QStringLiteral("getent"), {QStringLiteral("passwd"), name}).exitCode == 0;
}

// One line of `dpkg-deb --contents`: type and permissions, and the target of a link.
struct Entry
{
    QString mode;
    QString linkTarget;
};

QHash<QString, Entry> contents(const QString& deb)
{
    const Run listing = run(QStringLiteral("dpkg-deb"), {QStringLiteral("--contents"), deb});
    QHash<QString, Entry> entries;
    for (const QString& line : listing.output.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        // "-rwxr-xr-x root/root 123 2026-01-01 00:00 ./usr/bin/x" or "... ./usr/bin/x -> target"
        const QStringList fields = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        if (fields.size() < 6) {
            continue;
        }
        QString path = fields.at(5).mid(1); // without the leading "."
        if (path.size() > 1 && path.endsWith(QLatin1Char('/'))) {
            path.chop(1);
        }
        const int arrow = fields.indexOf(QStringLiteral("->"));
        entries.insert(path, Entry{fields.first(), arrow > 0 ? fields.value(arrow + 1) : QString()});
    }
    return entries;
}

QHash<QString, QString> controlFields(const QString& deb)
{
    const Run control = run(QStringLiteral("dpkg-deb"), {QStringLiteral("--field"), deb});
    QHash<QString, QString> fields;
    QString last;
    for (const QString& line : control.output.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        if (line.startsWith(QLatin1Char(' '))) {
            fields[last] += QLatin1Char('\n') + line;
            continue;
        }
        const int colon = line.indexOf(QLatin1Char(':'));
        last = line.left(colon);
        fields.insert(last, line.mid(colon + 1).trimmed());
    }
    return fields;
}

// The package names a relation field lists, without versions ("a (>= 1), b | c" gives a, b, c).
QStringList relationNames(const QString& field)
{
    QStringList names;
    for (const QString& part : field.split(QRegularExpression(QStringLiteral("[,|]")), Qt::SkipEmptyParts)) {
        names << part.trimmed().section(QLatin1Char(' '), 0, 0).section(QLatin1Char(':'), 0, 0);
    }
    return names;
}

// Width and height from a PNG file's header.
QSize pngSize(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    const QByteArray head = file.read(24);
    if (head.size() < 24 || !head.startsWith("\x89PNG\r\n\x1a\n")) {
        return {};
    }
    const auto be32 = [&](int at) {
        return int((uchar(head[at]) << 24) | (uchar(head[at + 1]) << 16) | (uchar(head[at + 2]) << 8) |
                   uchar(head[at + 3]));
    };
    return {be32(16), be32(20)};
}

mode_t modeOf(const QString& path)
{
    struct stat st
    {
    };
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

const QList<int> kIconSizes{16, 24, 32, 48, 64, 128, 256};

} // namespace

class TestPackage : public QObject
{
    Q_OBJECT

private:
    QString debPath(const QString& package) const
    {
        return m_packages.filePath(
            QStringLiteral("%1_%2_amd64.deb").arg(package, QStringLiteral(NIMBARA_VERSION)));
    }

    // Why the package is not installed here: that needs root, and a copy this test did not install
    // itself stays as it is. Empty when it may be installed.
    static QString reasonNotToInstall(const QString& package)
    {
        if (::geteuid() != 0) {
            return QStringLiteral(
                "installing the packages needs root; their contents were checked without it");
        }
        if (installed(package)) {
            return QStringLiteral("%1 is already installed on this machine; it is left as it is")
                .arg(package);
        }
        return {};
    }

    // Everything the package needs is installed already (scripts/build.sh installs it). apt is asked
    // first what it would do: anything besides the package itself would have to be downloaded, which
    // fails the test at once instead of waiting for a network.
    void install(const QString& package)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DEBIAN_FRONTEND"), QStringLiteral("noninteractive"));
        const QStringList options{QStringLiteral("-y"), QStringLiteral("--no-install-recommends"),
                                  QStringLiteral("-o"), QStringLiteral("Acquire::Retries=0"),
                                  QStringLiteral("-o"), QStringLiteral("Acquire::http::Timeout=20"),
                                  QStringLiteral("-o"), QStringLiteral("DPkg::Lock::Timeout=120"),
                                  debPath(package)};
        const Run plan = run(QStringLiteral("apt-get"),
                             QStringList{QStringLiteral("install"), QStringLiteral("--simulate")} + options,
                             kAptTimeoutMs, env);
        QVERIFY2(plan.finished && plan.exitCode == 0,
                 qPrintable(describe(QStringLiteral("apt-get cannot resolve the dependencies of ") + package,
                                     plan)));
        QStringList toDownload;
        for (const QString& line : plan.output.split(QLatin1Char('\n'))) {
            if (line.startsWith(QLatin1String("Inst ")) && line.section(QLatin1Char(' '), 1, 1) != package) {
                toDownload << line.section(QLatin1Char(' '), 1, 1);
            }
        }
        QVERIFY2(
            toDownload.isEmpty(),
            qPrintable(QStringLiteral("%1 needs packages that are not installed (scripts/build.sh installs "
                                      "them): %2")
                           .arg(package, toDownload.join(QStringLiteral(", ")))));

        m_installedHere << package;
        const Run apt = run(QStringLiteral("apt-get"), QStringList{QStringLiteral("install")} + options,
                            kAptTimeoutMs, env);
        QVERIFY2(apt.finished && apt.exitCode == 0,
                 qPrintable(describe(QStringLiteral("apt-get install ") + package, apt)));
        QVERIFY(installed(package));
    }

    QTemporaryDir m_packages;
    QStringList m_installedHere;

private slots:
    void initTestCase()
    {
        QVERIFY(m_packages.isValid());
        const Run cpack = run(QStringLiteral(NIMBARA_CPACK),
                              {QStringLiteral("-G"), QStringLiteral("DEB"), QStringLiteral("--config"),
                               QStringLiteral(NIMBARA_BUILD_ROOT "/CPackConfig.cmake"), QStringLiteral("-B"),
                               m_packages.path()},
                              kPackagingTimeoutMs);
        QVERIFY2(cpack.finished && cpack.exitCode == 0, qPrintable(describe(QStringLiteral("cpack"), cpack)));
        QVERIFY2(QFileInfo::exists(debPath(kClientPackage)), qPrintable(cpack.output));
        QVERIFY2(QFileInfo::exists(debPath(kServerPackage)), qPrintable(cpack.output));
    }

    // Warnings are printed; an error fails.
    void lintianFindsNoErrors_data()
    {
        QTest::addColumn<QString>("package");
        QTest::newRow("client") << kClientPackage;
        QTest::newRow("server") << kServerPackage;
    }
    void lintianFindsNoErrors()
    {
        QFETCH(QString, package);
        const Run lintian = run(QStringLiteral("lintian"), {debPath(package)}, kPackagingTimeoutMs);
        QVERIFY2(lintian.finished,
                 qPrintable(describe(QStringLiteral("lintian (scripts/build.sh installs it)"), lintian)));
        QStringList errors;
        for (const QString& line : lintian.output.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
            if (line.startsWith(QLatin1String("E: "))) {
                errors << line;
            } else if (line.startsWith(QLatin1String("W: "))) {
                qInfo("%s", qPrintable(line));
            }
        }
        QVERIFY2(errors.isEmpty(), qPrintable(errors.join(QLatin1Char('\n'))));
        QVERIFY2(lintian.exitCode == 0, qPrintable(describe(QStringLiteral("lintian"), lintian)));
    }

    void clientPackageHoldsProgramHelpersDesktopEntryAndIcons()
    {
        const QHash<QString, Entry> entries = contents(debPath(kClientPackage));
        // The program finds its helpers in its own folder, so all three lie together.
        for (const char* name : {"nimbara", "nimbara-ssh-askpass", "nimbara-xls-reader"}) {
            const QString path = kProgramDir + QLatin1Char('/') + QLatin1String(name);
            QVERIFY2(entries.contains(path), qPrintable(path));
            QCOMPARE(entries.value(path).mode, QStringLiteral("-rwxr-xr-x"));
        }
        QCOMPARE(entries.value(QStringLiteral("/usr/bin/nimbara")).mode.left(1), QStringLiteral("l"));
        QCOMPARE(entries.value(QStringLiteral("/usr/bin/nimbara")).linkTarget,
                 QStringLiteral("../lib/nimbara/nimbara"));
        for (const char* path :
             {"/usr/share/applications/nimbara.desktop", "/usr/share/doc/nimbara/copyright",
              "/usr/share/doc/nimbara/changelog.gz", "/usr/share/man/man1/nimbara.1.gz",
              "/usr/share/icons/hicolor/scalable/apps/nimbara.svg"}) {
            QVERIFY2(entries.value(QLatin1String(path)).mode == QStringLiteral("-rw-r--r--"), path);
        }
        for (const QString& path : entries.keys()) {
            QVERIFY2(!path.contains(QLatin1String("account-server")) && !path.contains(QLatin1String("tst_")),
                     qPrintable(path));
        }

        QTemporaryDir unpacked;
        QVERIFY(
            run(QStringLiteral("dpkg-deb"), {QStringLiteral("-x"), debPath(kClientPackage), unpacked.path()})
                .exitCode == 0);
        for (int size : kIconSizes) {
            const QString icon =
                unpacked.filePath(QStringLiteral("usr/share/icons/hicolor/%1x%1/apps/nimbara.png").arg(size));
            QCOMPARE(pngSize(icon), QSize(size, size));
        }
        const Run validate =
            run(QStringLiteral("desktop-file-validate"),
                {unpacked.filePath(QStringLiteral("usr/share/applications/nimbara.desktop"))});
        QVERIFY2(validate.finished && validate.exitCode == 0 && validate.output.trimmed().isEmpty(),
                 qPrintable(describe(QStringLiteral("desktop-file-validate (scripts/build.sh installs it)"),
                                     validate)));
        QFile desktop(unpacked.filePath(QStringLiteral("usr/share/applications/nimbara.desktop")));
        QVERIFY(desktop.open(QIODevice::ReadOnly));
        const QStringList lines = QString::fromUtf8(desktop.readAll()).split(QLatin1Char('\n'));
        for (const char* line :
             {"Name=NIMBARA", "Exec=nimbara", "Icon=nimbara", "Categories=Network;RemoteAccess;"}) {
            QVERIFY2(lines.contains(QLatin1String(line)), line);
        }
        QVERIFY(lines.filter(QRegularExpression(QStringLiteral("^Name\\[zh_CN\\]=\\S"))).size() == 1);

        const QHash<QString, QString> fields = controlFields(debPath(kClientPackage));
        QCOMPARE(fields.value(QStringLiteral("Package")), kClientPackage);
        QCOMPARE(fields.value(QStringLiteral("Version")), QStringLiteral(NIMBARA_VERSION));
        QCOMPARE(fields.value(QStringLiteral("Architecture")), QStringLiteral("amd64"));
        QCOMPARE(fields.value(QStringLiteral("Section")), QStringLiteral("net"));
        QCOMPARE(fields.value(QStringLiteral("Priority")), QStringLiteral("optional"));
        QVERIFY(!fields.contains(QStringLiteral("Homepage")));
        const QStringList depends = relationNames(fields.value(QStringLiteral("Depends")));
        // libqt6widgets6 comes from dpkg-shlibdeps, the others are programs and plugins loaded at run time.
        for (const char* name : {"libqt6widgets6", "libqt6sql6-sqlite", "freerdp2-x11", "openssh-client"}) {
            QVERIFY2(depends.contains(QLatin1String(name)), name);
        }
        const QStringList recommends = relationNames(fields.value(QStringLiteral("Recommends")));
        for (const char* name : {"xterm", "x-terminal-emulator", "fonts-noto-cjk", "qt6-translations-l10n"}) {
            QVERIFY2(recommends.contains(QLatin1String(name)), name);
        }
    }

    void serverPackageHoldsServiceAndNoDesktopProgram()
    {
        const QHash<QString, Entry> entries = contents(debPath(kServerPackage));
        QCOMPARE(entries.value(QStringLiteral("/usr/bin/nimbara-account-server")).mode,
                 QStringLiteral("-rwxr-xr-x"));
        for (const char* path : {"/lib/systemd/system/nimbara-account-server.service",
                                 "/usr/share/doc/nimbara-account-server/examples/server.toml",
                                 "/usr/share/doc/nimbara-account-server/copyright",
                                 "/usr/share/doc/nimbara-account-server/changelog.gz",
                                 "/usr/share/man/man8/nimbara-account-server.8.gz"}) {
            QVERIFY2(entries.value(QLatin1String(path)).mode == QStringLiteral("-rw-r--r--"), path);
        }
        // The server program only: no desktop program, helper or test.
        for (auto it = entries.cbegin(); it != entries.cend(); ++it) {
            if (it.value().mode.startsWith(QLatin1Char('-')) && it.value().mode.contains(QLatin1Char('x'))) {
                QCOMPARE(it.key(), QStringLiteral("/usr/bin/nimbara-account-server"));
            }
        }

        const QHash<QString, QString> fields = controlFields(debPath(kServerPackage));
        QCOMPARE(fields.value(QStringLiteral("Package")), kServerPackage);
        QCOMPARE(fields.value(QStringLiteral("Version")), QStringLiteral(NIMBARA_VERSION));
        QCOMPARE(fields.value(QStringLiteral("Section")), QStringLiteral("net"));
        const QStringList depends = relationNames(fields.value(QStringLiteral("Depends")));
        for (const char* name : {"libqt6core6", "libqt6network6", "libqt6sql6-sqlite", "adduser"}) {
            QVERIFY2(depends.contains(QLatin1String(name)), name);
        }
        for (const QString& name : depends) {
            QVERIFY2(!name.startsWith(QLatin1String("libqt6gui")) &&
                         !name.startsWith(QLatin1String("libqt6widgets")) &&
                         !name.startsWith(QLatin1String("libfreerdp")) &&
                         !name.startsWith(QLatin1String("libx11")),
                     qPrintable(name));
        }
        QVERIFY(relationNames(fields.value(QStringLiteral("Suggests")))
                    .contains(QStringLiteral("libqt6sql6-psql")));
    }

    // The installed command, started as a user would start it with a home of its own, resolves to the
    // program folder, creates its data files and ends cleanly on SIGTERM.
    void installedProgramStartsAndFindsItsHelpers()
    {
        if (const QString reason = reasonNotToInstall(kClientPackage); !reason.isEmpty()) {
            QSKIP(qPrintable(reason));
        }
        install(kClientPackage);
        if (QTest::currentTestFailed()) {
            return;
        }

        const Run validate = run(QStringLiteral("desktop-file-validate"),
                                 {QStringLiteral("/usr/share/applications/nimbara.desktop")});
        QVERIFY2(validate.exitCode == 0 && validate.output.trimmed().isEmpty(),
                 qPrintable(describe(QStringLiteral("desktop-file-validate"), validate)));
        QCOMPARE(QFileInfo(QStringLiteral("/usr/bin/nimbara")).canonicalFilePath(),
                 kProgramDir + QStringLiteral("/nimbara"));
        for (const char* helper : {"nimbara-ssh-askpass", "nimbara-xls-reader"}) {
            const QFileInfo info(kProgramDir + QLatin1Char('/') + QLatin1String(helper));
            QVERIFY2(info.isFile() && info.isExecutable(), helper);
        }

        QTemporaryDir root;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        const QList<std::pair<const char*, const char*>> dirs{{"HOME", "home"},
                                                              {"XDG_DATA_HOME", "data"},
                                                              {"XDG_CONFIG_HOME", "config"},
                                                              {"XDG_RUNTIME_DIR", "runtime"},
                                                              {"TMPDIR", "tmp"}};
        for (const auto& [variable, name] : dirs) {
            const QString path = root.filePath(QLatin1String(name));
            QVERIFY(QDir().mkpath(path));
            QVERIFY(::chmod(QFile::encodeName(path).constData(), 0700) == 0);
            env.insert(QLatin1String(variable), path);
        }
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        const QString dataDir = root.filePath(QStringLiteral("data/NIMBARA/NIMBARA/"));

        QProcess program;
        program.setProcessEnvironment(env);
        program.setProcessChannelMode(QProcess::MergedChannels);
        program.start(QStringLiteral("/usr/bin/nimbara"));
        QVERIFY(program.waitForStarted());
        const auto log = [&] {
            QFile file(dataDir + QStringLiteral("app.log"));
            return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
        };
        const bool settled = QTest::qWaitFor(
            [&] {
                return log().contains(QStringLiteral("NIMBARA资产管理窗口启动完成")) ||
                       program.state() == QProcess::NotRunning;
            },
            kProgramTimeoutMs);
        QVERIFY2(settled && program.state() == QProcess::Running,
                 qPrintable(QString::fromUtf8(program.readAll()) + QLatin1Char('\n') + log()));
        for (const char* name : {"app.log", "credential.key", "data.db"}) {
            QVERIFY2(QFileInfo::exists(dataDir + QLatin1String(name)), name);
        }
        // Its application folder, where it looks for the helpers, is the program folder.
        QCOMPARE(QFileInfo(QStringLiteral("/proc/%1/exe").arg(program.processId())).symLinkTarget(),
                 kProgramDir + QStringLiteral("/nimbara"));

        program.terminate();
        QVERIFY(program.waitForFinished(kProgramTimeoutMs));
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QVERIFY2(program.exitCode() == 0, qPrintable(QString::fromUtf8(program.readAll())));
        QVERIFY(log().contains(QStringLiteral("应用关闭...")));
    }

    // The postinst works without systemd and enables nothing; the installed server runs with the
    // SQLite driver its package depends on.
    void installedServerRunsWithoutBeingEnabled()
    {
        if (const QString reason = reasonNotToInstall(kServerPackage); !reason.isEmpty()) {
            QSKIP(qPrintable(reason));
        }
        // Purging takes away the user the installation created (checked after the purge in cleanup()).
        m_userToBeRemoved = !userExists(QStringLiteral("nimbara-account"));
        install(kServerPackage);
        if (QTest::currentTestFailed()) {
            return;
        }

        QVERIFY(userExists(QStringLiteral("nimbara-account")));
        const QFileInfo configDir(QStringLiteral("/etc/nimbara-account-server"));
        QVERIFY(configDir.isDir());
        QCOMPARE(modeOf(configDir.filePath()), mode_t(0750));
        QCOMPARE(configDir.owner(), QStringLiteral("root"));
        QCOMPARE(configDir.group(), QStringLiteral("nimbara-account"));
        QVERIFY(!QFileInfo::exists(
            QStringLiteral("/etc/systemd/system/multi-user.target.wants/nimbara-account-server.service")));
        QVERIFY(QFileInfo::exists(QStringLiteral("/lib/systemd/system/nimbara-account-server.service")));

        const Run help = run(QStringLiteral("/usr/bin/nimbara-account-server"), {QStringLiteral("--help")});
        QVERIFY2(help.exitCode == 0 && help.output.contains(QLatin1String("usage: nimbara-account-server")),
                 qPrintable(describe(QStringLiteral("--help"), help)));
        QCOMPARE(run(QStringLiteral("/usr/bin/nimbara-account-server"), {}).exitCode, 2);

        QTemporaryDir state;
        const QString config = state.filePath(QStringLiteral("server.toml"));
        QFile file(config);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QStringLiteral("[server]\nlisten = \"127.0.0.1:0\"\n[storage]\nsqlite = \"%1\"\n"
                                  "[update]\ndirectory = \"%2\"\n")
                       .arg(state.filePath(QStringLiteral("db/accounts.db")),
                            state.filePath(QStringLiteral("updates")))
                       .toUtf8());
        file.close();
        QProcess server;
        server.setProcessChannelMode(QProcess::MergedChannels);
        server.start(QStringLiteral("/usr/bin/nimbara-account-server"),
                     {QStringLiteral("serve"), QStringLiteral("--config"), config});
        QString output;
        const bool settled = QTest::qWaitFor(
            [&] {
                output += QString::fromUtf8(server.readAll());
                return output.contains(QLatin1String("listening on")) ||
                       server.state() == QProcess::NotRunning;
            },
            kProgramTimeoutMs);
        QVERIFY2(settled && server.state() == QProcess::Running, qPrintable(output));
        QVERIFY(QFileInfo::exists(state.filePath(QStringLiteral("db/accounts.db"))));
        server.terminate();
        QVERIFY(server.waitForFinished(kProgramTimeoutMs));
    }

    // Runs after every test function, also a failed one: what this test installed is purged.
    void cleanup()
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DEBIAN_FRONTEND"), QStringLiteral("noninteractive"));
        const QStringList packages = std::exchange(m_installedHere, {});
        for (const QString& package : packages) {
            const Run purge = run(QStringLiteral("apt-get"),
                                  {QStringLiteral("purge"), QStringLiteral("-y"), QStringLiteral("-o"),
                                   QStringLiteral("DPkg::Lock::Timeout=120"), package},
                                  kAptTimeoutMs, env);
            QVERIFY2(!installed(package),
                     qPrintable(describe(QStringLiteral("apt-get purge ") + package, purge)));
            if (package == kClientPackage) {
                QVERIFY(!QFileInfo::exists(kProgramDir));
            }
        }
        if (std::exchange(m_userToBeRemoved, false)) {
            QVERIFY(!userExists(QStringLiteral("nimbara-account")));
        }
    }

private:
    bool m_userToBeRemoved = false;
};

QTEST_GUILESS_MAIN(TestPackage)
#include "test_package.moc"
