#include "rdp/freerdp_clipboard.h"

#include "logger.h"
#include "rdp/freerdp_channels.h"
#include "rdp/freerdp_session.h"

#include <freerdp/channels/cliprdr.h>
#include <freerdp/client/cliprdr.h>
#include <freerdp/utils/cliprdr_utils.h>
#include <winpr/shell.h>

#include <QBuffer>
#include <QClipboard>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QMimeData>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <QUrl>
#include <QtEndian>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

const char kFileListName[] = "FileGroupDescriptorW";
constexpr quint32 kDirectoryAttribute = 0x10; // FILE_ATTRIBUTE_DIRECTORY
constexpr int kBitmapFileHeader = 14;
constexpr quint32 kBitFields = 3; // BI_BITFIELDS
// A server's request for more than this of a file gets this much; it asks again for the rest.
constexpr quint32 kMaxAnswer = 8 * 1024 * 1024;

FreeRdpClipboard* clipboardOf(FreeRdpSession* session)
{
    return session ? session->clipboard() : nullptr;
}

template <typename Call> UINT deliver(CliprdrClientContext* context, Call call)
{
    auto* state = static_cast<FreeRdpSessionState*>(context->custom);
    if (state) {
        FreeRdpSession::postToSession(*state, [call = std::move(call)](FreeRdpSession* session) {
            if (FreeRdpClipboard* clipboard = clipboardOf(session)) {
                call(*clipboard);
            }
        });
    }
    return CHANNEL_RC_OK;
}

UINT channelMonitorReady(CliprdrClientContext* context, const CLIPRDR_MONITOR_READY*)
{
    return deliver(context, [](FreeRdpClipboard& clipboard) { clipboard.onMonitorReady(); });
}

UINT channelServerCapabilities(CliprdrClientContext* context, const CLIPRDR_CAPABILITIES* capabilities)
{
    quint32 flags = 0;
    const auto* set = reinterpret_cast<const BYTE*>(capabilities->capabilitySets);
    for (UINT32 i = 0; set && i < capabilities->cCapabilitiesSets; ++i) {
        const auto* header = reinterpret_cast<const CLIPRDR_CAPABILITY_SET*>(set);
        if (header->capabilitySetType == CB_CAPSTYPE_GENERAL) {
            flags = reinterpret_cast<const CLIPRDR_GENERAL_CAPABILITY_SET*>(set)->generalFlags;
        }
        set += sizeof(CLIPRDR_GENERAL_CAPABILITY_SET);
    }
    return deliver(context, [flags](FreeRdpClipboard& clipboard) { clipboard.onServerCapabilities(flags); });
}

UINT channelServerFormatList(CliprdrClientContext* context, const CLIPRDR_FORMAT_LIST* list)
{
    QList<QPair<quint32, QString>> formats;
    for (UINT32 i = 0; i < list->numFormats; ++i) {
        formats.append({list->formats[i].formatId, QString::fromUtf8(list->formats[i].formatName)});
    }
    CLIPRDR_FORMAT_LIST_RESPONSE response = {};
    response.msgType = CB_FORMAT_LIST_RESPONSE;
    response.msgFlags = CB_RESPONSE_OK;
    const UINT status = context->ClientFormatListResponse(context, &response);
    deliver(context, [formats](FreeRdpClipboard& clipboard) { clipboard.onServerFormatList(formats); });
    return status;
}

UINT channelServerFormatListResponse(CliprdrClientContext*, const CLIPRDR_FORMAT_LIST_RESPONSE*)
{
    return CHANNEL_RC_OK;
}

UINT channelDataRequest(CliprdrClientContext* context, const CLIPRDR_FORMAT_DATA_REQUEST* request)
{
    const quint32 format = request->requestedFormatId;
    return deliver(context, [format](FreeRdpClipboard& clipboard) { clipboard.onDataRequest(format); });
}

