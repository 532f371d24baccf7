#include "support/rdp_channel_server.h"

#include "support/test_certificate_authority.h"
#include "support/test_environment.h"

#include <QBuffer>
#include <QHash>
#include <QtEndian>

#include <freerdp/channels/channels.h>
#include <freerdp/channels/wtsvc.h>
#include <freerdp/codec/audio.h>
#include <freerdp/freerdp.h>
#include <freerdp/listener.h>
#include <freerdp/peer.h>
#include <freerdp/server/cliprdr.h>
#include <freerdp/server/disp.h>
#include <freerdp/server/rdpdr.h>
#include <freerdp/server/rdpsnd.h>
#include <freerdp/settings.h>
#include <freerdp/update.h>
#include <freerdp/utils/cliprdr_utils.h>
#include <winpr/ssl.h>
#include <winpr/synch.h>
#include <winpr/sysinfo.h>
#include <winpr/user.h>
#include <winpr/wtsapi.h>

#include <sys/socket.h>

#include <cmath>
#include <utility>

namespace {

// A registered format id of the server's own for file lists (registered ids start at 0xC000).
constexpr quint32 kFileGroupFormat = 0xC0F0;
constexpr char kFileGroupName[] = "FileGroupDescriptorW";
constexpr quint32 kChunkSize = 64 * 1024;
constexpr DWORD kPollMs = 100;
// Below the smallest fast-path reassembly buffer a client announces (64 KiB).
constexpr UINT32 kMaxUpdateBytes = 0xC000;
constexpr int kSoundLatencyMs = 50;
constexpr quint64 kSizePending = ~quint64(0);

// The channel manager's session table and id counter are not thread-safe in FreeRDP 2.
std::mutex& channelManagerMutex()
{
    static std::mutex mutex;
    return mutex;
}

void initializeFreeRdpServer()
{
    static std::once_flag once;
    std::call_once(once, [] {
        WTSRegisterWtsApiFunctionTable(FreeRDP_InitWtsApi());
        winpr_InitializeSSL(WINPR_SSL_INIT_DEFAULT);
    });
}

// The whole desktop in one colour, as uncompressed surface bits in strips a fast-path update can carry.
void paintDesktop(freerdp_peer* client)
{
    const UINT32 width = client->settings->DesktopWidth;
    const UINT32 height = client->settings->DesktopHeight;
    const UINT32 rows = std::max<UINT32>(1, kMaxUpdateBytes / (width * 4));
    QByteArray strip;
    for (UINT32 i = 0; i < width * rows; ++i) {
        strip.append("\xA0\x60\x30\xFF", 4); // BGRX of #3060A0
    }
    for (UINT32 top = 0; top < height; top += rows) {
        const UINT32 count = std::min(rows, height - top);
        SURFACE_BITS_COMMAND command{};
        command.cmdType = CMDTYPE_SET_SURFACE_BITS;
        command.destTop = top;
        command.destRight = width;
        command.destBottom = top + count;
        command.bmp.bpp = 32;
        command.bmp.codecID = RDP_CODEC_ID_NONE;
        command.bmp.width = static_cast<UINT16>(width);
        command.bmp.height = static_cast<UINT16>(count);
        command.bmp.bitmapDataLength = width * count * 4;
        command.bmp.bitmapData = reinterpret_cast<BYTE*>(strip.data());
        if (!client->update->SurfaceBits(client->update->context, &command)) {
            return;
        }
    }
}

// CF_DIB is a BMP file without its 14-byte file header.
QByteArray imageToDib(const QImage& image)
{
    QByteArray bmp;
    QBuffer buffer(&bmp);
    buffer.open(QIODevice::WriteOnly);
    image.convertToFormat(QImage::Format_RGB32).save(&buffer, "BMP");
    return bmp.mid(14);
}

QImage dibToImage(const QByteArray& dib)
{
    if (dib.size() < 40) {
        return {};
    }
    const auto* header = reinterpret_cast<const uchar*>(dib.constData());
    const quint32 headerSize = qFromLittleEndian<quint32>(header);
    const quint16 bitCount = qFromLittleEndian<quint16>(header + 14);
    const quint32 compression = qFromLittleEndian<quint32>(header + 16);
    quint32 colors = qFromLittleEndian<quint32>(header + 32);
    if (colors == 0 && bitCount <= 8) {
        colors = 1U << bitCount;
    }
    const quint32 masks = (compression == 3 && headerSize == 40) ? 12 : 0; // BI_BITFIELDS
    const quint32 offset = 14 + headerSize + colors * 4 + masks;
    QByteArray file("BM");
    uchar field[4];
    qToLittleEndian<quint32>(14 + dib.size(), field);
    file.append(reinterpret_cast<const char*>(field), 4);
    file.append(4, '\0');
    qToLittleEndian<quint32>(offset, field);
    file.append(reinterpret_cast<const char*>(field), 4);
    return QImage::fromData(file + dib, "BMP");
}

QByteArray fileDescriptorList(const QList<TestChannelRdpServer::RemoteFile>& files)
{
    std::vector<FILEDESCRIPTORW> descriptors(size_t(files.size()));
    for (qsizetype i = 0; i < files.size(); ++i) {
        FILEDESCRIPTORW& descriptor = descriptors[size_t(i)];
        const qint64 size = files.at(i).contents.size();
        descriptor.dwFlags = FD_ATTRIBUTES | FD_FILESIZE | FD_PROGRESSUI;
        descriptor.dwFileAttributes = files.at(i).folder ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
        descriptor.nFileSizeHigh = static_cast<DWORD>(quint64(size) >> 32);
        descriptor.nFileSizeLow = static_cast<DWORD>(size);
        const int length = std::min<int>(int(files.at(i).name.size()), 259);
        std::copy_n(files.at(i).name.utf16(), length, descriptor.cFileName);
    }
    BYTE* data = nullptr;
    UINT32 dataSize = 0;
    if (cliprdr_serialize_file_list(descriptors.data(), UINT32(descriptors.size()), &data, &dataSize) !=
        CHANNEL_RC_OK) {
        return {};
    }
    QByteArray list(reinterpret_cast<const char*>(data), int(dataSize));
    free(data);
    return list;
}

// `frames` of a 440 Hz tone, 16-bit stereo.
QByteArray tone(UINT32 rate, UINT32 frames, UINT32 start)
{
    QByteArray samples(int(frames * 4), '\0');
    auto* out = reinterpret_cast<qint16*>(samples.data());
    for (UINT32 i = 0; i < frames; ++i) {
        const double t = double(start + i) / rate;
        out[2 * i] = out[2 * i + 1] = static_cast<qint16>(8000 * std::sin(2 * M_PI * 440 * t));
    }
    return samples;
}

} // namespace

