// A program whose memory a test reads from outside: it opens the data folder given as its only
// argument with the master password read from the first line of standard input, shows a wall of every
// stored host and answers lines on standard input:
//   (start)  -> "connected" once every session is up
//   "lock"   -> locks the program, waits until no tile holds a password any more, "locked"
//   "quit"   -> exits
// Host passwords come from the database only.

#include "logger.h"
#include "platform/secure_memory.h"
#include "rdp/rdp_tile.h"
#include "storage/app_lock.h"
#include "storage/crypto_manager.h"
#include "storage/database_manager.h"
#include "support/fake_data_protection.h"
#include "wall/screen_wall_window.h"

#include <QApplication>
#include <QDir>
#include <QSocketNotifier>
#include <QTimer>

#include <cstdio>
#include <memory>
#include <unistd.h>

namespace {

constexpr int kPollMs = 50;

void say(const char* line)
{
    std::printf("%s\n", line);
    std::fflush(stdout);
}

// One line of standard input without its newline; false at its end.
bool readLine(QByteArray* line)
{
    line->clear();
    char c = 0;
    while (::read(STDIN_FILENO, &c, 1) == 1) {
        if (c == '\n') {
            return true;
        }
        line->append(c);
    }
    return !line->isEmpty();
}

bool anyTileHoldsPassword(const ScreenWallWindow& wall)
{
    const QList<RdpTile*> tiles = wall.tiles();
    return std::any_of(tiles.begin(), tiles.end(), [](const RdpTile* tile) { return tile->holdsPassword(); });
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    // Standard output carries the answers only.
    spdlog::set_level(spdlog::level::off);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <data folder>\n", argv[0]);
        return 2;
    }
    const QDir data(QString::fromLocal8Bit(argv[1]));

    QByteArray masterLine;
    if (!readLine(&masterLine)) {
        return 2;
    }
    QString master = QString::fromUtf8(masterLine);
    SecureMemory::wipe(masterLine);
    CryptoManager crypto(std::make_unique<FakeDataProtection>());
    const bool opened =
        crypto.initialize(data.filePath(QStringLiteral("credential.key"))) && crypto.unlock(master);
    SecureMemory::wipe(master);
    DatabaseManager database;
    if (!opened || !database.initialize(data.filePath(QStringLiteral("data.db")), &crypto)) {
        std::fprintf(stderr, "data folder does not open\n");
        return 1;
    }
    AppLock appLock(&crypto);

    auto* wall =
        new ScreenWallWindow(database.getAllRemotes(), QSize(1024, 768), 32, false, RdpEngine::FreeRdp);
    wall->setAppLock(&appLock);
    wall->setPasswordSource([&database](const QString& id) {
        std::optional<QString> password;
        if (std::optional<Remote> remote = database.getRemote(id)) {
            password = std::move(remote->password);
        }
        return password;
    });
    wall->show();

    QTimer poll;
    poll.setInterval(kPollMs);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (wall->connectedCount() == wall->tiles().size()) {
            poll.stop();
            say("connected");
        }
    });
    poll.start();

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        QByteArray line;
        if (!readLine(&line) || line == "quit") {
            input.setEnabled(false);
            wall->close();
            QTimer::singleShot(0, &app, &QCoreApplication::quit);
            return;
        }
        if (line == "lock") {
            appLock.lock();
            // The sessions' workers wipe their copies as soon as they wake up.
            auto* wiped = new QTimer(&app);
            wiped->setInterval(kPollMs);
            QObject::connect(wiped, &QTimer::timeout, [wall, wiped] {
                if (!anyTileHoldsPassword(*wall)) {
                    wiped->deleteLater();
                    say("locked");
                }
            });
            wiped->start();
        }
    });
    return app.exec();
}
