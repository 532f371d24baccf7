// The end-to-end encrypted team sync of 10,000 hosts shared with 50 members as the window runs it: the
// real sync controller, database, device key and account client of simulated computers (each with its
// own settings directory), against the real account server process over HTTPS on loopback with SQLite.
//
//  1. The Argon2id key derivation alone, as it opens an account's keys once per sign-in.
//  2. Owner edit: one host edited and the table refreshed, then from scheduleHostSyncUpload() (as the
//     window calls it) until the count of changes not uploaded yet is shown.
//     Owner upload: then from uploadHostSyncNow() until the controller has handled the
//     server's answer (syncSettled): the roster read, the full snapshot encrypted and signed, the team
//     snapshot encrypted, signed and its key sealed to 50 members, the PUT.
//  3. Member download + verify + merge into an empty database: a member's computer (keys already open),
//     from startHostSyncDownload(false) until syncSettled.
//  4. The same computer downloads again: every host is already there, so the merge compares them all.
//
// None of 2-4 derives a key (the account's keys are opened at sign-in). Each computer's window is the
// real host table (model, filter, view; offscreen), refreshed as the main window refreshes it when the
// sync changed the inventory, and painted by the event loop. During each operation a 10 ms timer on the
// GUI thread measures the longest time the thread did not run its event loop. The controller's busy
// indication (on while a worker job runs) splits the time into the GUI thread's part before the first
// job, the time worker jobs ran, and the rest (the GUI thread between and after the jobs, the network).
#include "process_figures.h"

#include "cloud/account_client.h"
#include "cloud/host_snapshot_codec.h"
#include "cloud/host_sync_controller.h"
#include "cloud/host_sync_ui.h"
#include "storage/app_config.h"
#include "storage/config_manager.h"
#include "storage/crypto_manager.h"
#include "storage/database_manager.h"
#include "support/account_test_server.h"
#include "support/fake_data_protection.h"
#include "support/sync_computer.h"

#include "ui/host_filter_model.h"
#include "ui/host_listing_reader.h"
#include "ui/host_table_model.h"
#include "ui/host_table_view.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>
#include <QUuid>

#include <sodium.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

namespace {

constexpr int kHosts = 10000;
constexpr int kMembers = 50;
constexpr int kGroups = 20;
constexpr int kDerivations = 7;
constexpr int kUploads = 5;
// Each download repetition is a new computer with an empty database that then downloads once more.
constexpr int kDownloads = 5;
constexpr int kWaitMs = 300000;
constexpr double kTargetMs = 2000;
const QString kPassword = QStringLiteral("bench account password 123");
const QString kPassphrase = QStringLiteral("bench sync passphrase 42");

double ms(qint64 ns)
{
    return static_cast<double>(ns) / 1e6;
}

// The window side: the real host table, refreshed as the main window does after a sync; records when
// worker jobs run, on the operation's clock.
class TimingSyncUi : public HostSyncUi
{
public:
    void attach(DatabaseManager* database, std::function<bool()> teamMember)
    {
        m_teamMember = std::move(teamMember);
        m_model = std::make_unique<HostTableModel>(database);
        m_filter = std::make_unique<HostFilterModel>(m_model.get());
        m_view = std::make_unique<HostTableView>(m_filter.get());
        m_view->resize(1200, 800);
        m_view->show();
        m_reader = std::make_unique<HostListingReader>(
            database, m_model.get(), [this](HostTableModel::Listing listing) { show(std::move(listing)); },
            [this] { refreshNow(); });
        refreshNow();
    }
    std::optional<QString> askSyncPassphrase(PassphraseMode, const QString&) override { return std::nullopt; }
    void showSyncMessage(MessageKind kind, const QString& title, const QString& text) override
    {
        if (kind == MessageKind::Warning) {
            warnings.append(title + QStringLiteral(": ") + text);
        }
    }
    void showSyncStatus(const QString&, int) override {}
    void showSyncState(const QString& text) override
    {
        syncState = text;
        if (stateShown) {
            stateShown();
        }
    }
    // As the main window after a sync wrote the inventory: the hosts read on a worker, then shown with
    // the filter and the columns fitted; the paint follows from the event loop.
    void reloadInventory() override
    {
        if (m_reader) {
            m_reader->read(m_teamMember());
        }
    }
    bool isReading() const { return m_reader && m_reader->isReading(); }
    // MainWindow::refresh after an edit: the one read of the hosts on the GUI thread.
    void refreshNow()
    {
        m_model->reload(m_teamMember());
        m_filter->setFilter(QString(), QString(), QString());
        m_view->fitColumns();
    }
    void setSyncBusy(bool busy) override
    {
        if (!clock || !clock->isValid()) {
            return;
        }
        const qint64 now = clock->nsecsElapsed();
        if (busy) {
            if (firstBusyNs < 0) {
                firstBusyNs = now;
            }
            busySinceNs = now;
        } else if (busySinceNs >= 0) {
            busyNs += now - busySinceNs;
            busySinceNs = -1;
        }
    }
    int shownRows() const { return m_filter ? m_filter->rowCount() : 0; }