UINT channelDataResponse(CliprdrClientContext* context, const CLIPRDR_FORMAT_DATA_RESPONSE* response)
{
    const bool ok = (response->msgFlags & CB_RESPONSE_OK) != 0;
    QByteArray data;
    if (ok && response->requestedFormatData) {
        data = QByteArray(reinterpret_cast<const char*>(response->requestedFormatData),
                          static_cast<qsizetype>(response->dataLen));
    }
    return deliver(context, [ok, data](FreeRdpClipboard& clipboard) { clipboard.onDataResponse(ok, data); });
}

UINT channelFileContentsRequest(CliprdrClientContext* context, const CLIPRDR_FILE_CONTENTS_REQUEST* request)
{
    const quint32 streamId = request->streamId;
    const quint32 index = request->listIndex;
    const quint32 flags = request->dwFlags;
    const quint64 position = (quint64(request->nPositionHigh) << 32) | request->nPositionLow;
    const quint32 requested = request->cbRequested;
    return deliver(context, [=](FreeRdpClipboard& clipboard) {
        clipboard.onFileContentsRequest(streamId, index, flags, position, requested);
    });
}

UINT channelFileContentsResponse(CliprdrClientContext* context,
                                 const CLIPRDR_FILE_CONTENTS_RESPONSE* response)
{
    const bool ok = (response->msgFlags & CB_RESPONSE_OK) != 0;
    const quint32 streamId = response->streamId;
    QByteArray data;
    if (ok && response->requestedData) {
        data = QByteArray(reinterpret_cast<const char*>(response->requestedData),
                          static_cast<qsizetype>(response->cbRequested));
    }
    return deliver(context, [ok, streamId, data](FreeRdpClipboard& clipboard) {
        clipboard.onFileContentsResponse(ok, streamId, data);
    });
}

UINT channelLock(CliprdrClientContext*, const CLIPRDR_LOCK_CLIPBOARD_DATA*)
{
    return CHANNEL_RC_OK;
}
UINT channelUnlock(CliprdrClientContext*, const CLIPRDR_UNLOCK_CLIPBOARD_DATA*)
{
    return CHANNEL_RC_OK;
}

QList<QFileInfo> localFiles(const QMimeData* data)
{
    QList<QFileInfo> files;
    for (const QUrl& url : data->urls()) {
        const QFileInfo info(url.toLocalFile());
        if (url.isLocalFile() && info.isFile() && files.size() < FreeRdpClipboard::kMaxFiles) {
            files.append(info);
        }
    }
    return files;
}

} // namespace

struct FreeRdpClipboard::Incoming
{
    struct File
    {
        QString name;
        qint64 size = -1;
        quint32 listIndex = 0; // in the server's list
    };
    QList<File> files;
    int index = 0;
    quint32 streamId = 0;
    qint64 received = 0;
    qint64 total = 0;
    std::unique_ptr<QFile> out;
    QList<QUrl> done;
};

FreeRdpClipboard::FreeRdpClipboard(FreeRdpChannels& channels, QObject* parent)
    : QObject(parent), m_channels(channels)
{
    if (QClipboard* clipboard = QGuiApplication::clipboard()) {
        connect(clipboard, &QClipboard::dataChanged, this, &FreeRdpClipboard::onLocalChanged);
    }
}

FreeRdpClipboard::~FreeRdpClipboard() = default;

void FreeRdpClipboard::hook(_cliprdr_client_context* context, FreeRdpSessionState* state)
{
    context->custom = state;
    context->MonitorReady = &channelMonitorReady;
    context->ServerCapabilities = &channelServerCapabilities;
    context->ServerFormatList = &channelServerFormatList;
    context->ServerFormatListResponse = &channelServerFormatListResponse;
    context->ServerLockClipboardData = &channelLock;
    context->ServerUnlockClipboardData = &channelUnlock;
    context->ServerFormatDataRequest = &channelDataRequest;
    context->ServerFormatDataResponse = &channelDataResponse;
    context->ServerFileContentsRequest = &channelFileContentsRequest;
    context->ServerFileContentsResponse = &channelFileContentsResponse;
}

