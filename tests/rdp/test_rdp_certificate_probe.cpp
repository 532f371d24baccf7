#include "rdp/rdp_certificate_probe.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <memory>

namespace {

using Outcome = RdpCertificateProbe::Outcome;

const QByteArray kRequest = QByteArray::fromHex("030000130ee000000000000100080003000000");

// An RDP server that reads the Connection Request and answers with the bytes given, one at a time when
// asked to, then leaves the connection open (or closes it).
class ScriptedServer : public QObject
{
public:
    ScriptedServer(QByteArray reply, bool bytewise, bool closeAfter)
        : m_reply(std::move(reply)), m_bytewise(bytewise), m_closeAfter(closeAfter)
    {
        m_server.listen(QHostAddress::LocalHost, 0);
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = m_server.nextPendingConnection()) {
                connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onRequest(socket); });
            }
        });
    }

    quint16 port() const { return m_server.serverPort(); }
    QByteArray request;

private:
    void onRequest(QTcpSocket* socket)
    {
        request += socket->readAll();
        if (request.size() < kRequest.size()) {
            return;
        }
        if (m_bytewise) {
            for (const char byte : std::as_const(m_reply)) {
                socket->write(&byte, 1);
                socket->flush();
                socket->waitForBytesWritten(100);
            }
        } else {
            socket->write(m_reply);
        }
        if (m_closeAfter) {
            socket->disconnectFromHost();
        }
    }

    QTcpServer m_server;
    QByteArray m_reply;
    bool m_bytewise;
    bool m_closeAfter;
};

// TPKT + X.224 Connection Confirm, with an RDP negotiation structure when type is not 0.
QByteArray confirm(quint8 type, quint32 value)
{
    if (type == 0) {
        return QByteArray::fromHex("0300000b06d00000123400");
    }
    QByteArray packet = QByteArray::fromHex("030000130ed000001234000000080000000000");
    packet[11] = static_cast<char>(type);
    for (int i = 0; i < 4; ++i) {
        packet[15 + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
    }
    return packet;
}

RdpCertificateProbe::Result run(RdpCertificateProbe& probe, quint16 port)
{
    QSignalSpy finished(&probe, &RdpCertificateProbe::finished);
    probe.start(QStringLiteral("127.0.0.1"), port);
    // The caller is still in start() then, and may not be ready for the answer.
    if (!finished.isEmpty()) {
        return {Outcome::Failed, {}, {}, {}, QStringLiteral("answered from within start()")};
    }
    if (!finished.wait(10000) || finished.size() != 1) {
        return {Outcome::Failed, {}, {}, {}, QStringLiteral("no single answer")};
    }
    return finished.first().at(0).value<RdpCertificateProbe::Result>();
}

} // namespace

class TestRdpCertificateProbe : public QObject
{
    Q_OBJECT

private slots:
    void negotiationAnswers_data();
    void negotiationAnswers();
    void closedPortFails();
    void silenceEndsByTheTimeout();
    void abortedProbeStaysSilent();
    void fingerprintNotation();
};

void TestRdpCertificateProbe::negotiationAnswers_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("bytewise");
    QTest::addColumn<bool>("closeAfter");
    QTest::addColumn<int>("outcome");
    QTest::addColumn<QString>("error");

    const int standard = static_cast<int>(Outcome::StandardSecurity);
    const int failed = static_cast<int>(Outcome::Failed);
    QTest::newRow("server chooses standard security")
        << confirm(0x02, 0x0) << false << false << standard << QString();
    QTest::newRow("answer in single bytes") << confirm(0x02, 0x0) << true << false << standard << QString();
    QTest::newRow("server before negotiation") << confirm(0, 0) << false << false << standard << QString();
    QTest::newRow("TLS not allowed") << confirm(0x03, 0x2) << false << false << standard << QString();
    QTest::newRow("no certificate on server")
        << confirm(0x03, 0x3) << false << false << standard << QString();
    QTest::newRow("other negotiation failure") << confirm(0x03, 0x5) << false << false << failed
                                               << QStringLiteral("RDP 服务器拒绝了安全协商（代码 5）");
    QTest::newRow("protocol not asked for") << confirm(0x02, 0x4) << false << false << failed
                                            << QStringLiteral("RDP 服务器选择了未请求的安全协议 0x4");
    QTest::newRow("not RDP") << QByteArray("SSH-2.0-OpenSSH_9.2\r\n") << false << false << failed
                             << QStringLiteral("对方不是 RDP 服务器（TPKT 版本 83）");
    QTest::newRow("length out of range") << QByteArray::fromHex("0300ffff") << false << false << failed
                                         << QStringLiteral("RDP 连接确认长度无效（65535 字节）");
    QTest::newRow("not a confirm") << QByteArray::fromHex("0300000b06f00000123400") << false << false
                                   << failed << QStringLiteral("RDP 服务器未确认连接（X.224 代码 0xf0）");
    QTest::newRow("hangs up mid-answer")
        << QByteArray::fromHex("030000130ed0") << false << true << failed << QString();
    QTest::newRow("hangs up instead of TLS") << confirm(0x02, 0x1) << false << true << failed << QString();
}