    const QElapsedTimer* clock = nullptr;
    qint64 firstBusyNs = -1;
    qint64 busySinceNs = -1;
    qint64 busyNs = 0;
    int reloads = 0;
    QStringList warnings;
    QString syncState;
    std::function<void()> stateShown;

private:
    void show(HostTableModel::Listing listing)
    {
        m_model->show(std::move(listing));
        m_filter->setFilter(QString(), QString(), QString());
        m_view->fitColumns();
        ++reloads;
    }

    std::function<bool()> m_teamMember;
    std::unique_ptr<HostTableModel> m_model;
    std::unique_ptr<HostFilterModel> m_filter;
    std::unique_ptr<HostTableView> m_view;
    std::unique_ptr<HostListingReader> m_reader;
};

// One installation (see SyncComputer) whose window records the worker phase.
class Computer : public SyncComputer
{
public:
    explicit Computer(const AccountTestServer& server)
        : SyncComputer(server, std::make_unique<TimingSyncUi>()), ui(uiAs<TimingSyncUi>())
    {
        ui.attach(database.get(),
                  [this] { return account->isSignedIn() && !account->account().isMainAccount(); });
    }

    qsizetype hostCount()
    {
        return database->getAllRemotes(DatabaseManager::Passwords::Skip, DatabaseManager::Times::Skip).size();
    }

    TimingSyncUi& ui;
};

QString randomPassword()
{
    static const char alphabet[] = "ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz23456789!@#$%^&*-_";
    QString password;
    for (int i = 0; i < 16; ++i) {
        password += QLatin1Char(alphabet[randombytes_uniform(sizeof alphabet - 1)]);
    }
    return password;
}

// 20 groups of 500 hosts, each with its own address, a user name, a password and a remark.
bool fillInventory(DatabaseManager& db)
{
    static const QStringList sites = {QStringLiteral("bj"), QStringLiteral("sh"), QStringLiteral("gz"),
                                      QStringLiteral("sz"), QStringLiteral("cd")};
    static const QStringList roles = {QStringLiteral("web"),   QStringLiteral("db"),   QStringLiteral("app"),
                                      QStringLiteral("cache"), QStringLiteral("file"), QStringLiteral("dc")};
    static const QStringList users = {QStringLiteral("administrator"), QStringLiteral("ops"),
                                      QStringLiteral("deploy"), QStringLiteral("backup"),
                                      QStringLiteral("CORP\\svc-monitor")};
    const QDateTime created = QDateTime::currentDateTimeUtc().addDays(-30);
    QList<Group> groups;
    for (int g = 0; g < kGroups; ++g) {
        groups.append(Group{QUuid::createUuid().toString(QUuid::WithoutBraces),
                            QStringLiteral("机房 %1 · 区 %2").arg(sites[g % sites.size()]).arg(g + 1), g,
                            created});
    }
    QList<Remote> remotes;
    remotes.reserve(kHosts);
    for (int i = 0; i < kHosts; ++i) {
        Remote remote;
        remote.id = QUuid::createUuid().toString(QUuid::WithoutBraces);
        remote.name = QStringLiteral("%1-%2-%3")
                          .arg(sites[i % sites.size()], roles[i % roles.size()])
                          .arg(i + 1, 5, 10, QLatin1Char('0'));
        remote.host = QStringLiteral("10.%1.%2.%3").arg(i / 62500).arg((i / 250) % 250).arg(i % 250 + 1);
        remote.username = users[i % users.size()];
        remote.password = randomPassword();
        remote.remark =
            QStringLiteral("%1 号机柜 第 %2 层，负责人 王工，维保到 2027-06").arg(i % 40 + 1).arg(i % 12 + 1);
        remote.group_id = groups[i % kGroups].id;
        if (i % 10 == 0) {
            remote.protocol = QStringLiteral("ssh");
            remote.port = 22;
        }
        remote.access_scope = QStringLiteral("team"); // all of them: the largest team snapshot
        remote.created_at = created;
        remote.updated_at = created;
        remotes.append(remote);
    }
    return db.addGroupsAndRemotes(groups, remotes);
}

// The longest gap between ticks of a 10 ms timer of the GUI thread, from start() to stop().
class StallWatch
{
public:
    explicit StallWatch(const QElapsedTimer* clock) : m_clock(clock)
    {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(10);
        QObject::connect(&m_timer, &QTimer::timeout, [this] { tick(); });
    }
    void start()
    {
        m_last = m_clock->nsecsElapsed();
        m_longest = 0;
        m_timer.start();
    }
    qint64 stop()
    {
        tick();
        m_timer.stop();
        return m_longest;
    }

private:
    void tick()
    {
        const qint64 now = m_clock->nsecsElapsed();
        m_longest = std::max(m_longest, now - m_last);
        m_last = now;
    }