void FreeRdpClipboard::setActive(bool active)
{
    if (active == m_active) {
        return;
    }
    m_active = active;
    if (active) {
        announceLocal();
    }
}

void FreeRdpClipboard::onChannelClosed()
{
    m_channelReady = false;
    m_requests.clear();
    m_incoming.reset();
}

void FreeRdpClipboard::onMonitorReady()
{
    m_channelReady = true;
    m_requests.clear();
    m_incoming.reset();
    CLIPRDR_GENERAL_CAPABILITY_SET general = {};
    general.capabilitySetType = CB_CAPSTYPE_GENERAL;
    general.capabilitySetLength = CB_CAPSTYPE_GENERAL_LEN;
    general.version = CB_CAPS_VERSION_2;
    general.generalFlags = CB_USE_LONG_FORMAT_NAMES;
    if (m_filesAllowed) {
        general.generalFlags |=
            CB_STREAM_FILECLIP_ENABLED | CB_FILECLIP_NO_FILE_PATHS | CB_HUGE_FILE_SUPPORT_ENABLED;
    }
    CLIPRDR_CAPABILITIES capabilities = {};
    capabilities.msgType = CB_CLIP_CAPS;
    capabilities.cCapabilitiesSets = 1;
    capabilities.capabilitySets = reinterpret_cast<CLIPRDR_CAPABILITY_SET*>(&general);
    m_channels.withClipboard(
        [&](CliprdrClientContext* context) { context->ClientCapabilities(context, &capabilities); });
    // The channel expects a format list now, an empty one from a session that shares nothing yet.
    if (m_active) {
        announceLocal();
    } else {
        sendFormatList({});
    }
}

void FreeRdpClipboard::onServerCapabilities(quint32 flags)
{
    m_serverFlags = flags;
}

void FreeRdpClipboard::onLocalChanged()
{
    const QClipboard* clipboard = QGuiApplication::clipboard();
    if (!m_active || (m_ownData && clipboard->mimeData() == m_ownData.data())) {
        return;
    }
    announceLocal();
}

void FreeRdpClipboard::announceLocal()
{
    if (!m_channelReady) {
        return;
    }
    const QMimeData* data = QGuiApplication::clipboard()->mimeData();
    if (m_ownData && data == m_ownData.data()) {
        return; // the server's own copy
    }
    m_offeredText.clear();
    m_offeredImage = QImage();
    m_offeredFiles.clear();
    QList<QPair<quint32, QString>> formats;
    if (data) {
        if (m_filesAllowed && (m_serverFlags & CB_STREAM_FILECLIP_ENABLED) && data->hasUrls()) {
            m_offeredFiles = localFiles(data);
            if (!m_offeredFiles.isEmpty()) {
                formats.append({kFileListFormat, QString::fromLatin1(kFileListName)});
            }
        }
        if (data->hasText()) {
            m_offeredText = data->text();
            formats.append({kUnicodeText, QString()});
        }
        if (data->hasImage()) {
            m_offeredImage = qvariant_cast<QImage>(data->imageData());
            if (!m_offeredImage.isNull()) {
                formats.append({kDib, QString()});
            }
        }
    }
    sendFormatList(formats);
}

void FreeRdpClipboard::sendFormatList(const QList<QPair<quint32, QString>>& formats)
{
    std::vector<QByteArray> names;
    std::vector<CLIPRDR_FORMAT> entries;
    names.reserve(formats.size());
    for (const auto& [id, name] : formats) {
        names.push_back(name.toUtf8());
        entries.push_back({id, name.isEmpty() ? nullptr : names.back().data()});
    }
    CLIPRDR_FORMAT_LIST list = {};
    list.msgType = CB_FORMAT_LIST;
    list.numFormats = static_cast<UINT32>(entries.size());
    list.formats = entries.empty() ? nullptr : entries.data();
    m_channels.withClipboard(
        [&](CliprdrClientContext* context) { context->ClientFormatList(context, &list); });
}

