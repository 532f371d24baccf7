// What the start-up update check costs a user: the real program from its start to its mapped main
// window with the account service answering (no newer version announced), refusing connections, and
// silent (accepting, never answering), plus the round trip of the check alone. Prints one summary
// line per figure.
//
// The service is the real account server over HTTPS with a private CA, named in each home's
// config.toml exactly as a user names a self-hosted service.

#include "cloud/service_endpoint.h"
#include "cloud/update_checker.h"
#include "cloud/update_prompter.h"
#include "platform/process_launcher.h"
#include "platform/update_installer.h"
#include "support/account_test_server.h"
#include "support/rdp_test_server.h"
#include "support/test_environment.h"
#include "window_start.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <X11/Xlib.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#ifndef NIMBARA_PROGRAM
#error "NIMBARA_PROGRAM names the program to start"
#endif

namespace {

constexpr int kRounds = 5;
constexpr int kSilentRounds = 3;
constexpr int kRoundTrips = 20;

// Never asked: nothing newer is announced.
class NoPrompter : public IUpdatePrompter
{
public:
    bool confirmUpdate(const QString&, const QString&) override { return false; }
    bool offerRetry(const QString&) override { return false; }
    bool offerManualInstall(const QString&, bool) override { return false; }
    void beginDownload(const QString&, std::function<void()>) override {}
    void setDownloadProgress(int) override {}
    void endDownload() override {}
};

// Accepts connections (in its own thread's stead: the kernel's backlog) and never answers.
class SilentServer : public QTcpServer
{
public:
    SilentServer() { listen(QHostAddress::LocalHost); }
};

struct Figures
{
    std::vector<double> values;
    void print(const char* name) const
    {
        std::vector<double> sorted = values;
        std::sort(sorted.begin(), sorted.end());
        if (sorted.empty() || sorted.front() < 0) {
            std::printf("summary | %s | not measured (a start did not map its window)\n", name);
            return;
        }
        std::printf("summary | %s | median %.1f ms (%.1f-%.1f)\n", name, sorted[sorted.size() / 2],
                    sorted.front(), sorted.back());
    }
};

// A home whose config.toml points the program at `serviceUrl`.
QProcessEnvironment homeFor(const QString& root, const QString& serviceUrl, const QString& caPath,
                            const QString& display)
{
    const QString data = root + QStringLiteral("/home/.local/share/NIMBARA/NIMBARA");
    QDir().mkpath(data);
    // No master password: the first start would otherwise stop at the offer to set one.
    QString config =
        QStringLiteral("[security]\nmaster_password = false\n\n[account]\nservice_url = \"%1\"\n")
            .arg(serviceUrl);
    if (!caPath.isEmpty())
        config += QStringLiteral("ca_certificates = \"%1\"\n").arg(caPath);
    writeFile(data + QStringLiteral("/config.toml"), config.toUtf8());
    QProcessEnvironment env = isolatedEnvironment(root);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    env.insert(QStringLiteral("DISPLAY"), display);
    return env;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication application(argc, argv);

    AccountTestServer server;
    QString error;
    if (!server.start(&error)) {
        std::printf("not measured: %s\n", qPrintable(error));
        return 1;
    }
    TestXDisplay xvfb;
    if (!xvfb.start(&error)) {
        std::printf("not measured: %s\n", qPrintable(error));
        return 1;
    }
    Display* display = XOpenDisplay(xvfb.name().toLatin1().constData());
    if (display == nullptr) {
        std::printf("not measured: cannot open %s\n", qPrintable(xvfb.name()));
        return 1;
    }
    XSelectInput(display, DefaultRootWindow(display), SubstructureNotifyMask);
    XSync(display, False);

    // The round trip of the check alone, from a fresh client as at start-up (TLS handshake included).
    // The first check of a process also loads the TLS library and the trusted roots, as at start-up.
    {
        NoPrompter prompter;
        SystemProcessLauncher launcher;
        UpdateInstaller installer(launcher);
        QElapsedTimer first;
        first.start();
        UpdateChecker checker(
            ServiceEndpoint{server.baseUrl(), readCaCertificates(server.caCertificatePath(), &error), true},
            QStringLiteral("1.2.0"), prompter, installer);
        checker.fetchUpdateInfo();
        std::printf("summary | update check, first in a process (roots loaded, TLS started) | %.1f ms\n",
                    static_cast<double>(first.nsecsElapsed()) / 1e6);
        Figures trips;
        for (int i = 0; i < kRoundTrips; ++i) {
            QElapsedTimer timer;
            timer.start();
            checker.fetchUpdateInfo();
            trips.values.push_back(static_cast<double>(timer.nsecsElapsed()) / 1e6);
        }
        trips.print("update check round trip (HTTPS, fresh connection)");
    }

    QTemporaryDir upRoot;
    QTemporaryDir refusedRoot;
    QTemporaryDir silentRoot;
    const quint16 closedPort = freeLoopbackPort();
    SilentServer silent;
    const QProcessEnvironment upEnv =
        homeFor(upRoot.path(), server.baseUrl(), server.caCertificatePath(), xvfb.name());
    // The same private CA in every home, so the three differ only in what the service does.
    const QProcessEnvironment refusedEnv =
        homeFor(refusedRoot.path(), QStringLiteral("https://127.0.0.1:%1").arg(closedPort),
                server.caCertificatePath(), xvfb.name());
    const QProcessEnvironment silentEnv =
        homeFor(silentRoot.path(), QStringLiteral("https://127.0.0.1:%1").arg(silent.serverPort()),
                server.caCertificatePath(), xvfb.name());

    // One start each first (data files created, caches warm); then they alternate.
    timeToMappedWindow(display, NIMBARA_PROGRAM, upEnv);
    timeToMappedWindow(display, NIMBARA_PROGRAM, refusedEnv);
    Figures up;
    Figures refused;
    for (int round = 0; round < kRounds; ++round) {
        const bool upFirst = round % 2 == 0;
        const double first = timeToMappedWindow(display, NIMBARA_PROGRAM, upFirst ? upEnv : refusedEnv);
        const double second = timeToMappedWindow(display, NIMBARA_PROGRAM, upFirst ? refusedEnv : upEnv);
        (upFirst ? up : refused).values.push_back(first);
        (upFirst ? refused : up).values.push_back(second);
    }
    Figures quiet;
    for (int round = 0; round < kSilentRounds; ++round)
        quiet.values.push_back(timeToMappedWindow(display, NIMBARA_PROGRAM, silentEnv));
    XCloseDisplay(display);

    up.print("start-up to mapped window, service answers (nothing newer)");
    refused.print("start-up to mapped window, service refuses connections");
    quiet.print("start-up to mapped window, service silent (8 s limit)");
    return 0;
}