    const QElapsedTimer* m_clock;
    QTimer m_timer;
    qint64 m_last = 0;
    qint64 m_longest = 0;
};

struct Timing
{
    double totalMs = 0;
    double stallMs = 0;
    double beforeWorkerMs = 0;
    double workerMs = 0;
    double afterWorkerMs = 0;
    int reloads = 0;
};

// Runs `begin` and waits for the controller's syncSettled; false when it never settled or warned.
bool measure(Computer& computer, const std::function<void()>& begin, Timing* timing)
{
    computer.use();
    QElapsedTimer clock;
    computer.ui.clock = &clock;
    computer.ui.firstBusyNs = computer.ui.busySinceNs = -1;
    computer.ui.busyNs = 0;
    computer.ui.reloads = 0;
    computer.ui.warnings.clear();
    StallWatch stalls(&clock);
    QEventLoop loop;
    bool settled = false;
    const QMetaObject::Connection connection =
        QObject::connect(computer.sync.get(), &HostSyncController::syncSettled, &loop, [&] {
            settled = true;
            loop.quit();
        });
    QTimer::singleShot(kWaitMs, &loop, &QEventLoop::quit);

    clock.start();
    stalls.start();
    begin();
    if (!settled && computer.sync->isSyncInProgress()) {
        loop.exec();
    }
    // The table's refresh and its paint, which the window does right after: part of what the user waits
    // for.
    while (computer.ui.isReading()) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    QCoreApplication::processEvents();
    const qint64 total = clock.nsecsElapsed();
    const qint64 stall = stalls.stop();
    QObject::disconnect(connection);
    computer.ui.clock = nullptr;
    if (!settled || computer.ui.firstBusyNs < 0 || computer.ui.busySinceNs >= 0) {
        std::fprintf(stderr, "the operation did not run to its end (settled %d)\n", settled ? 1 : 0);
        return false;
    }
    if (!computer.ui.warnings.isEmpty()) {
        std::fprintf(stderr, "the sync warned: %s\n", qPrintable(computer.ui.warnings.join(u'\n')));
        return false;
    }
    timing->totalMs = ms(total);
    timing->stallMs = ms(stall);
    timing->beforeWorkerMs = ms(computer.ui.firstBusyNs);
    timing->workerMs = ms(computer.ui.busyNs);
    timing->afterWorkerMs = ms(total - computer.ui.firstBusyNs - computer.ui.busyNs);
    timing->reloads = computer.ui.reloads;
    return true;
}

// The sync's part of saving an edit in the window: from scheduleHostSyncUpload(), which the window calls
// after its refresh, until the count of changes not uploaded yet is shown.
bool measureEdit(Computer& computer, Timing* timing)
{
    computer.use();
    QElapsedTimer clock;
    StallWatch stalls(&clock);
    QEventLoop loop;
    computer.ui.syncState.clear();
    computer.ui.stateShown = [&] {
        if (!computer.ui.syncState.isEmpty()) {
            loop.quit();
        }
    };
    QTimer::singleShot(kWaitMs, &loop, &QEventLoop::quit);
    clock.start();
    stalls.start();
    computer.sync->scheduleHostSyncUpload();
    if (computer.ui.syncState.isEmpty()) {
        loop.exec();
    }
    QCoreApplication::processEvents(); // the status bar's paint
    timing->totalMs = ms(clock.nsecsElapsed());
    timing->stallMs = ms(stalls.stop());
    computer.ui.stateShown = nullptr;
    if (computer.ui.syncState != QStringLiteral("1 处更改尚未上传")) {
        std::fprintf(stderr, "the edit was not counted: \"%s\"\n", qPrintable(computer.ui.syncState));
        return false;
    }
    return true;
}

// Waits until `computer` is signed in and its sync (if any started) has settled.
bool waitSignedIn(Computer& computer)
{
    QEventLoop loop;
    QObject::connect(computer.account.get(), &AccountClient::accountChanged, &loop, &QEventLoop::quit);
    QObject::connect(computer.account.get(), &AccountClient::loginFailed, &loop, &QEventLoop::quit);
    QObject::connect(computer.sync.get(), &HostSyncController::syncSettled, &loop, &QEventLoop::quit);
    QTimer timeout;
    timeout.setSingleShot(true);
    QObject::connect(&timeout, &QTimer::timeout, &loop, [&] { loop.exit(1); });
    timeout.start(kWaitMs);
    while (!computer.account->isSignedIn() || computer.sync->isSyncInProgress()) {
        if (loop.exec() != 0) {
            return false;
        }
    }
    return true;
}

std::vector<double> field(const std::vector<Timing>& timings, double Timing::*member)
{
    std::vector<double> values;
    for (const Timing& timing : timings) {
        values.push_back(timing.*member);
    }
    return values;
}

QString medianAndRange(const std::vector<double>& values)
{
    return QStringLiteral("%1 (%2–%3)")
        .arg(ProcessFigures::percentile(values, 0.5), 0, 'f', 0)
        .arg(*std::min_element(values.begin(), values.end()), 0, 'f', 0)
        .arg(ProcessFigures::maximum(values), 0, 'f', 0);
}

// Prints every repetition and the summary lines of one operation; true when the target is met.
bool report(const QString& label, const std::vector<Timing>& timings)
{
    std::printf("\n%s\nrep   total ms  GUI before worker  worker  rest  longest GUI stall  table refreshes\n",
                qPrintable(label));
    std::vector<double> totals;
    for (size_t i = 0; i < timings.size(); ++i) {
        const Timing& t = timings[i];
        totals.push_back(t.totalMs);
        std::printf("%3zu %10.1f %18.1f %7.1f %5.1f %18.1f %16d\n", i + 1, t.totalMs, t.beforeWorkerMs,
                    t.workerMs, t.afterWorkerMs, t.stallMs, t.reloads);
    }
    const double netMedian = ProcessFigures::percentile(totals, 0.5);
    ProcessFigures::printSummary(label + QStringLiteral(" ms (target < 2000)"), medianAndRange(totals));
    ProcessFigures::printSummary(
        label + QStringLiteral(" ms, GUI before worker / worker jobs / rest"),
        QStringLiteral("%1 / %2 / %3")
            .arg(ProcessFigures::percentile(field(timings, &Timing::beforeWorkerMs), 0.5), 0, 'f', 0)
            .arg(ProcessFigures::percentile(field(timings, &Timing::workerMs), 0.5), 0, 'f', 0)
            .arg(ProcessFigures::percentile(field(timings, &Timing::afterWorkerMs), 0.5), 0, 'f', 0));
    ProcessFigures::printSummary(label + QStringLiteral(" longest GUI stall ms"),
                                 medianAndRange(field(timings, &Timing::stallMs)));
    return netMedian < kTargetMs;
}

} // namespace

