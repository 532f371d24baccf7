#pragma once

#include <QByteArray>
#include <QImage>
#include <QList>
#include <QPair>
#include <QSize>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class TestCertificateAuthority;
struct rdp_freerdp_listener;

// A real RDP server inside the test process, built on FreeRDP's server library, that offers the
// clipboard (cliprdr), device redirection (rdpdr), sound (rdpsnd) and display control (disp over
// drdynvc) channels and records what clients do with them. It listens on 127.0.0.1 with TLS security
// only and accepts any user and password; it paints its desktop in one colour.
//
// Its own threads (a listener and one per peer, plus the channel threads of FreeRDP) update the state
// below; every accessor takes a lock, so a test polls them with QTRY_*:
//
//     TestChannelRdpServer server;
//     QVERIFY2(server.start(&error), qPrintable(error));
//     ... connect a client to server.port() with /drive:share,... ...
//     QTRY_COMPARE(server.connectedPeers(), 1);
//     server.setRemoteText(QStringLiteral("from the desktop"));
//     QTRY_COMPARE(server.devices().size(), 1);
//     QVERIFY(server.requestListing(QStringLiteral("share"), QStringLiteral("\\")));
//     QTRY_VERIFY(server.listingDone());
class TestChannelRdpServer
{
public:
    // type: RDPDR_DTYP_FILESYSTEM, RDPDR_DTYP_PRINT, RDPDR_DTYP_SERIAL or RDPDR_DTYP_SMARTCARD; name: the
    // device's preferred DOS name (at most 8 characters).
    struct Device
    {
        quint32 type;
        QString name;
    };

    TestChannelRdpServer();
    ~TestChannelRdpServer();
    TestChannelRdpServer(const TestChannelRdpServer&) = delete;
    TestChannelRdpServer& operator=(const TestChannelRdpServer&) = delete;

    // Makes a certificate and listens on a free loopback port.
    bool start(QString* error);
    // Closes the listener and every peer and joins the threads.
    void stop();
    quint16 port() const { return read(m_port); }
    QString lastUser() const { return read(m_lastUser); }
    // Peers that finished their first activation and are still connected.
    int connectedPeers() const;
    // The desktop size of the latest peer activated.
    QSize desktopSize() const { return read(m_desktopSize); }
    // Shuts every peer's socket down without a goodbye: the client sees the network drop.
    void disconnectAll();

    // Clipboard. The server plays the remote desktop's clipboard: each set* announces one format to every
    // peer (and to later ones) and answers the peers' data requests.
    void setRemoteText(const QString& text);                             // CF_UNICODETEXT
    void setRemoteImage(const QImage& image);                            // CF_DIB
    void setRemoteFile(const QString& name, const QByteArray& contents); // FileGroupDescriptorW
    // A list as a remote desktop may give it: folders (no contents) and names a client must not take.
    struct RemoteFile
    {
        QString name;
        QByteArray contents;
        bool folder = false;
    };
    void setRemoteFiles(const QList<RemoteFile>& files);
    // What clients put on their clipboard: on each Format List the server fetches CF_UNICODETEXT (else
    // CF_DIB) and the files of a FileGroupDescriptorW.
    // Ids of standard formats ("13"), names of registered ones ("FileGroupDescriptorW").
    QStringList clientFormatNames() const { return read(m_clientFormatNames); }
    QString clientText() const { return read(m_clientText); }
    QImage clientImage() const { return read(m_clientImage); }
    // Name and contents of each file once complete.
    QList<QPair<QString, QByteArray>> clientFiles() const { return read(m_clientFiles); }
    int clientFormatListCount() const { return read(m_clientFormatLists); }
    // While held, the peers' Format Data Requests wait unanswered; once released they are answered in
    // order from the remote clipboard of that moment, as a desktop answers a request it gets late.
    void holdDataAnswers(bool hold);
    int heldDataRequests() const { return read(m_heldRequests); }

    // Device redirection.
    QList<Device> devices() const { return read(m_devices); }
    // Starts listing `path` ("\\" for the root, "\\dir" below it) of the announced drive `driveName`;
    // false when no peer announced that drive. The names arrive in listing() ("." and ".." left out).
    bool requestListing(const QString& driveName, const QString& path);
    QStringList listing() const { return read(m_listing); }
    bool listingDone() const { return read(m_listingDone); }

    // Sound: sends `frames` blocks (50 ms each) of a tone in 16-bit stereo PCM to every peer once its
    // client answered the server's formats.
    void sendSound(int frames);
    // Formats the client has in common with the server; 0 until it answered.
    int soundFormatsFromClient() const { return read(m_soundFormats); }
    // Wave Confirm PDUs received (FreeRDP clients send two a block: on arrival and once played).
    int soundConfirmed() const { return read(m_soundConfirmed); }

    // Display control: a Monitor Layout PDU resizes the peer's desktop to its primary monitor. Peers that
    // connect while it is not offered get none.
    void setDisplayControlOffered(bool offered)
    {
        const std::lock_guard lock(m_mutex);
        m_offerDisplayControl = offered;
    }
    QSize lastMonitorLayout() const { return read(m_lastLayout); }
    bool displayControlOpened() const { return read(m_displayControlOpened); }

private:
    struct Peer;
    struct RemoteClipboard
    {
        quint32 format = 0; // 0: nothing announced
        QByteArray data;    // the Format Data Response
        QList<RemoteFile> files;
    };

    void listen();
    void runPeer(Peer* peer);
    void setRemote(const RemoteClipboard& clipboard);
    void wakePeers(const std::function<void(Peer*)>& change);
    template <typename T> T read(const T& member) const
    {
        const std::lock_guard lock(m_mutex);
        return member;
    }

    std::unique_ptr<TestCertificateAuthority> m_authority;
    QString m_certificatePath;
    QString m_keyPath;
    rdp_freerdp_listener* m_listener = nullptr;
    void* m_stopEvent = nullptr;
    std::thread m_listenThread;

    mutable std::mutex m_mutex;
    std::vector<std::unique_ptr<Peer>> m_peers;
    quint16 m_port = 0;
    QString m_lastUser;
    QSize m_desktopSize;
    RemoteClipboard m_remote;
    QStringList m_clientFormatNames;
    QString m_clientText;
    QImage m_clientImage;
    QList<QPair<QString, QByteArray>> m_clientFiles;
    int m_clientFormatLists = 0;
    bool m_holdAnswers = false;
    int m_heldRequests = 0;
    QList<Device> m_devices;
    QStringList m_listing;
    bool m_listingDone = false;
    int m_soundFormats = 0;
    int m_soundConfirmed = 0;
    QSize m_lastLayout;
    bool m_displayControlOpened = false;
    bool m_offerDisplayControl = true;
};
