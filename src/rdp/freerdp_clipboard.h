#pragma once

#include <QByteArray>
#include <QFileInfo>
#include <QImage>
#include <QList>
#include <QObject>
#include <QPair>
#include <QPointer>
#include <QString>

#include <deque>
#include <memory>

class FreeRdpChannels;
class QFile;
class QMimeData;
class QTemporaryDir;
struct FreeRdpSessionState;
struct _cliprdr_client_context;

// One session's clipboard channel and the local clipboard: text, images and (when allowed) files both
// ways. Lives on the GUI thread; the channel's callbacks come on the session's worker and are handed
// over queued. Only an active session (the focused or zoomed one) exchanges anything, so a wall of
// sessions does not send every copy to every server.
class FreeRdpClipboard : public QObject
{
    Q_OBJECT
public:
    // Formats of the clipboard channel (MS-RDPECLIP): the standard ones and the name files travel under.
    static constexpr quint32 kUnicodeText = 13; // CF_UNICODETEXT
    static constexpr quint32 kDib = 8;          // CF_DIB
    static constexpr quint32 kFileListFormat = 0xC0F1;
    static constexpr int kMaxChunk = 64 * 1024;
    static constexpr qint64 kMaxIncomingBytes = qint64(4) * 1024 * 1024 * 1024;
    static constexpr int kMaxFiles = 1000;
    static constexpr int kMaxTextUnits = 16 * 1024 * 1024;

    FreeRdpClipboard(FreeRdpChannels& channels, QObject* parent = nullptr);
    ~FreeRdpClipboard() override;

    void setFilesAllowed(bool allowed) { m_filesAllowed = allowed; }
    void setActive(bool active);
    bool isActive() const { return m_active; }

    // Worker: answers the channel's callbacks through the session that owns `state`.
    static void hook(_cliprdr_client_context* context, FreeRdpSessionState* state);

    // Conversions between the channel's formats and Qt's, public for their tests.
    static QByteArray textToUnicode(const QString& text);
    static QString unicodeToText(const QByteArray& data);
    static QByteArray imageToDib(const QImage& image);
    static QImage dibToImage(const QByteArray& dib);
    // A file name from the remote side that is safe to create in a folder of ours; empty when it is none.
    static QString safeFileName(const QString& name);

    // The session's side of the channel's callbacks, on the GUI thread.
    void onMonitorReady();
    void onChannelClosed();
    void onServerCapabilities(quint32 flags);
    void onServerFormatList(const QList<QPair<quint32, QString>>& formats);
    void onDataRequest(quint32 formatId);
    void onDataResponse(bool ok, const QByteArray& data);
    void onFileContentsRequest(quint32 streamId, quint32 listIndex, quint32 flags, quint64 position,
                               quint32 requested);
    void onFileContentsResponse(bool ok, quint32 streamId, const QByteArray& data);

signals:
    // A copy from the remote side reached the local clipboard, or failed with a reason to show.
    void received();
    void failed(const QString& message);

private:
    struct Incoming;

    void announceLocal();
    void onLocalChanged();
    void sendFormatList(const QList<QPair<quint32, QString>>& formats);
    void requestData(quint32 formatId);
    void sendDataResponse(const QByteArray* data);
    void sendFileContentsResponse(quint32 streamId, const QByteArray* data);
    void requestFileContents(bool size);
    void finishIncomingFiles();
    void failIncoming(const QString& message);
    void setLocal(QMimeData* data);

    FreeRdpChannels& m_channels;
    bool m_active = false;
    bool m_filesAllowed = true;
    bool m_channelReady = false;
    quint32 m_serverFlags = 0;
    // What the last announcement offered: the answers to the server's requests come from it, not from a
    // clipboard that may have changed since.
    QString m_offeredText;
    QImage m_offeredImage;
    QList<QFileInfo> m_offeredFiles;
    // Formats asked of the server and not answered yet, oldest first (answers come in order). A newer
    // announcement leaves the older requests in place, no longer current: their answers are still due and
    // must not be taken for the answers to the newer ones.
    struct Request
    {
        quint32 format;
        bool current;
    };
    std::deque<Request> m_requests;
    std::unique_ptr<Incoming> m_incoming;
    quint32 m_lastStreamId = 0;
    std::unique_ptr<QTemporaryDir> m_receivedFiles;
    QPointer<QMimeData> m_ownData;
};