struct TestChannelRdpServer::Peer
{
    TestChannelRdpServer* server = nullptr;
    std::thread thread;
    HANDLE wake = nullptr;
    HANDLE vcm = nullptr;
    CliprdrServerContext* cliprdr = nullptr;
    RdpdrServerContext* rdpdr = nullptr;
    RdpsndServerContext* rdpsnd = nullptr;
    DispServerContext* disp = nullptr;
    bool dispOpened = false;
    UINT32 dispChannelId = 0;

    // Under the server's lock: the connection (null once it closes), what the peer reached, and what the
    // test asked its thread to do.
    freerdp_peer* client = nullptr;
    bool activated = false;
    bool soundReady = false;
    bool announce = false;
    int soundBlocks = 0;
    QSize resizeTo;
    QList<QPair<quint32, QString>> listings;
    QHash<QString, quint32> drives;
    QList<quint32> heldRequests; // formats asked while answers are held

    // The cliprdr thread's fetch of the client's clipboard.
    QList<quint32> wanted;
    quint32 requested = 0;
    quint32 fileFormat = 0;
    QStringList fileNames;
    int fileIndex = -1;
    bool sizeAsked = false;
    quint64 fileSize = 0;
    QByteArray fileData;
    UINT32 streamId = 0;

    struct Context
    {
        rdpContext base;
        Peer* peer;
    };
    static Peer* of(rdpContext* context) { return reinterpret_cast<Context*>(context)->peer; }

    static BOOL postConnect(freerdp_peer* client);
    static BOOL activate(freerdp_peer* client);
    void startChannels();
    void serveRequests();

    // Clipboard.
    static UINT clientFormatList(CliprdrServerContext* context, const CLIPRDR_FORMAT_LIST* list);
    static UINT clientFormatDataRequest(CliprdrServerContext* context,
                                        const CLIPRDR_FORMAT_DATA_REQUEST* request);
    static UINT clientFormatDataResponse(CliprdrServerContext* context,
                                         const CLIPRDR_FORMAT_DATA_RESPONSE* response);
    static UINT clientFileContentsRequest(CliprdrServerContext* context,
                                          const CLIPRDR_FILE_CONTENTS_REQUEST* request);
    static UINT clientFileContentsResponse(CliprdrServerContext* context,
                                           const CLIPRDR_FILE_CONTENTS_RESPONSE* response);
    void requestNextFormat();
    void requestFileContents();
    void answerDataRequest(quint32 format);
    void announceRemote(const RemoteClipboard& remote);

    // Devices.
    void addDevice(quint32 type, const char* name, UINT32 id);
    static void onDirectoryEntry(RdpdrServerContext* context, void*, UINT32 ioStatus,
                                 FILE_DIRECTORY_INFORMATION* entry);

    // Sound.
    static void soundActivated(RdpsndServerContext* context);
    static UINT soundConfirmed(RdpsndServerContext* context, BYTE, UINT16);
    void sendSound(int blocks);

    // Display control.
    static BOOL dispChannelAssigned(DispServerContext* context, UINT32 channelId);
    static BOOL dynamicChannelCreated(void* userdata, UINT32 channelId, INT32 status);
    static UINT monitorLayout(DispServerContext* context, const DISPLAY_CONTROL_MONITOR_LAYOUT_PDU* pdu);
};

TestChannelRdpServer::TestChannelRdpServer() = default;

TestChannelRdpServer::~TestChannelRdpServer()
{
    stop();
}