int main(int argc, char* argv[])
{
    // The host table is real widgets; no display needed.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("NIMBARA"));
    QCoreApplication::setApplicationName(QStringLiteral("NIMBARA"));
    if (sodium_init() < 0) {
        return 1;
    }
    std::printf("load average at start: %s\n", qPrintable(ProcessFigures::loadAverage()));
    if (!AccountTestServer::unavailableReason().isEmpty()) {
        std::fprintf(stderr, "%s\n", qPrintable(AccountTestServer::unavailableReason()));
        return 1;
    }
    AccountTestServer server;
    QString error;
    if (!server.start(&error)) {
        std::fprintf(stderr, "the account server did not start: %s\n", qPrintable(error));
        return 1;
    }

    // 1. The derivation alone, the codec's parameters over the passphrase's UTF-8 bytes.
    std::vector<double> derivations;
    const QByteArray secret = kPassphrase.toUtf8();
    for (int i = 0; i < kDerivations; ++i) {
        unsigned char salt[crypto_pwhash_SALTBYTES];
        unsigned char key[32];
        randombytes_buf(salt, sizeof salt);
        QElapsedTimer clock;
        clock.start();
        const int rc =
            crypto_pwhash(key, sizeof key, secret.constData(), static_cast<unsigned long long>(secret.size()),
                          salt, 2, 67108864, crypto_pwhash_ALG_ARGON2ID13);
        derivations.push_back(ms(clock.nsecsElapsed()));
        if (rc != 0) {
            std::fprintf(stderr, "crypto_pwhash failed\n");
            return 1;
        }
    }
    std::printf("Argon2id derivations (ms):");
    for (const double value : derivations) {
        std::printf(" %.1f", value);
    }
    std::printf("\n");
    const double derivationMs = ProcessFigures::percentile(derivations, 0.5);
    ProcessFigures::printSummary(QStringLiteral("Argon2id derivation ms (opslimit 2, 64 MiB)"),
                                 medianAndRange(derivations));

    // The owner: 10,000 hosts, a new account with sync off until its team exists.
    Computer first(server);
    if (!fillInventory(*first.database) || first.hostCount() != kHosts ||
        !first.sync->storeSyncPassphrase(kPassphrase)) {
        std::fprintf(stderr, "cannot prepare the inventory\n");
        return 1;
    }
    const QString email = QStringLiteral("bench.sync@example.com");
    first.config.setSyncEnabled(false);
    first.account->registerAccount(QStringLiteral("Bench"), email, kPassword);
    if (!waitSignedIn(first)) {
        std::fprintf(stderr, "the owner did not sign up\n");
        return 1;
    }

    // 50 members, each signed in once with sync on, which makes its keys. The first kDownloads stay for
    // the download figures.
    std::vector<std::unique_ptr<Computer>> members;
    for (int i = 0; i < kMembers; ++i) {
        const QString memberEmail = QStringLiteral("bench.member.%1@example.com").arg(i + 1);
        if (!server.addUser(memberEmail, QStringLiteral("Member"), kPassword, &error) ||
            server.admin({QStringLiteral("team"), QStringLiteral("add-member"), QStringLiteral("--owner"),
                          email, QStringLiteral("--member"), memberEmail})
                    .exitCode != 0) {
            std::fprintf(stderr, "member %d: %s\n", i + 1, qPrintable(error));
            return 1;
        }
        auto member = std::make_unique<Computer>(server);
        if (!member->sync->storeSyncPassphrase(kPassphrase + QString::number(i))) {
            return 1;
        }
        member->account->login(memberEmail, kPassword);
        if (!waitSignedIn(*member) || member->sync->ownFingerprint().isEmpty()) {
            std::fprintf(stderr, "member %d has no keys\n", i + 1);
            return 1;
        }
        if (i < kDownloads) {
            members.push_back(std::move(member));
        }
    }

    // The owner turns sync on: the cloud is empty, so everything goes up (the warm-up, not counted).
    QElapsedTimer warmup;
    warmup.start();
    first.use();
    first.config.setSyncEnabled(true);
    Timing firstUpload;
    if (!measure(
            first, [&] { first.sync->startHostSyncDownload(false); }, &firstUpload) ||
        first.sync->cloudRevision() != 1 || first.sync->peerKeys().size() != kMembers) {
        std::fprintf(stderr, "the first upload did not happen (revision %lld)\n",
                     static_cast<long long>(first.sync->cloudRevision()));
        return 1;
    }
    std::printf("first upload with the owner's key derivation: %.1f ms\n", ms(warmup.nsecsElapsed()));

    // Where the GUI thread's time goes: reading the inventory as the controller does (every password
    // opened, every time read) and the digest over its payload, each on its own.
    std::vector<double> reads;
    std::vector<double> digests;
    for (int i = 0; i < 3; ++i) {
        QElapsedTimer clock;
        clock.start();
        const HostSnapshot snapshot{first.database->getGroups(), first.database->getAllRemotes()};
        reads.push_back(ms(clock.nsecsElapsed()));
        clock.start();
        const QString digest = snapshotDigest(snapshot);
        digests.push_back(ms(clock.nsecsElapsed()));
        if (digest.isEmpty() || snapshot.remotes.size() != kHosts) {
            return 1;
        }
    }
    ProcessFigures::printSummary(QStringLiteral("reading the 10,000 hosts from the database ms"),
                                 medianAndRange(reads));
    ProcessFigures::printSummary(QStringLiteral("snapshot digest (serialise + SHA-256) ms"),
                                 medianAndRange(digests));

    // 2. One host edited before each upload, so the inventory differs from the cloud copy.
    std::vector<Timing> edits;
    std::vector<Timing> uploads;
    const QString editedId = first.database->getAllRemotes().first().id;
    for (int i = 0; i < kUploads; ++i) {
        first.use();
        Remote edited = *first.database->getRemote(editedId);
        edited.remark = QStringLiteral("edited before upload %1").arg(i + 1);
        first.database->updateRemote(edited);
        first.ui.refreshNow();
        Timing edit;
        if (!measureEdit(first, &edit)) {
            return 1;
        }
        edits.push_back(edit);
        const qint64 revision = first.sync->cloudRevision();
        Timing timing;
        if (!measure(
                first, [&] { first.sync->uploadHostSyncNow(); }, &timing) ||
            first.sync->cloudRevision() != revision + 1) {
            std::fprintf(stderr, "upload %d failed\n", i + 1);
            return 1;
        }
        uploads.push_back(timing);
    }

    // 3 and 4. Each kept member's computer reads the team snapshot into its empty database, then again.
    std::vector<Timing> intoEmpty;
    std::vector<Timing> intoFull;
    for (int i = 0; i < kDownloads; ++i) {
        Computer& other = *members[static_cast<size_t>(i)];
        for (std::vector<Timing>* figures : {&intoEmpty, &intoFull}) {
            Timing timing;
            if (!measure(
                    other, [&] { other.sync->startHostSyncDownload(false); }, &timing) ||
                other.hostCount() != kHosts || other.ui.shownRows() != kHosts) {
                std::fprintf(stderr, "member download %d failed (%lld hosts, %d in the table)\n", i + 1,
                             static_cast<long long>(other.hostCount()), other.ui.shownRows());
                return 1;
            }
            figures->push_back(timing);
        }
    }

    std::printf("\n%d hosts in %d groups, all shared with %d members; no operation below derives a key "
                "(median derivation %.1f ms)\n",
                kHosts, kGroups, kMembers, derivationMs);
    std::printf("\nowner: an edit counted (scheduleHostSyncUpload until the count is shown)\n");
    for (size_t i = 0; i < edits.size(); ++i) {
        std::printf("%3zu  %9.1f  longest GUI stall %.1f\n", i + 1, edits[i].totalMs, edits[i].stallMs);
    }
    ProcessFigures::printSummary(QStringLiteral("owner: an edit counted ms"),
                                 medianAndRange(field(edits, &Timing::totalMs)));
    ProcessFigures::printSummary(QStringLiteral("owner: an edit counted longest GUI stall ms"),
                                 medianAndRange(field(edits, &Timing::stallMs)));
    bool met = ProcessFigures::maximum(field(edits, &Timing::stallMs)) < 100;
    met = report(QStringLiteral("owner: encrypt + sign + seal to 50 + upload"), uploads) && met;
    met =
        report(QStringLiteral("member: download + verify + merge into an empty database"), intoEmpty) && met;
    met = report(QStringLiteral("member: download + verify + merge into a full database"), intoFull) && met;
    ProcessFigures::printSummary(QStringLiteral("every target met"),
                                 met ? QStringLiteral("yes") : QStringLiteral("no"));
    ProcessFigures::printSummary(QStringLiteral("load average at the end"), ProcessFigures::loadAverage());
    return 0;
}
