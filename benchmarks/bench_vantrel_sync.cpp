// Measures a full portal sync of a 1,000-server account: the real VantrelClient signs in by e-mail
// and reads the service index, 10 list pages of 100 and 1,000 detail pages (4 in flight) from the test
// suite's portal web site on loopback, which runs in a helper process (bench_vantrel_sync_peer) so
// its work does not count as the client's. Each round times login() to syncFinished, the CPU of both
// processes, and samples this process's memory (PSS and private pages from /proc/self/smaps_rollup,
// every 100 ms on the event loop) and the time spent in VantrelPageReader's pattern matching; VmHWM is
// read at the end. Prints one line per round and summary lines.
//
//     bench_vantrel_sync [rounds, default 3]

#include "network/vantrel_client.h"
#include "network/vantrel_page_reader.h"
#include "peer_process.h"
#include "process_figures.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QSignalSpy>
#include <QSslCertificate>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

using namespace ProcessFigures;

constexpr int kServers = 1000;
constexpr int kSyncTimeoutMs = 300000;
constexpr int kSampleIntervalMs = 100;
const QString kAccount = QStringLiteral("admin@example.com");
const QString kPassword = QStringLiteral("Secret-Pass&1");

// Runs the event loop as the program does until `signal` or `failed` comes. QTest::qWaitFor would
// not do: it sleeps 10 ms between rounds of events, which would stretch every round trip.
template <typename Signal> bool runUntil(VantrelClient* client, Signal signal)
{
    QEventLoop loop;
    bool ended = false;
    const auto quit = [&] {
        ended = true;
        loop.quit();
    };
    QObject::connect(client, signal, &loop, quit);
    QObject::connect(client, &VantrelClient::failed, &loop, quit);
    QTimer::singleShot(kSyncTimeoutMs, &loop, &QEventLoop::quit);
    loop.exec();
    return ended;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 3;
    QString error;
    PeerProcess portal;
    QList<QByteArray> fields;
    if (!portal.start(QStringLiteral(NIMBARA_BENCH_PEER), {QString::number(kServers)}, &fields, &error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    const QUrl baseUrl(QString::fromUtf8(fields.value(0)));
    const QList<QSslCertificate> ca = QSslCertificate::fromPath(QString::fromUtf8(fields.value(1)));
    const qint64 self = QCoreApplication::applicationPid();

    std::vector<double> seconds;
    std::vector<double> clientCpuS;
    std::vector<double> portalCpuS;
    std::vector<double> matching;
    std::vector<double> pssPeak;
    std::vector<double> privatePeak;
    std::printf("%d servers, 100 to a list page, e-mail sign-in; %d rounds\n", kServers, rounds);
    printSummary(QStringLiteral("vantrel sync load average at start"), loadAverage());
    const Memory start = memory(self);
    for (int round = 0; round < rounds; ++round) {
        VantrelClient client;
        client.setBaseUrl(baseUrl, ca);
        QSignalSpy prepared(&client, &VantrelClient::prepared);
        QSignalSpy failed(&client, &VantrelClient::failed);
        QSignalSpy finished(&client, &VantrelClient::syncFinished);
        client.prepareLogin(kAccount);
        if (!runUntil(&client, &VantrelClient::prepared) || prepared.isEmpty()) {
            std::fprintf(stderr, "sign-in page not read: %s\n",
                         failed.isEmpty() ? "no answer" : qPrintable(failed.constLast().at(0).toString()));
            return 1;
        }

        Memory peak = memory(self);
        QTimer sampler;
        QObject::connect(&sampler, &QTimer::timeout, [&] {
            const Memory now = memory(self);
            peak = {std::max(peak.pss, now.pss), std::max(peak.privateMiB, now.privateMiB)};
        });
        sampler.start(kSampleIntervalMs);
        const double clientCpu0 = cpuNanoseconds(self);
        const double portalCpu0 = cpuNanoseconds(portal.pid());
        VantrelPageReader::resetMatchingTime();
        const qint64 startNs = monotonicNs();
        client.login(kAccount, kPassword, QString());
        const bool ended = runUntil(&client, &VantrelClient::syncFinished);
        const double elapsed = static_cast<double>(monotonicNs() - startNs) / 1e9;
        const double matchingMs = static_cast<double>(VantrelPageReader::matchingNanoseconds()) / 1e6;
        const double clientCpu = (cpuNanoseconds(self) - clientCpu0) / 1e9;
        const double portalCpu = (cpuNanoseconds(portal.pid()) - portalCpu0) / 1e9;
        sampler.stop();
        const Memory now = memory(self);
        peak = {std::max(peak.pss, now.pss), std::max(peak.privateMiB, now.privateMiB)};
        const qsizetype delivered =
            finished.isEmpty() ? -1 : finished.constLast().at(3).value<QList<Remote>>().size();
        if (!ended || delivered != kServers) {
            std::fprintf(stderr, "sync did not deliver %d servers: %s\n", kServers,
                         failed.isEmpty() ? "no answer" : qPrintable(failed.constLast().at(0).toString()));
            return 1;
        }
        seconds.push_back(elapsed);
        clientCpuS.push_back(clientCpu);
        portalCpuS.push_back(portalCpu);
        matching.push_back(matchingMs);
        pssPeak.push_back(peak.pss);
        privatePeak.push_back(peak.privateMiB);
        std::printf("  round %d: %d servers in %6.2f s, CPU client %5.2f s portal %5.2f s, matching %6.1f "
                    "ms, PSS peak %6.1f MiB, "
                    "private peak %6.1f MiB (load %s)\n",
                    round + 1, kServers, elapsed, clientCpu, portalCpu, matchingMs, peak.pss, peak.privateMiB,
                    qPrintable(loadAverage()));
    }
    printSummary(QStringLiteral("vantrel sync of %1 servers (s)").arg(kServers), rangeOf(seconds, 2));
    printSummary(QStringLiteral("vantrel sync client CPU (s)"), rangeOf(clientCpuS, 2));
    printSummary(QStringLiteral("vantrel sync portal CPU (s)"), rangeOf(portalCpuS, 2));
    printSummary(QStringLiteral("vantrel sync pattern matching (ms)"), rangeOf(matching, 1));
    printSummary(QStringLiteral("vantrel sync PSS before / peak (MiB)"),
                 QStringLiteral("%1 / %2").arg(start.pss, 0, 'f', 1).arg(rangeOf(pssPeak, 1)));
    printSummary(QStringLiteral("vantrel sync private before / peak (MiB)"),
                 QStringLiteral("%1 / %2").arg(start.privateMiB, 0, 'f', 1).arg(rangeOf(privatePeak, 1)));
    printSummary(QStringLiteral("vantrel sync VmHWM (MiB)"), QString::number(peakResidentMiB(self), 'f', 1));
    return 0;
}