bool TestChannelRdpServer::start(QString* error)
{
    stop();
    initializeFreeRdpServer();
    m_authority = std::make_unique<TestCertificateAuthority>();
    TestCertificateAuthority::Leaf leaf;
    if (!m_authority->create(error) || !m_authority->issue(QStringLiteral("rdp"), &leaf, error)) {
        return false;
    }
    m_certificatePath = leaf.certificatePath;
    m_keyPath = leaf.keyPath;

    m_listener = freerdp_listener_new();
    m_stopEvent = CreateEvent(nullptr, TRUE, FALSE, nullptr);
    if (!m_listener || !m_stopEvent) {
        *error = QStringLiteral("cannot create the RDP listener");
        stop();
        return false;
    }
    m_listener->info = this;
    m_listener->PeerAccepted = [](freerdp_listener* listener, freerdp_peer* client) -> BOOL {
        auto* server = static_cast<TestChannelRdpServer*>(listener->info);
        auto peer = std::make_unique<Peer>();
        peer->server = server;
        peer->client = client;
        peer->wake = CreateEvent(nullptr, TRUE, FALSE, nullptr);
        Peer* raw = peer.get();
        const std::lock_guard lock(server->m_mutex);
        server->m_peers.push_back(std::move(peer));
        raw->thread = std::thread([server, raw] { server->runPeer(raw); });
        return TRUE;
    };
    // The free port can be taken between the probe and the bind: a few tries.
    for (int attempt = 0; attempt < 5 && m_port == 0; ++attempt) {
        const quint16 port = freeLoopbackPort();
        if (m_listener->Open(m_listener, "127.0.0.1", port)) {
            const std::lock_guard lock(m_mutex);
            m_port = port;
        }
    }
    if (m_port == 0) {
        *error = QStringLiteral("cannot listen on 127.0.0.1");
        stop();
        return false;
    }
    m_listenThread = std::thread([this] { listen(); });
    return true;
}

void TestChannelRdpServer::stop()
{
    if (m_stopEvent) {
        SetEvent(m_stopEvent);
    }
    if (m_listenThread.joinable()) {
        m_listenThread.join();
    }
    if (m_listener) {
        m_listener->Close(m_listener);
        freerdp_listener_free(m_listener);
        m_listener = nullptr;
    }
    disconnectAll();
    for (const std::unique_ptr<Peer>& peer : m_peers) {
        if (peer->thread.joinable()) {
            peer->thread.join();
        }
        CloseHandle(peer->wake);
    }
    if (m_stopEvent) {
        CloseHandle(m_stopEvent);
        m_stopEvent = nullptr;
    }
    const std::lock_guard lock(m_mutex);
    m_peers.clear();
    m_port = 0;
}

void TestChannelRdpServer::listen()
{
    while (true) {
        HANDLE handles[32];
        DWORD count = m_listener->GetEventHandles(m_listener, handles, 31);
        if (count == 0) {
            return;
        }
        handles[count++] = m_stopEvent;
        if (WaitForMultipleObjects(count, handles, FALSE, kPollMs) == WAIT_FAILED ||
            WaitForSingleObject(m_stopEvent, 0) == WAIT_OBJECT_0 ||
            !m_listener->CheckFileDescriptor(m_listener)) {
            return;
        }
    }
}

void TestChannelRdpServer::runPeer(Peer* peer)
{
    freerdp_peer* client = peer->client;
    client->ContextSize = sizeof(Peer::Context);
    if (!freerdp_peer_context_new(client)) {
        const std::lock_guard lock(m_mutex);
        peer->client = nullptr;
        freerdp_peer_free(client);
        return;
    }
    reinterpret_cast<Peer::Context*>(client->context)->peer = peer;
    rdpSettings* settings = client->settings;
    freerdp_settings_set_string(settings, FreeRDP_CertificateFile, m_certificatePath.toUtf8().constData());
    freerdp_settings_set_string(settings, FreeRDP_PrivateKeyFile, m_keyPath.toUtf8().constData());
    settings->RdpSecurity = FALSE;
    settings->TlsSecurity = TRUE;
    settings->NlaSecurity = FALSE;
    settings->ColorDepth = 32;
    settings->SurfaceCommandsEnabled = TRUE;
    settings->DesktopResize = TRUE;
    settings->MultifragMaxRequestSize = 0xFFFFFF;
    client->PostConnect = &Peer::postConnect;
    client->Activate = &Peer::activate;
    if (client->Initialize(client)) {
        const std::lock_guard lock(channelManagerMutex());
        peer->vcm = WTSOpenServerA(reinterpret_cast<LPSTR>(client->context));
    }
    if (peer->vcm == INVALID_HANDLE_VALUE) {
        peer->vcm = nullptr;
    }
    if (peer->vcm) {
        WTSVirtualChannelManagerSetDVCCreationCallback(peer->vcm, &Peer::dynamicChannelCreated, peer);
    }

    while (peer->vcm) {
        HANDLE handles[MAXIMUM_WAIT_OBJECTS];
        DWORD count = client->GetEventHandles(client, handles, MAXIMUM_WAIT_OBJECTS - 3);
        if (count == 0) {
            break;
        }
        handles[count++] = WTSVirtualChannelManagerGetEventHandle(peer->vcm);
        handles[count++] = m_stopEvent;
        handles[count++] = peer->wake;
        if (WaitForMultipleObjects(count, handles, FALSE, kPollMs) == WAIT_FAILED ||
            WaitForSingleObject(m_stopEvent, 0) == WAIT_OBJECT_0 || !client->CheckFileDescriptor(client) ||
            !WTSVirtualChannelManagerCheckFileDescriptor(peer->vcm)) {
            break;
        }
        // Dynamic channels open once the client answered the drdynvc capabilities.
        if (peer->disp && !peer->dispOpened &&
            WTSVirtualChannelManagerGetDrdynvcState(peer->vcm) == DRDYNVC_STATE_READY &&
            peer->disp->Open(peer->disp) == CHANNEL_RC_OK) {
            peer->dispOpened = true;
            peer->disp->DisplayControlCaps(peer->disp);
        }
        peer->serveRequests();
    }

    {
        const std::lock_guard lock(m_mutex);
        peer->client = nullptr;
        peer->activated = false;
        peer->drives.clear();
    }
    if (peer->cliprdr) {
        peer->cliprdr->Stop(peer->cliprdr);
        cliprdr_server_context_free(peer->cliprdr);
    }
    if (peer->rdpdr) {
        peer->rdpdr->Stop(peer->rdpdr);
        rdpdr_server_context_free(peer->rdpdr);
    }
    rdpsnd_server_context_free(peer->rdpsnd);
    disp_server_context_free(peer->disp);
    if (peer->vcm) {
        const std::lock_guard lock(channelManagerMutex());
        WTSCloseServer(peer->vcm);
    }
    client->Disconnect(client);
    freerdp_peer_context_free(client);
    freerdp_peer_free(client);
}