void FreeRdpClipboard::onServerFormatList(const QList<QPair<quint32, QString>>& formats)
{
    if (!m_active) {
        return; // an inactive session keeps the local clipboard as it is
    }
    // A newer list makes the answers still due for the old one worthless.
    for (Request& request : m_requests) {
        request.current = false;
    }
    m_incoming.reset();
    quint32 wanted = 0;
    for (const auto& [id, name] : formats) {
        if (m_filesAllowed && name == QLatin1String(kFileListName)) {
            wanted = id;
            break;
        }
    }
    const auto offers = [&formats](quint32 id) {
        return std::any_of(formats.begin(), formats.end(),
                           [id](const auto& format) { return format.first == id; });
    };
    if (wanted == 0 && offers(kUnicodeText)) {
        wanted = kUnicodeText;
    } else if (wanted == 0 && offers(kDib)) {
        wanted = kDib;
    }
    if (wanted != 0) {
        requestData(wanted);
    }
}

void FreeRdpClipboard::requestData(quint32 formatId)
{
    CLIPRDR_FORMAT_DATA_REQUEST request = {};
    request.msgType = CB_FORMAT_DATA_REQUEST;
    request.dataLen = 4;
    request.requestedFormatId = formatId;
    if (m_channels.withClipboard(
            [&](CliprdrClientContext* context) { context->ClientFormatDataRequest(context, &request); })) {
        m_requests.push_back({formatId, true});
    }
}

void FreeRdpClipboard::onDataResponse(bool ok, const QByteArray& data)
{
    if (m_requests.empty()) {
        return;
    }
    const auto [format, current] = m_requests.front();
    m_requests.pop_front();
    if (!current) {
        return;
    }
    if (!ok) {
        SPDLOG_INFO("远程剪贴板未提供数据 (格式 {})", format);
        return;
    }
    if (format == kUnicodeText) {
        auto* mime = new QMimeData;
        mime->setText(unicodeToText(data));
        setLocal(mime);
        emit received();
    } else if (format == kDib) {
        const QImage image = dibToImage(data);
        if (image.isNull()) {
            emit failed(QStringLiteral("远程剪贴板中的图片无法读取"));
            return;
        }
        auto* mime = new QMimeData;
        mime->setImageData(image);
        setLocal(mime);
        emit received();
    } else {
        FILEDESCRIPTORW* descriptors = nullptr;
        UINT32 count = 0;
        if (cliprdr_parse_file_list(reinterpret_cast<const BYTE*>(data.constData()),
                                    static_cast<UINT32>(data.size()), &descriptors, &count) != NO_ERROR) {
            emit failed(QStringLiteral("远程剪贴板中的文件列表无法读取"));
            return;
        }
        auto incoming = std::make_unique<Incoming>();
        for (UINT32 i = 0; i < count && incoming->files.size() < kMaxFiles; ++i) {
            const FILEDESCRIPTORW& file = descriptors[i];
            const auto* name = reinterpret_cast<const char16_t*>(file.cFileName);
            const QString fileName =
                safeFileName(QString::fromUtf16(name, std::find(name, name + 260, u'\0') - name));
            // Folders and what is inside them (names with a path) are not taken over, nor a name twice.
            const bool taken =
                std::any_of(incoming->files.begin(), incoming->files.end(), [&](const auto& f) {
                    return f.name.compare(fileName, Qt::CaseInsensitive) == 0;
                });
            if ((file.dwFileAttributes & kDirectoryAttribute) || fileName.isEmpty() || taken) {
                SPDLOG_INFO("远程剪贴板中的文件夹或文件名不可用，已跳过");
                continue;
            }
            incoming->files.append({fileName, -1, i});
        }
        std::free(descriptors);
        if (incoming->files.isEmpty()) {
            emit failed(QStringLiteral("远程剪贴板中没有可复制的文件"));
            return;
        }
        auto folder =
            std::make_unique<QTemporaryDir>(QDir::temp().filePath(QStringLiteral("nimbara-clip-XXXXXX")));
        if (!folder->isValid()) {
            emit failed(QStringLiteral("无法创建接收文件的临时文件夹: %1").arg(folder->errorString()));
            return;
        }
        m_receivedFiles = std::move(folder);
        m_incoming = std::move(incoming);
        requestFileContents(true);
    }
}

