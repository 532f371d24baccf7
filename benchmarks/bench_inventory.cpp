// Measures what a user with a large inventory meets: the start of the real program up to its mapped
// main window (10,000 hosts against an empty inventory), one keystroke in the search field, the
// listing read and a CSV import. Prints one summary line per figure.
//
// Start-up: the program is started (posix_spawn) with private home and data folders on a private Xvfb;
// the clock stops at the MapNotify of its top-level window, read from the X server by blocking on the
// connection (SubstructureNotify on the root window), so nothing polls while the program starts.

#include "app.h"
#include "import/host_importer.h"
#include "platform/platform_adapter.h"
#include "storage/config_manager.h"
#include "storage/database_manager.h"
#include "support/rdp_test_server.h"
#include "support/test_environment.h"
#include "ui/main_window.h"
#include "window_start.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QUuid>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
// Xlib's event names would shadow Qt's.
#undef KeyPress
#undef KeyRelease
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

#ifndef NIMBARA_PROGRAM
#error "NIMBARA_PROGRAM names the program to start"
#endif

namespace {

constexpr int kStartRounds = 5;
constexpr int kStartTimeoutMs = 60000;

QList<Remote> makeHosts(int count, const QString& groupId)
{
    QList<Remote> hosts;
    hosts.reserve(count);
    const QDateTime now = QDateTime::currentDateTimeUtc();
    for (int i = 0; i < count; ++i) {
        Remote remote;
        remote.id = QUuid::createUuid().toString(QUuid::WithoutBraces);
        remote.name = QStringLiteral("srv-%1").arg(i, 5, 10, QLatin1Char('0'));
        remote.host = QStringLiteral("10.%1.%2.%3").arg(i / 65536).arg((i / 256) % 256).arg(i % 256);
        remote.port = i % 5 == 0 ? 22 : 3389;
        remote.protocol = i % 5 == 0 ? QStringLiteral("ssh") : QStringLiteral("rdp");
        remote.username = QStringLiteral("admin");
        remote.password = QStringLiteral("Pw-%1").arg(i);
        remote.remark = i % 7 == 0 ? QStringLiteral("机房A 数据库") : QStringLiteral("办公室");
        remote.group_id = groupId;
        remote.created_at = now;
        // Stored as the program stores its own changes: local time without a zone.
        remote.updated_at = QDateTime::currentDateTime();
        hosts.append(remote);
    }
    return hosts;
}

QByteArray makeCsv(int count)
{
    QByteArray csv("IP,端口,用户名,密码,备注,名称\n");
    for (int i = 0; i < count; ++i) {
        csv += QStringLiteral("172.16.%1.%2,%3,root,Secret%4,导入测试,imp-%4\n")
                   .arg((i / 256) % 256)
                   .arg(i % 256)
                   .arg(i % 3 == 0 ? 22 : 3389)
                   .arg(i)
                   .toUtf8();
    }
    return csv;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double elapsedMs(const QElapsedTimer& timer)
{
    return static_cast<double>(timer.nsecsElapsed()) / 1e6;
}

// Writes the data files of a user with `hostCount` hosts below `root`, through the real start-up.
bool seedHome(const QString& root, int hostCount)
{
    ScopedEnvironment env;
    isolateProcess(env, root);
    App app;
    if (!app.initialize()) {
        return false;
    }
    // No master password: the start would otherwise stop at the offer to set one.
    app.config()->setMasterPasswordEnabled(false);
    if (!app.config()->save(app.platform()->configFilePath())) {
        return false;
    }
    const QList<Group> groups = app.database()->getGroups();
    return hostCount == 0 ||
           (!groups.isEmpty() && app.database()->addRemotes(makeHosts(hostCount, groups.first().id)));
}

void measureStartUp(const QString& emptyRoot, const QString& fullRoot, int hostCount)
{
    TestXDisplay xvfb;
    QString error;
    if (!xvfb.start(&error)) {
        std::printf("start-up: not measured (%s)\n", qPrintable(error));
        return;
    }
    Display* display = XOpenDisplay(xvfb.name().toLatin1().constData());
    if (display == nullptr) {
        std::printf("start-up: not measured (cannot open %s)\n", qPrintable(xvfb.name()));
        return;
    }
    XSelectInput(display, DefaultRootWindow(display), SubstructureNotifyMask);
    XSync(display, False);

    const auto environmentOf = [&](const QString& root) {
        QProcessEnvironment env = isolatedEnvironment(root);
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        env.insert(QStringLiteral("DISPLAY"), xvfb.name());
        return env;
    };
    const QProcessEnvironment emptyEnv = environmentOf(emptyRoot);
    const QProcessEnvironment fullEnv = environmentOf(fullRoot);

    // One start of each first, so both meet warm file caches; then the two alternate.
    timeToMappedWindow(display, NIMBARA_PROGRAM, emptyEnv);
    timeToMappedWindow(display, NIMBARA_PROGRAM, fullEnv);
    std::vector<double> empty;
    std::vector<double> full;
    for (int round = 0; round < kStartRounds; ++round) {
        const bool emptyFirst = round % 2 == 0;
        const double first = timeToMappedWindow(display, NIMBARA_PROGRAM, emptyFirst ? emptyEnv : fullEnv);
        const double second = timeToMappedWindow(display, NIMBARA_PROGRAM, emptyFirst ? fullEnv : emptyEnv);
        (emptyFirst ? empty : full).push_back(first);
        (emptyFirst ? full : empty).push_back(second);
    }
    XCloseDisplay(display);
    if (std::count(empty.begin(), empty.end(), -1.0) + std::count(full.begin(), full.end(), -1.0) > 0) {
        std::printf("start-up: not measured (a start did not map its window)\n");
        return;
    }
    const double emptyMedian = median(empty);
    const double fullMedian = median(full);
    std::printf("summary | inventory start-up to mapped window, empty | median %.1f ms (%.1f-%.1f)\n",
                emptyMedian, *std::min_element(empty.begin(), empty.end()),
                *std::max_element(empty.begin(), empty.end()));
    std::printf("summary | inventory start-up to mapped window, %d hosts | median %.1f ms (%.1f-%.1f), %.2f "
                "x empty (target 1.5 x)\n",
                hostCount, fullMedian, *std::min_element(full.begin(), full.end()),
                *std::max_element(full.begin(), full.end()), fullMedian / emptyMedian);
}

// In the process: the main window from its constructor to its first paint, for the part of the
// start-up that depends on the inventory.
double windowBuildMs(const QString& root)
{
    ScopedEnvironment env;
    isolateProcess(env, root);
    App app;
    if (!app.initialize()) {
        return -1;
    }
    QElapsedTimer timer;
    timer.start();
    MainWindow window(app.database(), app.config(), app.crypto());
    window.show();
    if (!QTest::qWaitForWindowExposed(&window)) {
        return -1;
    }
    window.repaint();
    return elapsedMs(timer);
}

void measureWindowBuild(const QString& emptyRoot, const QString& fullRoot, int hostCount)
{
    std::vector<double> empty;
    std::vector<double> full;
    for (int round = 0; round < kStartRounds; ++round) {
        empty.push_back(windowBuildMs(emptyRoot));
        full.push_back(windowBuildMs(fullRoot));
    }
    std::printf("summary | inventory main window built and painted (in process) | empty: median %.1f ms; %d "
                "hosts: median %.1f ms\n",
                median(empty), hostCount, median(full));
}

// Counts the paints the table's viewport receives.
class PaintCounter : public QObject
{
public:
    int paints = 0;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Paint) {
            ++paints;
        }
        return QObject::eventFilter(watched, event);
    }
};