BOOL TestChannelRdpServer::Peer::postConnect(freerdp_peer* client)
{
    Peer* peer = of(client->context);
    {
        const std::lock_guard lock(peer->server->m_mutex);
        peer->server->m_lastUser = QString::fromUtf8(client->settings->Username);
    }
    peer->startChannels();
    return TRUE;
}

BOOL TestChannelRdpServer::Peer::activate(freerdp_peer* client)
{
    Peer* peer = of(client->context);
    paintDesktop(client);
    const std::lock_guard lock(peer->server->m_mutex);
    peer->activated = true;
    peer->server->m_desktopSize =
        QSize(int(client->settings->DesktopWidth), int(client->settings->DesktopHeight));
    return TRUE;
}

void TestChannelRdpServer::Peer::startChannels()
{
    rdpContext* context = client->context;
    if (WTSVirtualChannelManagerIsChannelJoined(vcm, CLIPRDR_SVC_CHANNEL_NAME)) {
        cliprdr = cliprdr_server_context_new(vcm);
        cliprdr->custom = this;
        cliprdr->rdpcontext = context;
        cliprdr->useLongFormatNames = TRUE;
        cliprdr->streamFileClipEnabled = TRUE;
        cliprdr->fileClipNoFilePaths = TRUE;
        cliprdr->ClientFormatList = &clientFormatList;
        cliprdr->ClientFormatDataRequest = &clientFormatDataRequest;
        cliprdr->ClientFormatDataResponse = &clientFormatDataResponse;
        cliprdr->ClientFileContentsRequest = &clientFileContentsRequest;
        cliprdr->ClientFileContentsResponse = &clientFileContentsResponse;
        if (cliprdr->Start(cliprdr) == CHANNEL_RC_OK) {
            const std::lock_guard lock(server->m_mutex);
            announce = server->m_remote.format != 0;
            SetEvent(wake);
        }
    }
    if (WTSVirtualChannelManagerIsChannelJoined(vcm, "rdpdr")) {
        rdpdr = rdpdr_server_context_new(vcm);
        rdpdr->data = this;
        rdpdr->rdpcontext = context;
        rdpdr->supportsDrives = TRUE;
        rdpdr->supportsPorts = TRUE;
        rdpdr->supportsPrinters = TRUE;
        rdpdr->supportsSmartcards = TRUE;
        rdpdr->OnDriveCreate = [](RdpdrServerContext* c, UINT32 id, const char* name) {
            static_cast<Peer*>(c->data)->addDevice(RDPDR_DTYP_FILESYSTEM, name, id);
        };
        rdpdr->OnPrinterCreate = [](RdpdrServerContext* c, UINT32 id, const char* name) {
            static_cast<Peer*>(c->data)->addDevice(RDPDR_DTYP_PRINT, name, id);
        };
        rdpdr->OnPortCreate = [](RdpdrServerContext* c, UINT32 id, const char* name) {
            static_cast<Peer*>(c->data)->addDevice(RDPDR_DTYP_SERIAL, name, id);
        };
        rdpdr->OnSmartcardCreate = [](RdpdrServerContext* c, UINT32 id, const char* name) {
            static_cast<Peer*>(c->data)->addDevice(RDPDR_DTYP_SMARTCARD, name, id);
        };
        rdpdr->OnDriveQueryDirectoryComplete = &onDirectoryEntry;
        rdpdr->Start(rdpdr);
    }
    if (WTSVirtualChannelManagerIsChannelJoined(vcm, "rdpsnd")) {
        rdpsnd = rdpsnd_server_context_new(vcm);
        rdpsnd->data = this;
        rdpsnd->rdpcontext = context;
        // Freed by the context: allocated the way it frees them.
        rdpsnd->server_formats = audio_formats_new(2);
        rdpsnd->num_server_formats = 2;
        for (size_t i = 0; i < 2; ++i) {
            AUDIO_FORMAT& format = rdpsnd->server_formats[i];
            format.wFormatTag = WAVE_FORMAT_PCM;
            format.nChannels = 2;
            format.nSamplesPerSec = i == 0 ? 44100 : 22050;
            format.wBitsPerSample = 16;
            format.nBlockAlign = 4;
            format.nAvgBytesPerSec = format.nSamplesPerSec * 4;
        }
        rdpsnd->src_format = &rdpsnd->server_formats[0];
        rdpsnd->latency = kSoundLatencyMs;
        rdpsnd->Activated = &soundActivated;
        rdpsnd->ConfirmBlock = &soundConfirmed;
        rdpsnd->Initialize(rdpsnd, TRUE);
    }
    if (WTSVirtualChannelManagerIsChannelJoined(vcm, "drdynvc") &&
        server->read(server->m_offerDisplayControl)) {
        disp = disp_server_context_new(vcm);
        disp->custom = this;
        disp->rdpcontext = context;
        disp->MaxNumMonitors = 16;
        disp->MaxMonitorAreaFactorA = 8192;
        disp->MaxMonitorAreaFactorB = 8192;
        disp->ChannelIdAssigned = &dispChannelAssigned;
        disp->DispMonitorLayout = &monitorLayout;
    }
}