void TestRdpCertificateProbe::negotiationAnswers()
{
    QFETCH(QByteArray, reply);
    QFETCH(bool, bytewise);
    QFETCH(bool, closeAfter);
    QFETCH(int, outcome);
    QFETCH(QString, error);

    ScriptedServer server(reply, bytewise, closeAfter);
    RdpCertificateProbe probe;
    const RdpCertificateProbe::Result result = run(probe, server.port());
    QCOMPARE(server.request, kRequest);
    QCOMPARE(static_cast<int>(result.outcome), outcome);
    QVERIFY(result.fingerprint.isEmpty());
    if (outcome == static_cast<int>(Outcome::Failed)) {
        QVERIFY(!result.error.isEmpty());
    }
    if (!error.isEmpty()) {
        QCOMPARE(result.error, error);
    }
    QVERIFY(!probe.isRunning());
}

void TestRdpCertificateProbe::closedPortFails()
{
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    const quint16 port = server.serverPort();
    server.close();
    RdpCertificateProbe probe;
    const RdpCertificateProbe::Result result = run(probe, port);
    QVERIFY(result.outcome == Outcome::Failed);
    QVERIFY2(result.error.startsWith(QStringLiteral("无法连接 RDP 服务器：")), qPrintable(result.error));
}

void TestRdpCertificateProbe::silenceEndsByTheTimeout()
{
    ScriptedServer server(QByteArray(), false, false);
    RdpCertificateProbe probe;
    probe.setTimeout(300);
    const RdpCertificateProbe::Result result = run(probe, server.port());
    QVERIFY(result.outcome == Outcome::Failed);
    QCOMPARE(result.error, QStringLiteral("0.3 秒内未取得服务器证书"));
    QCOMPARE(server.request, kRequest);
}

void TestRdpCertificateProbe::abortedProbeStaysSilent()
{
    ScriptedServer server(confirm(0x02, 0x0), false, false);
    RdpCertificateProbe probe;
    probe.setTimeout(200);
    QSignalSpy finished(&probe, &RdpCertificateProbe::finished);
    probe.start(QStringLiteral("127.0.0.1"), server.port());
    QVERIFY(probe.isRunning());
    probe.abort();
    QVERIFY(!probe.isRunning());
    // Neither the server's answer nor the time-out is reported.
    QVERIFY(!finished.wait(500));

    // The probe can be used again.
    probe.start(QStringLiteral("127.0.0.1"), server.port());
    QVERIFY(finished.wait(5000));
    QVERIFY(finished.first().at(0).value<RdpCertificateProbe::Result>().outcome == Outcome::StandardSecurity);
}

void TestRdpCertificateProbe::fingerprintNotation()
{
    const QByteArray digest = QByteArray::fromHex("00ff10ab");
    QCOMPARE(RdpCertificateProbe::formatFingerprint(digest), QStringLiteral("00:ff:10:ab"));
    QCOMPARE(RdpCertificateProbe::normalizeFingerprint(QStringLiteral(" 00:FF:10:aB\n")),
             QStringLiteral("00ff10ab"));
    QCOMPARE(RdpCertificateProbe::normalizeFingerprint(QString()), QString());
}

QTEST_GUILESS_MAIN(TestRdpCertificateProbe)
#include "test_rdp_certificate_probe.moc"