void FreeRdpClipboard::requestFileContents(bool size)
{
    Incoming& in = *m_incoming;
    CLIPRDR_FILE_CONTENTS_REQUEST request = {};
    request.msgType = CB_FILECONTENTS_REQUEST;
    // Stream ids go on across transfers: an abandoned transfer's late answer must not match a newer one.
    request.streamId = in.streamId = ++m_lastStreamId;
    request.listIndex = in.files[in.index].listIndex;
    request.dwFlags = size ? FILECONTENTS_SIZE : FILECONTENTS_RANGE;
    request.nPositionLow = static_cast<UINT32>(in.received & 0xFFFFFFFF);
    request.nPositionHigh = static_cast<UINT32>(in.received >> 32);
    request.cbRequested =
        size ? 8 : static_cast<UINT32>(std::min<qint64>(kMaxChunk, in.files[in.index].size - in.received));
    if (!m_channels.withClipboard(
            [&](CliprdrClientContext* context) { context->ClientFileContentsRequest(context, &request); })) {
        m_incoming.reset();
    }
}

void FreeRdpClipboard::onFileContentsResponse(bool ok, quint32 streamId, const QByteArray& data)
{
    if (!m_incoming || streamId != m_incoming->streamId) {
        return;
    }
    Incoming& in = *m_incoming;
    Incoming::File& file = in.files[in.index];
    if (!ok) {
        failIncoming(QStringLiteral("远程端拒绝提供文件: %1").arg(file.name));
        return;
    }
    if (!in.out) {
        // The answer to the size request.
        if (data.size() < 8) {
            failIncoming(QStringLiteral("远程端未提供文件大小: %1").arg(file.name));
            return;
        }
        file.size = static_cast<qint64>(qFromLittleEndian<quint64>(data.constData()));
        in.total += file.size;
        if (file.size < 0 || in.total > kMaxIncomingBytes) {
            failIncoming(QStringLiteral("远程剪贴板中的文件过大（上限 4 GiB）"));
            return;
        }
        if (QStorageInfo(m_receivedFiles->path()).bytesAvailable() < file.size) {
            failIncoming(QStringLiteral("磁盘空间不足，无法接收文件: %1").arg(file.name));
            return;
        }
        in.out = std::make_unique<QFile>(QDir(m_receivedFiles->path()).filePath(file.name));
        if (!in.out->open(QIODevice::WriteOnly | QIODevice::NewOnly,
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner)) {
            failIncoming(QStringLiteral("无法写入文件 %1: %2").arg(file.name, in.out->errorString()));
            return;
        }
        in.received = 0;
    } else {
        if (data.isEmpty() || data.size() > file.size - in.received) {
            failIncoming(QStringLiteral("远程端提供的文件内容有误: %1").arg(file.name));
            return;
        }
        if (in.out->write(data) != data.size()) {
            failIncoming(QStringLiteral("无法写入文件 %1: %2").arg(file.name, in.out->errorString()));
            return;
        }
        in.received += data.size();
    }
    if (in.received < file.size) {
        requestFileContents(false);
        return;
    }
    if (!in.out->flush()) {
        failIncoming(QStringLiteral("无法写入文件 %1: %2").arg(file.name, in.out->errorString()));
        return;
    }
    in.out->close();
    in.done.append(QUrl::fromLocalFile(in.out->fileName()));
    in.out.reset();
    in.received = 0;
    if (++in.index < in.files.size()) {
        requestFileContents(true);
    } else {
        finishIncomingFiles();
    }
}

void FreeRdpClipboard::finishIncomingFiles()
{
    auto* mime = new QMimeData;
    mime->setUrls(m_incoming->done);
    m_incoming.reset();
    setLocal(mime);
    emit received();
}