// Runs on the peer's thread: what the test asked for since the last round.
void TestChannelRdpServer::Peer::serveRequests()
{
    ResetEvent(wake);
    bool announceNow = false;
    int blocks = 0;
    QSize size;
    QList<QPair<quint32, QString>> listingRequests;
    RemoteClipboard remote;
    QList<quint32> held;
    {
        const std::lock_guard lock(server->m_mutex);
        announceNow = std::exchange(announce, false);
        if (soundReady) {
            blocks = std::exchange(soundBlocks, 0);
        }
        // A resize waits for the end of a reactivation under way.
        if (client->activated) {
            size = std::exchange(resizeTo, QSize());
        }
        listingRequests = std::exchange(listings, {});
        remote = server->m_remote;
        if (!server->m_holdAnswers) {
            held = std::exchange(heldRequests, {});
        }
    }
    for (const quint32 format : std::as_const(held)) {
        answerDataRequest(format);
    }
    if (announceNow && cliprdr) {
        announceRemote(remote);
    }
    if (blocks > 0) {
        sendSound(blocks);
    }
    for (const auto& [id, path] : std::as_const(listingRequests)) {
        if (rdpdr) {
            rdpdr->DriveQueryDirectory(rdpdr, nullptr, id, path.toUtf8().constData());
        }
    }
    rdpSettings* settings = client->settings;
    if (size.isValid() && (UINT32(size.width()) != settings->DesktopWidth ||
                           UINT32(size.height()) != settings->DesktopHeight)) {
        // The client takes the new size from the reactivation; activate() paints it.
        settings->DesktopWidth = UINT32(size.width());
        settings->DesktopHeight = UINT32(size.height());
        client->update->DesktopResize(client->update->context);
    }
}

void TestChannelRdpServer::Peer::announceRemote(const RemoteClipboard& remote)
{
    CLIPRDR_FORMAT format{};
    format.formatId = remote.format;
    QByteArray name(remote.format == kFileGroupFormat ? kFileGroupName : "");
    format.formatName = name.isEmpty() ? nullptr : name.data();
    CLIPRDR_FORMAT_LIST list{};
    list.msgType = CB_FORMAT_LIST;
    list.numFormats = 1;
    list.formats = &format;
    cliprdr->ServerFormatList(cliprdr, &list);
}

UINT TestChannelRdpServer::Peer::clientFormatList(CliprdrServerContext* context,
                                                  const CLIPRDR_FORMAT_LIST* list)
{
    Peer* peer = static_cast<Peer*>(context->custom);
    QStringList names;
    QList<quint32> ids;
    peer->fileFormat = 0;
    for (UINT32 i = 0; i < list->numFormats; ++i) {
        const CLIPRDR_FORMAT& format = list->formats[i];
        const QString name = format.formatName ? QString::fromUtf8(format.formatName) : QString();
        names << (name.isEmpty() ? QString::number(format.formatId) : name);
        ids << format.formatId;
        if (name == QLatin1String(kFileGroupName)) {
            peer->fileFormat = format.formatId;
        }
    }
    {
        const std::lock_guard lock(peer->server->m_mutex);
        peer->server->m_clientFormatNames = names;
        ++peer->server->m_clientFormatLists;
    }
    CLIPRDR_FORMAT_LIST_RESPONSE response{};
    response.msgType = CB_FORMAT_LIST_RESPONSE;
    response.msgFlags = CB_RESPONSE_OK;
    context->ServerFormatListResponse(context, &response);

    // A new list replaces any fetch under way.
    peer->wanted.clear();
    peer->fileIndex = -1;
    peer->sizeAsked = false;
    if (ids.contains(CF_UNICODETEXT)) {
        peer->wanted << CF_UNICODETEXT;
    } else if (ids.contains(CF_DIB)) {
        peer->wanted << CF_DIB;
    }
    if (peer->fileFormat) {
        peer->wanted << peer->fileFormat;
    }
    peer->requestNextFormat();
    return CHANNEL_RC_OK;
}

