// Measures the inventory window against a database of many hosts: start-up to a shown window,
// one search keystroke, and a CSV import. Prints one line per figure.

#include "app.h"
#include "import/host_importer.h"
#include "storage/config_manager.h"
#include "storage/crypto_manager.h"
#include "storage/database_manager.h"
#include "ui/main_window.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QUuid>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

QList<Remote> makeHosts(int count)
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
        remote.group_id = QStringLiteral("default");
        remote.created_at = now;
        remote.updated_at = now;
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

} // namespace

int main(int argc, char* argv[])
{
    const int hostCount = argc > 1 ? std::max(1, atoi(argv[1])) : 10000;
    QTemporaryDir root;
    qputenv("HOME", root.filePath(QStringLiteral("home")).toLocal8Bit());
    qputenv("XDG_CONFIG_HOME", root.filePath(QStringLiteral("home/.config")).toLocal8Bit());
    qputenv("XDG_DATA_HOME", root.filePath(QStringLiteral("home/.local/share")).toLocal8Bit());
    QDir().mkpath(root.filePath(QStringLiteral("home")));

    QApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("NIMBARA"));
    QCoreApplication::setOrganizationName(QStringLiteral("NIMBARA"));

    {
        App seed;
        if (!seed.initialize() || !seed.database()->addRemotes(makeHosts(hostCount))) {
            std::fprintf(stderr, "could not prepare the database\n");
            return 1;
        }
    }

    QElapsedTimer timer;
    timer.start();
    auto app = std::make_unique<App>();
    if (!app->initialize()) {
        return 1;
    }
    auto window = std::make_unique<MainWindow>(app->database(), app->config(), app->crypto());
    window->show();
    QCoreApplication::processEvents();
    const double startupMs = static_cast<double>(timer.nsecsElapsed()) / 1e6;
    std::printf("hosts: %d\n", hostCount);
    std::printf("start-up to shown window: %.1f ms\n", startupMs);

    std::vector<double> listings;
    for (int round = 0; round < 5; ++round) {
        timer.restart();
        const QList<Remote> listed = app->database()->getAllRemotes(DatabaseManager::Passwords::Skip);
        listings.push_back(static_cast<double>(timer.nsecsElapsed()) / 1e6);
    }
    std::printf("listing all hosts without passwords: median %.1f ms\n", median(listings));

    auto* search = window->findChild<QLineEdit*>(QStringLiteral("assetSearch"));
    std::vector<double> keystrokes;
    const QString typed = QStringLiteral("srv-01");
    QString text;
    for (int round = 0; round < 3; ++round) {
        for (const QChar c : typed) {
            text.append(c);
            timer.restart();
            search->setText(text);
            QCoreApplication::processEvents();
            keystrokes.push_back(static_cast<double>(timer.nsecsElapsed()) / 1e6);
        }
        text.clear();
        timer.restart();
        search->clear();
        QCoreApplication::processEvents();
        keystrokes.push_back(static_cast<double>(timer.nsecsElapsed()) / 1e6);
    }
    std::printf("refresh per keystroke: median %.1f ms, worst %.1f ms\n", median(keystrokes),
                *std::max_element(keystrokes.begin(), keystrokes.end()));

    const QByteArray csv = makeCsv(hostCount);
    timer.restart();
    const HostImporter::Outcome outcome = HostImporter::run(app->database(), csv, QString(), false);
    std::printf("import of a %d-row CSV: %.1f ms (%d added, %d duplicates)\n", hostCount,
                static_cast<double>(timer.nsecsElapsed()) / 1e6, outcome.added, outcome.duplicates);

    window.reset();
    app.reset();
    return 0;
}
