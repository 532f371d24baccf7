#include "rdp/freerdp_clipboard.h"
#include "rdp/freerdp_session.h"
#include "rdp/rdp_desktop_fitter.h"
#include "rdp/rdp_tile.h"

#include "support/rdp_channel_server.h"
#include "support/rdp_test_server.h"
#include "support/test_environment.h"

#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QFile>
#include <QMimeData>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include <freerdp/channels/rdpdr.h>

namespace {

constexpr int kPeerTimeoutMs = 20000;

Remote makeRemote(quint16 port)
{
    Remote remote;
    remote.id = QStringLiteral("remote-9");
    remote.name = QStringLiteral("机房-09");
    remote.host = QStringLiteral("127.0.0.1");
    remote.port = port;
    remote.username = QStringLiteral("admin");
    remote.password = QStringLiteral("Passw0rd!");
    return remote;
}

QImage pattern(QSize size)
{
    QImage image(size, QImage::Format_RGB32);
    for (int y = 0; y < size.height(); ++y) {
        for (int x = 0; x < size.width(); ++x) {
            image.setPixel(x, y, qRgb(x * 7 % 256, y * 13 % 256, (x + y) % 256));
        }
    }
    return image;
}

} // namespace

// Embedded sessions against a real server that offers the clipboard, drive, sound and display-control
// channels.
class TestFreeRdpChannels : public QObject
{
    Q_OBJECT

    QTemporaryDir m_root;
    ScopedEnvironment m_env;
    TestChannelRdpServer m_server;

    static QClipboard* clipboard() { return QGuiApplication::clipboard(); }