void TestChannelRdpServer::Peer::requestNextFormat()
{
    requested = 0;
    if (wanted.isEmpty()) {
        return;
    }
    requested = wanted.takeFirst();
    CLIPRDR_FORMAT_DATA_REQUEST request{};
    request.msgType = CB_FORMAT_DATA_REQUEST;
    request.dataLen = 4;
    request.requestedFormatId = requested;
    cliprdr->ServerFormatDataRequest(cliprdr, &request);
}

UINT TestChannelRdpServer::Peer::clientFormatDataResponse(CliprdrServerContext* context,
                                                          const CLIPRDR_FORMAT_DATA_RESPONSE* response)
{
    Peer* peer = static_cast<Peer*>(context->custom);
    const QByteArray data =
        (response->msgFlags & CB_RESPONSE_OK) && response->requestedFormatData
            ? QByteArray(reinterpret_cast<const char*>(response->requestedFormatData), int(response->dataLen))
            : QByteArray();
    TestChannelRdpServer* server = peer->server;
    if (peer->requested == CF_UNICODETEXT && !data.isEmpty()) {
        QString text =
            QString::fromUtf16(reinterpret_cast<const char16_t*>(data.constData()), data.size() / 2);
        text.truncate(text.indexOf(QChar(0)) >= 0 ? text.indexOf(QChar(0)) : text.size());
        const std::lock_guard lock(server->m_mutex);
        server->m_clientText = text;
    } else if (peer->requested == CF_DIB && !data.isEmpty()) {
        const QImage image = dibToImage(data);
        const std::lock_guard lock(server->m_mutex);
        server->m_clientImage = image;
    } else if (peer->requested != 0 && peer->requested == peer->fileFormat && !data.isEmpty()) {
        FILEDESCRIPTORW* descriptors = nullptr;
        UINT32 count = 0;
        peer->fileNames.clear();
        if (cliprdr_parse_file_list(reinterpret_cast<const BYTE*>(data.constData()), UINT32(data.size()),
                                    &descriptors, &count) == CHANNEL_RC_OK) {
            for (UINT32 i = 0; i < count; ++i) {
                peer->fileNames << QString::fromUtf16(
                    reinterpret_cast<const char16_t*>(descriptors[i].cFileName));
            }
        }
        free(descriptors);
        if (!peer->fileNames.isEmpty()) {
            peer->requested = 0;
            peer->fileIndex = 0;
            peer->requestFileContents();
            return CHANNEL_RC_OK;
        }
    }
    peer->requestNextFormat();
    return CHANNEL_RC_OK;
}

// Asks for the size of the current file, or its next range once the size is known.
void TestChannelRdpServer::Peer::requestFileContents()
{
    CLIPRDR_FILE_CONTENTS_REQUEST request{};
    request.msgType = CB_FILECONTENTS_REQUEST;
    request.streamId = ++streamId;
    request.listIndex = UINT32(fileIndex);
    if (!sizeAsked) {
        sizeAsked = true;
        fileSize = kSizePending;
        fileData.clear();
        request.dwFlags = FILECONTENTS_SIZE;
        request.cbRequested = 8;
    } else {
        const quint64 position = quint64(fileData.size());
        request.dwFlags = FILECONTENTS_RANGE;
        request.nPositionLow = UINT32(position);
        request.nPositionHigh = UINT32(position >> 32);
        request.cbRequested = UINT32(std::min<quint64>(kChunkSize, fileSize - position));
    }
    cliprdr->ServerFileContentsRequest(cliprdr, &request);
}

UINT TestChannelRdpServer::Peer::clientFileContentsResponse(CliprdrServerContext* context,
                                                            const CLIPRDR_FILE_CONTENTS_RESPONSE* response)
{
    Peer* peer = static_cast<Peer*>(context->custom);
    if (peer->fileIndex < 0 || response->streamId != peer->streamId) {
        return CHANNEL_RC_OK;
    }
    const bool ok = (response->msgFlags & CB_RESPONSE_OK) && response->requestedData;
    bool fileDone = !ok;
    if (ok) {
        const QByteArray data(reinterpret_cast<const char*>(response->requestedData),
                              int(response->cbRequested));
        if (peer->fileSize == kSizePending) {
            peer->fileSize = data.size() >= 8 ? qFromLittleEndian<quint64>(data.constData()) : 0;
        } else {
            peer->fileData += data;
        }
        // A short file ends the transfer too rather than asking forever.
        fileDone = quint64(peer->fileData.size()) >= peer->fileSize || (data.isEmpty() && peer->sizeAsked);
    }
    if (fileDone) {
        if (ok) {
            const std::lock_guard lock(peer->server->m_mutex);
            peer->server->m_clientFiles.append({peer->fileNames.value(peer->fileIndex), peer->fileData});
        }
        peer->sizeAsked = false;
        if (++peer->fileIndex >= peer->fileNames.size()) {
            peer->fileIndex = -1;
            peer->requestNextFormat();
            return CHANNEL_RC_OK;
        }
    }
    peer->requestFileContents();
    return CHANNEL_RC_OK;
}

UINT TestChannelRdpServer::Peer::clientFormatDataRequest(CliprdrServerContext* context,
                                                         const CLIPRDR_FORMAT_DATA_REQUEST* request)
{
    Peer* peer = static_cast<Peer*>(context->custom);
    {
        const std::lock_guard lock(peer->server->m_mutex);
        if (peer->server->m_holdAnswers) {
            peer->heldRequests << request->requestedFormatId;
            ++peer->server->m_heldRequests;
            return CHANNEL_RC_OK;
        }
    }
    peer->answerDataRequest(request->requestedFormatId);
    return CHANNEL_RC_OK;
}