void FreeRdpClipboard::failIncoming(const QString& message)
{
    SPDLOG_WARN("远程剪贴板文件复制失败: {}", message);
    m_incoming.reset();
    m_receivedFiles.reset();
    emit failed(message);
}

void FreeRdpClipboard::setLocal(QMimeData* data)
{
    m_ownData = data;
    QGuiApplication::clipboard()->setMimeData(data);
}

void FreeRdpClipboard::onDataRequest(quint32 formatId)
{
    QByteArray data;
    bool have = false;
    if (formatId == kUnicodeText && !m_offeredText.isNull()) {
        data = textToUnicode(m_offeredText);
        have = true;
    } else if (formatId == kDib && !m_offeredImage.isNull()) {
        data = imageToDib(m_offeredImage);
        have = !data.isEmpty();
    } else if (formatId == kFileListFormat && !m_offeredFiles.isEmpty()) {
        std::vector<FILEDESCRIPTORW> descriptors(static_cast<size_t>(m_offeredFiles.size()));
        for (qsizetype i = 0; i < m_offeredFiles.size(); ++i) {
            FILEDESCRIPTORW& d = descriptors[static_cast<size_t>(i)];
            const QFileInfo& info = m_offeredFiles[i];
            d.dwFlags = FD_ATTRIBUTES | FD_FILESIZE | FD_PROGRESSUI;
            d.dwFileAttributes = 0x80; // FILE_ATTRIBUTE_NORMAL
            const quint64 size = static_cast<quint64>(info.size());
            d.nFileSizeHigh = static_cast<DWORD>(size >> 32);
            d.nFileSizeLow = static_cast<DWORD>(size & 0xFFFFFFFF);
            const QString name = info.fileName().left(259);
            std::memcpy(d.cFileName, name.utf16(), static_cast<size_t>(name.size()) * sizeof(char16_t));
        }
        BYTE* serialized = nullptr;
        UINT32 length = 0;
        if (cliprdr_serialize_file_list_ex(m_serverFlags, descriptors.data(),
                                           static_cast<UINT32>(descriptors.size()), &serialized,
                                           &length) == NO_ERROR) {
            data = QByteArray(reinterpret_cast<const char*>(serialized), static_cast<qsizetype>(length));
            have = true;
        }
        std::free(serialized);
    }
    sendDataResponse(have ? &data : nullptr);
}

void FreeRdpClipboard::sendDataResponse(const QByteArray* data)
{
    CLIPRDR_FORMAT_DATA_RESPONSE response = {};
    response.msgType = CB_FORMAT_DATA_RESPONSE;
    response.msgFlags = data ? CB_RESPONSE_OK : CB_RESPONSE_FAIL;
    response.dataLen = data ? static_cast<UINT32>(data->size()) : 0;
    response.requestedFormatData = data ? reinterpret_cast<const BYTE*>(data->constData()) : nullptr;
    m_channels.withClipboard(
        [&](CliprdrClientContext* context) { context->ClientFormatDataResponse(context, &response); });
}

void FreeRdpClipboard::onFileContentsRequest(quint32 streamId, quint32 listIndex, quint32 flags,
                                             quint64 position, quint32 requested)
{
    if (listIndex >= static_cast<quint32>(m_offeredFiles.size())) {
        sendFileContentsResponse(streamId, nullptr);
        return;
    }
    QFile file(m_offeredFiles[static_cast<qsizetype>(listIndex)].absoluteFilePath());
    if (!file.open(QIODevice::ReadOnly)) {
        SPDLOG_WARN("剪贴板文件无法读取: {}", file.errorString());
        sendFileContentsResponse(streamId, nullptr);
        return;
    }
    if (flags & FILECONTENTS_SIZE) {
        QByteArray size(8, '\0');
        qToLittleEndian<quint64>(static_cast<quint64>(file.size()), size.data());
        sendFileContentsResponse(streamId, &size);
        return;
    }
    if (position > static_cast<quint64>(file.size()) || !file.seek(static_cast<qint64>(position))) {
        sendFileContentsResponse(streamId, nullptr);
        return;
    }
    const QByteArray data = file.read(std::min(requested, kMaxAnswer));
    sendFileContentsResponse(streamId, &data);
}

