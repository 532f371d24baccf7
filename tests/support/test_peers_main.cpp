// The Linux peers of the Windows build's tests, which run under Wine and cannot start Linux programs:
// an RDP shadow server on a private X display, and the account server with one member. It prints
// what a test needs as NIMBARA_PEER_*=value lines, then "READY", and serves a line protocol on a
// loopback control port:
//     paint RRGGBB   -> "ok"            fills the shared display with one colour
//     input          -> "b+1 b-1 k+113" buttons and keycodes the display received since the last ask
//     keycode XXXX   -> "113"           the display's keycode of an X keysym (hex)
// It ends when its standard input closes.

#include "support/account_test_server.h"
#include "support/rdp_test_server.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>

#include <cstdio>
#include <unistd.h>

namespace {

const QString kMemberEmail = QStringLiteral("wine.member@example.com");
const QString kMemberPassword = QStringLiteral("Wine pass &1234");

QByteArray answer(TestXDisplay& display, const QByteArray& line)
{
    const QList<QByteArray> words = line.trimmed().split(' ');
    if (words.size() == 2 && words.at(0) == "paint") {
        const QColor color(QLatin1Char('#') + QString::fromLatin1(words.at(1)));
        return color.isValid() && display.paint(color) ? "ok" : "error";
    }
    if (words.size() == 1 && words.at(0) == "input") {
        QByteArrayList seen;
        for (const TestXDisplay::InputSeen& input : display.takeInput()) {
            static constexpr const char* kNames[] = {"b+", "b-", "k+", "k-"};
            seen.append(kNames[input.type] + QByteArray::number(input.detail));
        }
        return seen.join(' ');
    }
    if (words.size() == 2 && words.at(0) == "keycode") {
        bool ok = false;
        const unsigned long keysym = words.at(1).toULong(&ok, 16);
        return ok ? QByteArray::number(display.keycode(keysym)) : "error";
    }
    return "error";
}

void print(const char* name, const QString& value)
{
    std::printf("NIMBARA_PEER_%s=%s\n", name, qPrintable(value));
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    ScopedEnvironment env;
    silenceFreeRdpLog(env);
    env.set("NIMBARA_TEST_CA_KEYS", QStringLiteral("rsa"));

    QString error;
    TestXDisplay display;
    TestRdpServer rdp;
    AccountTestServer account;
    if (!display.start(&error) || !display.paint(QColor(0, 160, 255)) ||
        !rdp.start(display.name(), {QStringLiteral("-auth")}, &error) || !account.start(&error) ||
        !account.addUser(kMemberEmail, QStringLiteral("Wine 成员"), kMemberPassword, &error)) {
        std::fprintf(stderr, "peers did not start: %s\n", qPrintable(error));
        return 1;
    }

    QTcpServer control;
    if (!control.listen(QHostAddress::LocalHost)) {
        std::fprintf(stderr, "no control port: %s\n", qPrintable(control.errorString()));
        return 1;
    }
    QObject::connect(&control, &QTcpServer::newConnection, &control, [&] {
        while (QTcpSocket* socket = control.nextPendingConnection()) {
            QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket, &display] {
                while (socket->canReadLine()) {
                    socket->write(answer(display, socket->readLine()) + '\n');
                }
            });
        }
    });

    print("CONTROL", QString::number(control.serverPort()));
    print("RDP_PORT", QString::number(rdp.port()));
    print("ACCOUNT_URL", account.baseUrl());
    print("ACCOUNT_CA", account.caCertificatePath());
    print("ACCOUNT_EMAIL", kMemberEmail);
    print("ACCOUNT_PASSWORD", kMemberPassword);
    std::printf("READY\n");
    std::fflush(stdout);

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &app, [&] {
        char buffer[256];
        if (::read(STDIN_FILENO, buffer, sizeof buffer) <= 0) {
            app.quit();
        }
    });
    return app.exec();
}