void TestChannelRdpServer::Peer::answerDataRequest(quint32 format)
{
    QByteArray data;
    bool known = false;
    {
        const std::lock_guard lock(server->m_mutex);
        known = format == server->m_remote.format && server->m_remote.format;
        data = server->m_remote.data;
    }
    CLIPRDR_FORMAT_DATA_RESPONSE response{};
    response.msgType = CB_FORMAT_DATA_RESPONSE;
    response.msgFlags = known ? CB_RESPONSE_OK : CB_RESPONSE_FAIL;
    response.dataLen = known ? UINT32(data.size()) : 0;
    response.requestedFormatData = reinterpret_cast<const BYTE*>(data.constData());
    cliprdr->ServerFormatDataResponse(cliprdr, &response);
}

UINT TestChannelRdpServer::Peer::clientFileContentsRequest(CliprdrServerContext* context,
                                                           const CLIPRDR_FILE_CONTENTS_REQUEST* request)
{
    Peer* peer = static_cast<Peer*>(context->custom);
    QByteArray contents;
    bool known = false;
    {
        const std::lock_guard lock(peer->server->m_mutex);
        const QList<RemoteFile>& files = peer->server->m_remote.files;
        known = peer->server->m_remote.format == kFileGroupFormat &&
                request->listIndex < UINT32(files.size()) && !files.at(qsizetype(request->listIndex)).folder;
        contents = known ? files.at(qsizetype(request->listIndex)).contents : QByteArray();
    }
    QByteArray data;
    if (known && (request->dwFlags & FILECONTENTS_SIZE)) {
        data.resize(8);
        qToLittleEndian<quint64>(quint64(contents.size()), data.data());
    } else if (known) {
        const quint64 position = (quint64(request->nPositionHigh) << 32) | request->nPositionLow;
        data = contents.mid(qsizetype(std::min<quint64>(position, quint64(contents.size()))),
                            qsizetype(request->cbRequested));
    }
    CLIPRDR_FILE_CONTENTS_RESPONSE response{};
    response.msgType = CB_FILECONTENTS_RESPONSE;
    response.msgFlags = known ? CB_RESPONSE_OK : CB_RESPONSE_FAIL;
    response.streamId = request->streamId;
    response.cbRequested = UINT32(data.size());
    response.requestedData = reinterpret_cast<const BYTE*>(data.constData());
    return context->ServerFileContentsResponse(context, &response);
}

void TestChannelRdpServer::Peer::addDevice(quint32 type, const char* name, UINT32 id)
{
    const std::lock_guard lock(server->m_mutex);
    server->m_devices.append({type, QString::fromUtf8(name)});
    if (type == RDPDR_DTYP_FILESYSTEM) {
        drives.insert(QString::fromUtf8(name), id);
    }
}

void TestChannelRdpServer::Peer::onDirectoryEntry(RdpdrServerContext* context, void*, UINT32,
                                                  FILE_DIRECTORY_INFORMATION* entry)
{
    Peer* peer = static_cast<Peer*>(context->data);
    const std::lock_guard lock(peer->server->m_mutex);
    if (!entry) {
        // The last call (STATUS_NO_MORE_FILES, or the failure to open the directory).
        peer->server->m_listingDone = true;
        return;
    }
    const QString name = QString::fromUtf8(entry->FileName);
    if (name != QLatin1String(".") && name != QLatin1String("..")) {
        peer->server->m_listing << name;
    }
}

void TestChannelRdpServer::Peer::soundActivated(RdpsndServerContext* context)
{
    Peer* peer = static_cast<Peer*>(context->data);
    // Plain 16-bit stereo PCM at a rate the server offered, so the samples go out as they are.
    int chosen = -1;
    for (UINT16 i = 0; i < context->num_client_formats && chosen < 0; ++i) {
        const AUDIO_FORMAT& format = context->client_formats[i];
        if (format.wFormatTag == WAVE_FORMAT_PCM && format.nChannels == 2 && format.wBitsPerSample == 16) {
            for (size_t j = 0; j < context->num_server_formats; ++j) {
                if (context->server_formats[j].nSamplesPerSec == format.nSamplesPerSec) {
                    context->src_format = &context->server_formats[j];
                    chosen = i;
                }
            }
        }
    }
    const bool ready = chosen >= 0 && context->SelectFormat(context, UINT16(chosen)) == CHANNEL_RC_OK;
    const std::lock_guard lock(peer->server->m_mutex);
    peer->server->m_soundFormats = context->num_client_formats;
    peer->soundReady = ready;
    SetEvent(peer->wake);
}

UINT TestChannelRdpServer::Peer::soundConfirmed(RdpsndServerContext* context, BYTE, UINT16)
{
    Peer* peer = static_cast<Peer*>(context->data);
    const std::lock_guard lock(peer->server->m_mutex);
    ++peer->server->m_soundConfirmed;
    return CHANNEL_RC_OK;
}

