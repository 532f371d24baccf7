// The portal side of bench_vantrel_sync, in a process of its own so that the measured process holds
// only the client: the test suite's portal web site (private CA) with one account of `servers`
// servers in one product group, 100 to a list page.
//
//     bench_vantrel_sync_peer [servers, default 1000]    prints "ready <site url> <CA file>"
//
// Ends when its standard input closes.

#include "support/test_certificate_authority.h"
#include "support/test_portal_site.h"

#include <QCoreApplication>

#include <cstdio>
#include <thread>
#include <unistd.h>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int servers = argc > 1 ? std::max(1, atoi(argv[1])) : 1000;
    QString error;
    TestCertificateAuthority ca;
    if (!ca.create(&error)) {
        std::fprintf(stderr, "CA: %s\n", qPrintable(error));
        return 1;
    }
    TestPortalSite site(ca);
    if (!site.start(&error)) {
        std::fprintf(stderr, "portal: %s\n", qPrintable(error));
        return 1;
    }
    site.setServers(TestPortalSite::generateServers(servers));
    std::printf("ready %s %s\n", qPrintable(site.baseUrl().toString()), qPrintable(ca.caCertificatePath()));
    std::fflush(stdout);
    std::thread([&app] {
        char byte = 0;
        while (::read(STDIN_FILENO, &byte, 1) > 0) {
        }
        QMetaObject::invokeMethod(&app, &QCoreApplication::quit, Qt::QueuedConnection);
    }).detach();
    return app.exec();
}