void FreeRdpClipboard::sendFileContentsResponse(quint32 streamId, const QByteArray* data)
{
    CLIPRDR_FILE_CONTENTS_RESPONSE response = {};
    response.msgType = CB_FILECONTENTS_RESPONSE;
    response.msgFlags = data ? CB_RESPONSE_OK : CB_RESPONSE_FAIL;
    response.streamId = streamId;
    response.cbRequested = data ? static_cast<UINT32>(data->size()) : 0;
    response.requestedData = data ? reinterpret_cast<const BYTE*>(data->constData()) : nullptr;
    m_channels.withClipboard(
        [&](CliprdrClientContext* context) { context->ClientFileContentsResponse(context, &response); });
}

QByteArray FreeRdpClipboard::textToUnicode(const QString& text)
{
    QString windows = text;
    windows.replace(QStringLiteral("\r\n"), QStringLiteral("\n"))
        .replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
    QByteArray data(reinterpret_cast<const char*>(windows.utf16()), windows.size() * 2);
    data.append(2, '\0');
    return data;
}

QString FreeRdpClipboard::unicodeToText(const QByteArray& data)
{
    const qsizetype units = std::min<qsizetype>(data.size() / 2, kMaxTextUnits);
    QString text = QString::fromUtf16(reinterpret_cast<const char16_t*>(data.constData()), units);
    const qsizetype end = text.indexOf(QChar(u'\0'));
    if (end >= 0) {
        text.truncate(end);
    }
    return text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
}

QByteArray FreeRdpClipboard::imageToDib(const QImage& image)
{
    QByteArray bmp;
    QBuffer buffer(&bmp);
    if (!buffer.open(QIODevice::WriteOnly) ||
        !image.convertToFormat(QImage::Format_RGB32).save(&buffer, "BMP") ||
        bmp.size() <= kBitmapFileHeader) {
        return {};
    }
    return bmp.mid(kBitmapFileHeader);
}

QImage FreeRdpClipboard::dibToImage(const QByteArray& dib)
{
    if (dib.size() < 40) {
        return {};
    }
    const auto* bytes = reinterpret_cast<const uchar*>(dib.constData());
    const quint32 headerSize = qFromLittleEndian<quint32>(bytes);
    const quint16 bitCount = qFromLittleEndian<quint16>(bytes + 14);
    const quint32 compression = qFromLittleEndian<quint32>(bytes + 16);
    const quint32 colorsUsed = qFromLittleEndian<quint32>(bytes + 32);
    if (headerSize < 40 || headerSize > static_cast<quint32>(dib.size()) || colorsUsed > 256) {
        return {};
    }
    quint64 offset = kBitmapFileHeader + quint64(headerSize);
    if (compression == kBitFields && headerSize == 40) {
        offset += 12;
    }
    if (bitCount <= 8) {
        offset += 4 * quint64(colorsUsed ? colorsUsed : (1U << bitCount));
    }
    if (offset > kBitmapFileHeader + quint64(dib.size())) {
        return {};
    }
    QByteArray file(kBitmapFileHeader, '\0');
    file[0] = 'B';
    file[1] = 'M';
    qToLittleEndian<quint32>(static_cast<quint32>(kBitmapFileHeader + dib.size()), file.data() + 2);
    qToLittleEndian<quint32>(static_cast<quint32>(offset), file.data() + 10);
    return QImage::fromData(file + dib, "BMP");
}

QString FreeRdpClipboard::safeFileName(const QString& name)
{
    static const QString kForbidden = QStringLiteral("/\\:*?\"<>|");
    QString clean;
    for (const QChar c : name) {
        if (kForbidden.contains(c) || c.unicode() < 0x20) {
            return {};
        }
        clean.append(c);
    }
    clean = clean.trimmed();
    if (clean.isEmpty() || clean == QLatin1String(".") || clean == QLatin1String("..")) {
        return {};
    }
    return clean;
}
