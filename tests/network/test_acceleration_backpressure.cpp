#include "network/acceleration_manager.h"
#include "support/acceleration_test_bed.h"
#include "support/private_memory.h"

#include <QCryptographicHash>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

#include <memory>

namespace {

constexpr qint64 kTotal = 256LL * 1024 * 1024;
constexpr qint64 kChunk = 64 * 1024;
constexpr qint64 kReadPerTick = 256 * 1024;
// The tunnel, the relay and this host may each queue a few hundred KiB; a tunnel without
// back-pressure would hold most of the 256 MiB.
constexpr qint64 kAllowedGrowth = 8LL * 1024 * 1024;

// The i-th chunk of the stream: random bytes that differ from chunk to chunk, so a lost, repeated
// or reordered chunk changes the checksum.
QByteArray streamChunk(qint64 index)
{
    QByteArray chunk(kChunk, Qt::Uninitialized);
    QRandomGenerator generator(static_cast<quint32>(index) * 2654435761U + 1);
    generator.fillRange(reinterpret_cast<quint32*>(chunk.data()), kChunk / 4);
    return chunk;
}

// A host that sends kTotal bytes to the first connection, writing only while little is queued.
class StreamingHost
{
public:
    bool listen() { return m_server.listen(QHostAddress::LocalHost, 0); }
    quint16 port() const { return m_server.serverPort(); }
    QByteArray checksum() const { return m_sent.result(); }

    StreamingHost()
    {
        QObject::connect(&m_server, &QTcpServer::newConnection, &m_server, [this] {
            QTcpSocket* socket = m_server.nextPendingConnection();
            const auto fill = [this, socket] {
                while (m_next * kChunk < kTotal && socket->bytesToWrite() < 4 * kChunk) {
                    const QByteArray chunk = streamChunk(m_next++);
                    m_sent.addData(chunk);
                    socket->write(chunk);
                }
            };
            QObject::connect(socket, &QTcpSocket::bytesWritten, socket, fill);
            fill();
        });
    }

private:
    QTcpServer m_server;
    QCryptographicHash m_sent{QCryptographicHash::Sha256};
    qint64 m_next = 0;
};

} // namespace

// A tunnel between a fast host and a slow client holds only bounded buffers.
class TestAccelerationBackpressure : public QObject
{
    Q_OBJECT

private slots:
    void slowClientKeepsMemoryFlat()
    {
        const QString reason = TestCertificateAuthority::unavailableReason();
        if (!reason.isEmpty())
            QSKIP(qPrintable(reason));
        if (PrivateMemory::bytes() < 0)
            QSKIP("no /proc/self/smaps_rollup here");
        AccelerationTestBed bed(1);
        QString error;
        QVERIFY2(bed.start(&error), qPrintable(error));
        QVERIFY2(bed.enable(&error), qPrintable(error));
        StreamingHost host;
        QVERIFY(host.listen());

        Remote remote;
        remote.id = QStringLiteral("bulk");
        remote.name = QStringLiteral("bulk");
        remote.host = QStringLiteral("127.0.0.1");
        remote.port = host.port();
        const Remote routed = bed.manager().route(remote);
        QCOMPARE(routed.host, QStringLiteral("127.0.0.1"));

        QTcpSocket client;
        client.setReadBufferSize(kReadPerTick);
        QCryptographicHash received(QCryptographicHash::Sha256);
        qint64 receivedBytes = 0;
        qint64 baseline = -1;
        qint64 peak = 0;
        qint64 ticks = 0;
        // Reads at most kReadPerTick per timer tick, slower than the host writes.
        QTimer reader;
        reader.setInterval(1);
        QObject::connect(&reader, &QTimer::timeout, &client, [&] {
            const QByteArray bytes = client.read(kReadPerTick);
            received.addData(bytes);
            receivedBytes += bytes.size();
            // Measured once the whole path is set up and its buffers have filled.
            if (baseline < 0 && receivedBytes >= 8 * 1024 * 1024)
                baseline = PrivateMemory::bytes();
            else if (baseline >= 0 && ++ticks % 32 == 0)
                peak = std::max(peak, PrivateMemory::bytes());
        });
        client.connectToHost(routed.host, static_cast<quint16>(routed.port));
        reader.start();
        QVERIFY(QTest::qWaitFor([&] { return receivedBytes >= kTotal; }, 850000));
        reader.stop();
        peak = std::max(peak, PrivateMemory::bytes());

        qInfo("private memory: %lld KiB at the start, at most %lld KiB more", baseline / 1024,
              (peak - baseline) / 1024);
        QCOMPARE(receivedBytes, kTotal);
        QCOMPARE(received.result(), host.checksum());
        QVERIFY(baseline > 0);
        QVERIFY2(peak - baseline < kAllowedGrowth,
                 qPrintable(QStringLiteral("private memory grew by %1 KiB").arg((peak - baseline) / 1024)));
        QCOMPARE(bed.relay(0).connectLines().size(), 1);
    }
};

QTEST_GUILESS_MAIN(TestAccelerationBackpressure)
#include "test_acceleration_backpressure.moc"