    bool connectWith(FreeRdpSession& session, const RdpSessionOptions& options)
    {
        QSignalSpy connected(&session, &FreeRdpSession::connected);
        session.setOptions(options);
        return session.start(makeRemote(m_server.port()), QSize(1024, 768), true, false, 32) &&
               connected.wait(kPeerTimeoutMs);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_root.isValid());
        isolateProcess(m_env, m_root.path());
        silenceFreeRdpLog(m_env);
        QString error;
        QVERIFY2(m_server.start(&error), qPrintable(error));
    }

    void conversionsKeepWhatTheyCarry_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("windows");
        QTest::newRow("lines") << QStringLiteral("第一行\n第二行\n")
                               << QStringLiteral("第一行\r\n第二行\r\n");
        QTest::newRow("already crlf") << QStringLiteral("a\r\nb") << QStringLiteral("a\r\nb");
        QTest::newRow("empty") << QString() << QString();
    }

    // Text and pictures as the channel carries them, and the file names the remote side may give.
    void conversionsKeepWhatTheyCarry()
    {
        QFETCH(QString, text);
        QFETCH(QString, windows);
        const QByteArray unicode = FreeRdpClipboard::textToUnicode(text);
        QCOMPARE(unicode.size(), windows.size() * 2 + 2);
        QCOMPARE(unicode.right(2), QByteArray(2, '\0'));
        QCOMPARE(FreeRdpClipboard::unicodeToText(unicode),
                 QString(text).replace(QStringLiteral("\r\n"), "\n"));
        // What follows the terminator, and an odd byte, is not text.
        QCOMPARE(FreeRdpClipboard::unicodeToText(unicode + QByteArray("x\0y\0z", 5)),
                 QString(text).replace(QStringLiteral("\r\n"), "\n"));

        const QImage image = pattern(QSize(37, 21));
        const QImage back = FreeRdpClipboard::dibToImage(FreeRdpClipboard::imageToDib(image));
        QCOMPARE(back.convertToFormat(QImage::Format_RGB32), image);
        // Broken pictures are refused, never read past their end.
        QByteArray dib = FreeRdpClipboard::imageToDib(image);
        QVERIFY(FreeRdpClipboard::dibToImage(dib.left(39)).isNull());
        dib[0] = char(0xFF); // header larger than the data
        QVERIFY(FreeRdpClipboard::dibToImage(dib).isNull());

        QCOMPARE(FreeRdpClipboard::safeFileName(QStringLiteral(" 报告.txt ")), QStringLiteral("报告.txt"));
        for (const QString& bad : {QStringLiteral(".."), QStringLiteral("a/b"), QStringLiteral("dir\\x.txt"),
                                   QStringLiteral("c:x"), QStringLiteral("\t"), QString()}) {
            QVERIFY2(FreeRdpClipboard::safeFileName(bad).isEmpty(), qPrintable(bad));
        }
    }

    // Text, a picture and a file go both ways while the session is the active one; a session that is
    // not active takes nothing from the local clipboard and gives it nothing. After a network drop the
    // channel works again.
    void clipboardGoesBothWays()
    {
        const QString local = m_root.filePath(QStringLiteral("local"));
        QVERIFY(QDir().mkpath(local));
        const QString localFile = QDir(local).filePath(QStringLiteral("清单.csv"));
        writeFile(localFile, QByteArray("host,port\n10.0.0.1,3389\n").repeated(5000));

        RdpSessionOptions options;
        options.reconnectTimes = 2;
        FreeRdpSession active;
        FreeRdpSession idle;
        active.setClipboardActive(true);
        QVERIFY(connectWith(idle, options));
        QVERIFY(connectWith(active, options));
        QSignalSpy received(active.clipboard(), &FreeRdpClipboard::received);
        QSignalSpy failed(active.clipboard(), &FreeRdpClipboard::failed);

        m_server.setRemoteText(QStringLiteral("远程日志 line1\r\nline2"));
        QTRY_COMPARE_WITH_TIMEOUT(clipboard()->text(), QStringLiteral("远程日志 line1\nline2"),
                                  kPeerTimeoutMs);

        // Each session announced its clipboard once when the channel came up.
        QTRY_VERIFY_WITH_TIMEOUT(m_server.clientFormatListCount() >= 2, kPeerTimeoutMs);
        const int listsBefore = m_server.clientFormatListCount();
        clipboard()->setText(QStringLiteral("systemctl restart nginx\nexit"));
        QTRY_COMPARE_WITH_TIMEOUT(m_server.clientText(), QStringLiteral("systemctl restart nginx\r\nexit"),
                                  kPeerTimeoutMs);
        QCOMPARE(m_server.clientFormatListCount(), listsBefore + 1); // from the active session only

        const QImage picture = pattern(QSize(64, 48));
        clipboard()->setImage(picture);
        QTRY_VERIFY_WITH_TIMEOUT(!m_server.clientImage().isNull(), kPeerTimeoutMs);
        QCOMPARE(m_server.clientImage().convertToFormat(QImage::Format_RGB32), picture);
        m_server.setRemoteImage(picture.mirrored());
        QTRY_COMPARE_WITH_TIMEOUT(clipboard()->image().convertToFormat(QImage::Format_RGB32),
                                  picture.mirrored(), kPeerTimeoutMs);

        auto* files = new QMimeData;
        files->setUrls({QUrl::fromLocalFile(localFile)});
        clipboard()->setMimeData(files);
        QTRY_COMPARE_WITH_TIMEOUT(m_server.clientFiles().size(), 1, kPeerTimeoutMs);
        QCOMPARE(m_server.clientFiles().first().first, QStringLiteral("清单.csv"));
        QCOMPARE(m_server.clientFiles().first().second, readFile(localFile));

        const QByteArray remoteContents = QByteArray("2026-12-10 error: disk full\n").repeated(9000);
        const qsizetype receivedBefore = received.size();
        // Folders, names that would leave the folder, and a name given twice are not taken.
        m_server.setRemoteFiles({{QStringLiteral("logs"), {}, true},
                                 {QStringLiteral("..\\escape.txt"), "x", false},
                                 {QStringLiteral("system.log"), remoteContents, false},
                                 {QStringLiteral("SYSTEM.LOG"), "twice", false}});
        QTRY_VERIFY_WITH_TIMEOUT(received.size() > receivedBefore || !failed.isEmpty(), kPeerTimeoutMs);
        QVERIFY2(failed.isEmpty(), qPrintable(failed.value(0).value(0).toString()));
        const QList<QUrl> urls = clipboard()->mimeData()->urls();
        QCOMPARE(urls.size(), 1);
        QCOMPARE(QFileInfo(urls.first().toLocalFile()).fileName(), QStringLiteral("system.log"));
        QCOMPARE(readFile(urls.first().toLocalFile()), remoteContents);
        QCOMPARE(QFile::permissions(urls.first().toLocalFile()) & 0x0077, QFileDevice::Permissions());

        // An answer that arrives after a newer announcement belongs to the older one, as after a reconnect
        // when the desktop announces again while the first request is still due.
        m_server.holdDataAnswers(true);
        m_server.setRemoteFile(QStringLiteral("old.txt"), "old");
        QTRY_COMPARE_WITH_TIMEOUT(m_server.heldDataRequests(), 1, kPeerTimeoutMs);
        m_server.setRemoteText(QStringLiteral("the newer one"));
        QTRY_COMPARE_WITH_TIMEOUT(m_server.heldDataRequests(), 2, kPeerTimeoutMs);
        m_server.holdDataAnswers(false); // the first is refused: the desktop no longer has files
        QTRY_COMPARE_WITH_TIMEOUT(clipboard()->text(), QStringLiteral("the newer one"), kPeerTimeoutMs);

        // Switching: the idle session becomes the active one and hands over what is local now.
        active.setClipboardActive(false);
        clipboard()->setText(QStringLiteral("only for the idle one"));
        idle.setClipboardActive(true);
        QTRY_COMPARE_WITH_TIMEOUT(m_server.clientText(), QStringLiteral("only for the idle one"),
                                  kPeerTimeoutMs);
        idle.setClipboardActive(false);
        active.setClipboardActive(true);

        // The channel comes back with the connection.
        QSignalSpy reconnected(&active, &FreeRdpSession::reconnected);
        m_server.disconnectAll();
        QTRY_COMPARE_WITH_TIMEOUT(reconnected.size(), 1, kPeerTimeoutMs);
        m_server.setRemoteText(QStringLiteral("after the drop"));
        QTRY_COMPARE_WITH_TIMEOUT(clipboard()->text(), QStringLiteral("after the drop"), kPeerTimeoutMs);
        QVERIFY(received.size() >= 4);
    }

    // Shared folders appear as drives the server can list, and sound played on the server arrives.
    void drivesAndSoundReachTheServer()
    {
        const QString folder = m_root.filePath(QStringLiteral("Scripts"));
        QVERIFY(QDir().mkpath(folder));
        writeFile(QDir(folder).filePath(QStringLiteral("deploy.ps1")), "Write-Host ok");
        writeFile(QDir(folder).filePath(QStringLiteral("hosts.txt")), "10.0.0.1");

        RdpSessionOptions options;
        options.clipboard = false;
        options.printers = false;
        options.audio = AudioMode::Local;
        options.driveFolders = {folder, m_root.filePath(QStringLiteral("missing"))};
        FreeRdpSession session;
        QVERIFY(connectWith(session, options));

        QTRY_VERIFY_WITH_TIMEOUT(!m_server.devices().isEmpty(), kPeerTimeoutMs);
        const QList<TestChannelRdpServer::Device> devices = m_server.devices();
        QCOMPARE(devices.size(), 1); // the missing folder is skipped
        QCOMPARE(devices.first().type, quint32(RDPDR_DTYP_FILESYSTEM));
        QCOMPARE(devices.first().name, QStringLiteral("Scripts"));
        QVERIFY(m_server.requestListing(QStringLiteral("Scripts"), QStringLiteral("\\")));
        QTRY_VERIFY_WITH_TIMEOUT(m_server.listingDone(), kPeerTimeoutMs);
        QStringList listing = m_server.listing();
        listing.sort();
        QCOMPARE(listing, (QStringList{QStringLiteral("deploy.ps1"), QStringLiteral("hosts.txt")}));

        QTRY_VERIFY_WITH_TIMEOUT(m_server.soundFormatsFromClient() > 0, kPeerTimeoutMs);
        const int confirmed = m_server.soundConfirmed();
        m_server.sendSound(4);
        QTRY_VERIFY_WITH_TIMEOUT(m_server.soundConfirmed() >= confirmed + 4, kPeerTimeoutMs);
        session.stop();
    }

    void theDesktopFollowsTheWindow_data()
    {
        QTest::addColumn<bool>("displayControl");
        QTest::newRow("display control") << true;
        QTest::newRow("new connection") << false;
    }

    // A session alone in its window (or zoomed) gives the remote desktop the window's size once a resize
    // has settled: through display control, or with a new connection at that size from a server that
    // offers none. A tile on a wall keeps the wall's size.
    void theDesktopFollowsTheWindow()
    {
        QFETCH(bool, displayControl);
        m_server.setDisplayControlOffered(displayControl);
        RdpSessionOptions options;
        options.clipboard = false;
        RdpTile tile(makeRemote(m_server.port()), QSize(1024, 768), 32);
        tile.setSessionOptions(options);
        tile.resize(900, 640);
        tile.show();
        tile.setFollowsView(true);
        auto* session = tile.findChild<FreeRdpSession*>();
        QVERIFY(session);
        QSignalSpy ready(session, &FreeRdpSession::displayControlReady);
        QSignalSpy connected(session, &FreeRdpSession::connected);
        tile.connectSession();
        QVERIFY(connected.wait(kPeerTimeoutMs));

        if (!displayControl) {
            const QSize wanted = tile.desktopFitter()->viewSize().expandedTo(QSize(640, 480));
            QTRY_COMPARE_WITH_TIMEOUT(connected.size(), 2, kPeerTimeoutMs);
            QTRY_COMPARE_WITH_TIMEOUT(m_server.desktopSize(), wanted, kPeerTimeoutMs);
            QTRY_COMPARE_WITH_TIMEOUT(session->frameSize(), wanted, kPeerTimeoutMs);
            QVERIFY(ready.isEmpty());
            m_server.setDisplayControlOffered(true);
            tile.disconnectSession();
            return;
        }
        QTRY_VERIFY_WITH_TIMEOUT(!ready.isEmpty(), kPeerTimeoutMs);
        const QSize wanted = tile.desktopFitter()->viewSize();
        QTRY_COMPARE_WITH_TIMEOUT(m_server.lastMonitorLayout(), wanted, kPeerTimeoutMs);
        QTRY_COMPARE_WITH_TIMEOUT(session->frameSize(), wanted, kPeerTimeoutMs);

        tile.resize(1200, 500);
        tile.desktopFitter()->settle();
        const QSize larger = tile.desktopFitter()->viewSize();
        QVERIFY(larger != wanted);
        QTRY_COMPARE_WITH_TIMEOUT(m_server.lastMonitorLayout(), larger, kPeerTimeoutMs);
        QTRY_COMPARE_WITH_TIMEOUT(session->frameSize(), larger, kPeerTimeoutMs);
        QCOMPARE(connected.size(), 1);

        tile.setFollowsView(false);
        QSignalSpy wantedOnWall(tile.desktopFitter(), &RdpDesktopFitter::sizeWanted);
        tile.resize(700, 500);
        tile.desktopFitter()->settle();
        QVERIFY(wantedOnWall.isEmpty());
        tile.disconnectSession();
    }
};

QTEST_MAIN(TestFreeRdpChannels)
#include "test_freerdp_channels.moc"