void TestChannelRdpServer::Peer::sendSound(int blocks)
{
    // The context sends a Wave PDU each time a latency's worth of frames is queued.
    const UINT32 rate = rdpsnd->src_format->nSamplesPerSec;
    const UINT32 frames = rate * kSoundLatencyMs / 1000;
    for (int block = 0; block < blocks; ++block) {
        const QByteArray samples = tone(rate, frames, UINT32(block) * frames);
        rdpsnd->SendSamples(rdpsnd, samples.constData(), int(frames), UINT16(GetTickCount() & 0xFFFF));
    }
}

BOOL TestChannelRdpServer::Peer::dispChannelAssigned(DispServerContext* context, UINT32 channelId)
{
    static_cast<Peer*>(context->custom)->dispChannelId = channelId;
    return TRUE;
}

BOOL TestChannelRdpServer::Peer::dynamicChannelCreated(void* userdata, UINT32 channelId, INT32 status)
{
    Peer* peer = static_cast<Peer*>(userdata);
    if (peer->disp && channelId == peer->dispChannelId && status >= 0) {
        const std::lock_guard lock(peer->server->m_mutex);
        peer->server->m_displayControlOpened = true;
    }
    return TRUE;
}

UINT TestChannelRdpServer::Peer::monitorLayout(DispServerContext* context,
                                               const DISPLAY_CONTROL_MONITOR_LAYOUT_PDU* pdu)
{
    Peer* peer = static_cast<Peer*>(context->custom);
    if (pdu->NumMonitors == 0) {
        return CHANNEL_RC_OK;
    }
    const DISPLAY_CONTROL_MONITOR_LAYOUT* primary = &pdu->Monitors[0];
    for (UINT32 i = 0; i < pdu->NumMonitors; ++i) {
        if (pdu->Monitors[i].Flags & DISPLAY_CONTROL_MONITOR_PRIMARY) {
            primary = &pdu->Monitors[i];
        }
    }
    const QSize size(int(primary->Width), int(primary->Height));
    const std::lock_guard lock(peer->server->m_mutex);
    peer->server->m_lastLayout = size;
    peer->resizeTo = size;
    SetEvent(peer->wake);
    return CHANNEL_RC_OK;
}

void TestChannelRdpServer::wakePeers(const std::function<void(Peer*)>& change)
{
    for (const std::unique_ptr<Peer>& peer : m_peers) {
        if (peer->client) {
            change(peer.get());
            SetEvent(peer->wake);
        }
    }
}

void TestChannelRdpServer::setRemote(const RemoteClipboard& clipboard)
{
    const std::lock_guard lock(m_mutex);
    m_remote = clipboard;
    wakePeers([](Peer* peer) { peer->announce = true; });
}

void TestChannelRdpServer::holdDataAnswers(bool hold)
{
    const std::lock_guard lock(m_mutex);
    m_holdAnswers = hold;
    wakePeers([](Peer*) {});
}

void TestChannelRdpServer::setRemoteText(const QString& text)
{
    RemoteClipboard clipboard;
    clipboard.format = CF_UNICODETEXT;
    clipboard.data = QByteArray(reinterpret_cast<const char*>(text.utf16()), int(text.size() + 1) * 2);
    setRemote(clipboard);
}

void TestChannelRdpServer::setRemoteImage(const QImage& image)
{
    RemoteClipboard clipboard;
    clipboard.format = CF_DIB;
    clipboard.data = imageToDib(image);
    setRemote(clipboard);
}

void TestChannelRdpServer::setRemoteFile(const QString& name, const QByteArray& contents)
{
    setRemoteFiles({{name, contents, false}});
}

void TestChannelRdpServer::setRemoteFiles(const QList<RemoteFile>& files)
{
    RemoteClipboard clipboard;
    clipboard.format = kFileGroupFormat;
    clipboard.data = fileDescriptorList(files);
    clipboard.files = files;
    setRemote(clipboard);
}

void TestChannelRdpServer::disconnectAll()
{
    const std::lock_guard lock(m_mutex);
    for (const std::unique_ptr<Peer>& peer : m_peers) {
        if (peer->client) {
            shutdown(peer->client->sockfd, SHUT_RDWR);
        }
    }
}

bool TestChannelRdpServer::requestListing(const QString& driveName, const QString& path)
{
    const std::lock_guard lock(m_mutex);
    for (auto it = m_peers.rbegin(); it != m_peers.rend(); ++it) {
        Peer* peer = it->get();
        if (peer->client && peer->drives.contains(driveName)) {
            // The drive's root is the empty path; entries below it have no trailing backslash.
            QString relative = path;
            while (relative.endsWith(QLatin1Char('\\'))) {
                relative.chop(1);
            }
            m_listing.clear();
            m_listingDone = false;
            peer->listings.append({peer->drives.value(driveName), relative});
            SetEvent(peer->wake);
            return true;
        }
    }
    return false;
}

void TestChannelRdpServer::sendSound(int frames)
{
    const std::lock_guard lock(m_mutex);
    wakePeers([frames](Peer* peer) { peer->soundBlocks += frames; });
}

int TestChannelRdpServer::connectedPeers() const
{
    const std::lock_guard lock(m_mutex);
    return int(std::count_if(m_peers.begin(), m_peers.end(), [](const std::unique_ptr<Peer>& peer) {
        return peer->client && peer->activated;
    }));
}