// One key into the search field, then the event loop runs as the window's would, until no paint came
// for 50 ms (at most 1 s). `parts` receives the time of the key itself (filtering included), the time
// to the end of the last paint of the table, and the number of paints of the table's viewport.
double keystroke(PaintCounter* counter, const std::function<void()>& press, double parts[3])
{
    QElapsedTimer timer;
    timer.start();
    const int before = counter->paints;
    press();
    parts[0] = elapsedMs(timer);
    double lastPaint = parts[0];
    int seen = counter->paints;
    while (elapsedMs(timer) - lastPaint < 50 && elapsedMs(timer) < 1000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        if (counter->paints != seen) {
            seen = counter->paints;
            lastPaint = elapsedMs(timer);
        }
    }
    parts[1] = lastPaint;
    parts[2] = counter->paints - before;
    return lastPaint;
}

void measureInProcess(const QString& fullRoot, int hostCount)
{
    ScopedEnvironment env;
    isolateProcess(env, fullRoot);
    auto app = std::make_unique<App>();
    if (!app->initialize()) {
        std::printf("keystroke: not measured (start-up failed)\n");
        return;
    }

    std::vector<double> listings;
    for (int round = 0; round < 9; ++round) {
        QElapsedTimer timer;
        timer.start();
        const qsizetype listed =
            app->database()
                ->getAllRemotes(DatabaseManager::Passwords::Skip, DatabaseManager::Times::Skip)
                .size();
        listings.push_back(elapsedMs(timer));
        if (listed != hostCount) {
            std::printf("listing: %lld hosts instead of %d\n", static_cast<long long>(listed), hostCount);
        }
    }
    std::printf("summary | inventory listing %d hosts (no passwords, no times) | median %.1f ms\n", hostCount,
                median(listings));

    auto window = std::make_unique<MainWindow>(app->database(), app->config(), app->crypto());
    window->show();
    if (!QTest::qWaitForWindowExposed(window.get())) {
        std::printf("keystroke: not measured (no window)\n");
        return;
    }
    auto* search = window->findChild<QLineEdit*>(QStringLiteral("assetSearch"));
    auto* table = window->findChild<QTableView*>(QStringLiteral("hostTable"));
    search->setFocus();
    PaintCounter counter;
    table->viewport()->installEventFilter(&counter);
    QCoreApplication::processEvents();

    // 21 keys: typing narrows the list to a few rows, deleting widens it to all again, Chinese text
    // matches every seventh remark, an address prefix matches all.
    std::vector<std::function<void()>> keys;
    for (const QChar c : QStringLiteral("srv-01")) {
        keys.emplace_back([search, c] { QTest::keyClick(search, c.toLatin1()); });
    }
    for (int i = 0; i < 6; ++i) {
        keys.emplace_back([search] { QTest::keyClick(search, Qt::Key_Backspace); });
    }
    for (const QChar c : QStringLiteral("数据")) {
        keys.emplace_back([search, c] {
            QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(c));
            QCoreApplication::sendEvent(search, &press);
        });
    }
    for (int i = 0; i < 2; ++i) {
        keys.emplace_back([search] { QTest::keyClick(search, Qt::Key_Backspace); });
    }
    for (const QChar c : QStringLiteral("10.0.")) {
        keys.emplace_back([search, c] { QTest::keyClick(search, c.toLatin1()); });
    }
    std::vector<double> times;
    std::vector<double> parts[3];
    for (const auto& key : keys) {
        double part[3] = {0, 0, 0};
        times.push_back(keystroke(&counter, key, part));
        for (int i = 0; i < 3; ++i) {
            parts[i].push_back(part[i]);
        }
    }
    std::printf("summary | inventory search keystroke to repainted table (median of %zu) | %.2f ms, worst "
                "%.2f ms (target < 20 ms)\n",
                times.size(), median(times), *std::max_element(times.begin(), times.end()));
    std::printf("summary | inventory keystroke parts | the key and the filter %.2f ms (median)\n",
                median(parts[0]));
    std::printf("summary | inventory paints of the table per keystroke | median %.0f, most %.0f\n",
                median(parts[2]), *std::max_element(parts[2].begin(), parts[2].end()));
    if (search->text() != QStringLiteral("10.0.")) {
        std::printf("  (the keys typed \"%s\", not \"10.0.\")\n", qPrintable(search->text()));
    }
    window.reset();

    const QByteArray csv = makeCsv(hostCount);
    QElapsedTimer timer;
    timer.start();
    const HostImporter::Outcome outcome = HostImporter::run(app->database(), csv, QString(), false);
    std::printf("summary | inventory import of a %d-row CSV | %.1f ms (%d added, %d duplicates)\n", hostCount,
                elapsedMs(timer), outcome.added, outcome.duplicates);
}

} // namespace

int main(int argc, char* argv[])
{
    const int hostCount = argc > 1 ? std::max(1, atoi(argv[1])) : 10000;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("NIMBARA"));
    QCoreApplication::setOrganizationName(QStringLiteral("NIMBARA"));

    QTemporaryDir emptyRoot;
    QTemporaryDir fullRoot;
    if (!seedHome(emptyRoot.path(), 0) || !seedHome(fullRoot.path(), hostCount)) {
        std::fprintf(stderr, "could not prepare the data files\n");
        return 1;
    }
    std::printf("hosts: %d\n", hostCount);
    measureStartUp(emptyRoot.path(), fullRoot.path(), hostCount);
    measureWindowBuild(emptyRoot.path(), fullRoot.path(), hostCount);
    measureInProcess(fullRoot.path(), hostCount);
    return 0;
}
