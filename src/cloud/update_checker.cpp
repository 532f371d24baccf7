#include "cloud/update_checker.h"

#include "cloud/update_prompter.h"
#include "logger.h"
#include "platform/update_installer.h"

#include <QCryptographicHash>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTimer>

#include <algorithm>
#include <limits>

#if defined(Q_OS_WIN)
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {

QString jsonText(const QJsonObject& object, const char* key)
{
    return object.value(QLatin1String(key)).toString().trimmed();
}

QNetworkRequest makeRequest(const QUrl& url, const QByteArray& accept, int timeoutMs,
                            const QSslConfiguration& tls)
{
    QNetworkRequest request(url);
    request.setRawHeader("Accept", accept);
    request.setTransferTimeout(timeoutMs);
    // Only the service's own host may hand out the installer, so a redirect may not lead elsewhere.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::SameOriginRedirectPolicy);
    request.setSslConfiguration(tls);
    return request;
}

// Everything written to disk is on it before the file is renamed and handed to the installer.
bool flushToDisk(QFile& file)
{
#if defined(Q_OS_WIN)
    return file.flush() && ::_commit(file.handle()) == 0;
#else
    return file.flush() && ::fsync(file.handle()) == 0;
#endif
}

} // namespace

UpdateChecker::UpdateChecker(ServiceEndpoint endpoint, QString runningVersion, IUpdatePrompter& prompter,
                             UpdateInstaller& installer)
    : m_endpoint(std::move(endpoint)), m_runningVersion(std::move(runningVersion)), m_prompter(prompter),
      m_installer(installer), m_tls(tlsConfigurationTrusting(m_endpoint.extraCaCertificates))
{
}

QUrl UpdateChecker::updateEndpoint() const
{
    return QUrl(m_endpoint.baseUrl + QStringLiteral("/api/v1/client/update/") + m_installer.platformKey());
}

int UpdateChecker::compareVersions(const QString& a, const QString& b)
{
    static const QRegularExpression digits(QStringLiteral("\\d+"));
    const auto numbers = [](const QString& text) {
        QList<qulonglong> result;
        QRegularExpressionMatchIterator it = digits.globalMatch(text);
        while (it.hasNext()) {
            // Runs too long for 64 bits saturate; no real version has them.
            bool ok = false;
            const qulonglong value = it.next().captured(0).toULongLong(&ok);
            result.append(ok ? value : std::numeric_limits<qulonglong>::max());
        }
        return result;
    };
    const QList<qulonglong> left = numbers(a);
    const QList<qulonglong> right = numbers(b);
    const qsizetype length = std::max(left.size(), right.size());
    for (qsizetype i = 0; i < length; ++i) {
        const qulonglong x = i < left.size() ? left.at(i) : 0;
        const qulonglong y = i < right.size() ? right.at(i) : 0;
        if (x != y)
            return x < y ? -1 : 1;
    }
    return 0;
}

UpdateInfo UpdateChecker::parseUpdateInfo(const QJsonObject& object, const QString& serviceHost)
{
    if (object.value(QLatin1String("enabled")).toBool() != true)
        return {};
    UpdateInfo info;
    info.latestVersion = jsonText(object, "latest_version");
    info.minimumVersion = jsonText(object, "minimum_version");
    info.downloadUrl = jsonText(object, "download_url");
    info.sha256 = jsonText(object, "sha256").toLower();
    info.releaseNotes = jsonText(object, "release_notes");

    static const QRegularExpression digest(QStringLiteral("^[a-f0-9]{64}$"));
    const QUrl url(info.downloadUrl);
    if (info.latestVersion.isEmpty() || info.downloadUrl.isEmpty() || !url.isValid() ||
        url.scheme() != QLatin1String("https") || url.host().compare(serviceHost, Qt::CaseInsensitive) != 0 ||
        !url.userInfo().isEmpty() || !digest.match(info.sha256).hasMatch()) {
        return {};
    }
    info.available = true;
    return info;
}

QString UpdateChecker::requiredUpdateText(const QString& version, const QString& notes)
{
    return QStringLiteral("发现 NIMBARA %1 更新。\n\n%2\n\n升级完成后才能继续使用本软件。")
        .arg(version, notes.isEmpty() ? QStringLiteral("此版本包含必要的服务兼容更新。") : notes);
}

QString UpdateChecker::manualInstallText(const QString& version, const QString& instruction,
                                         const QString& running, const QString& minimum, bool mayContinue)
{
    QString text = QStringLiteral("NIMBARA %1 更新包已下载并通过校验，但无法自动启动安装程序。\n\n%2\n\n")
                       .arg(version, instruction);
    if (!mayContinue)
        text += QStringLiteral("当前版本 %1 低于会员服务要求的最低版本 %2，安装完成后才能继续使用。")
                    .arg(running, minimum);
    else if (minimum.isEmpty())
        text += QStringLiteral("当前版本 %1 仍可继续使用，安装后重新启动即可。").arg(running);
    else
        text += QStringLiteral(
                    "当前版本 %1 不低于会员服务要求的最低版本 %2，可以先继续使用，安装后重新启动即可。")
                    .arg(running, minimum);
    return text;
}

QJsonObject UpdateChecker::fetchJson(const QUrl& url, int timeoutMs, bool* ok)
{
    QNetworkAccessManager network;
    QNetworkReply* reply = network.get(makeRequest(url, "application/json", timeoutMs, m_tls));
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    timer.setTimerType(Qt::PreciseTimer); // a coarse timer may end the wait up to 5 % early
    bool tooLarge = false;
    QObject::connect(&timer, &QTimer::timeout, reply, &QNetworkReply::abort);
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    // An announcement is a few hundred bytes; a service sending without end is not answering.
    QObject::connect(reply, &QNetworkReply::downloadProgress, reply, [&](qint64 received, qint64) {
        if (received > kMaxAnnouncementSize) {
            tooLarge = true;
            reply->abort();
        }
    });
    timer.start(timeoutMs);
    if (!reply->isFinished())
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    timer.stop();

    const bool succeeded = reply->error() == QNetworkReply::NoError && !tooLarge;
    if (ok)
        *ok = succeeded;
    QJsonObject object;
    if (succeeded)
        object = QJsonDocument::fromJson(reply->read(kMaxAnnouncementSize)).object();
    else
        SPDLOG_INFO("更新检查未完成: {}", reply->errorString());
    reply->deleteLater();
    return object;
}

UpdateInfo UpdateChecker::fetchUpdateInfo()
{
    bool ok = false;
    const QJsonObject object = fetchJson(updateEndpoint(), m_fetchTimeoutMs, &ok);
    if (!ok)
        return {};
    UpdateInfo info = parseUpdateInfo(object, QUrl(m_endpoint.baseUrl).host());
    if (!info.available && object.value(QLatin1String("enabled")).toBool())
        SPDLOG_WARN("会员服务公布的更新信息无效，已忽略");
    return info;
}

bool UpdateChecker::checkForUpdateAtStartup()
{
    for (;;) {
        const UpdateInfo info = fetchUpdateInfo();
        if (!info.available)
            return true;
        const bool behind = compareVersions(m_runningVersion, info.latestVersion) < 0;
        const bool belowMinimum =
            !info.minimumVersion.isEmpty() && compareVersions(m_runningVersion, info.minimumVersion) < 0;
        if (!behind && !belowMinimum)
            return true;

        SPDLOG_INFO("会员服务公布新版本 {}，当前 {}", info.latestVersion, m_runningVersion);
        if (!m_prompter.confirmUpdate(info.latestVersion,
                                      requiredUpdateText(info.latestVersion, info.releaseNotes))) {
            return false;
        }
        QString error;
        QString packagePath;
        switch (downloadAndInstallUpdate(info, &error, &packagePath)) {
        case InstallResult::Started:
            return false;
        case InstallResult::Cancelled:
            continue; // the user's own choice needs no message: the required-update box comes again
        case InstallResult::InstallerFailed: {
            // The verified file stays; a version the service still accepts may go on without it.
            const bool mayContinue = !belowMinimum;
            const QString text =
                manualInstallText(info.latestVersion, m_installer.manualInstruction(packagePath),
                                  m_runningVersion, info.minimumVersion, mayContinue);
            return m_prompter.offerManualInstall(text, mayContinue) && mayContinue;
        }
        case InstallResult::Failed:
            break;
        }
        SPDLOG_WARN("更新失败: {}", error);
        if (!m_prompter.offerRetry(error))
            return false;
        // "重试" asks the service afresh: the announcement may have changed meanwhile.
    }
}

QString UpdateChecker::downloadDirectory() const
{
    if (!m_downloadDirectory.isEmpty())
        return m_downloadDirectory;
    const QString downloads = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
    return downloads.isEmpty() ? QStandardPaths::writableLocation(QStandardPaths::TempLocation) : downloads;
}

UpdateChecker::InstallResult UpdateChecker::downloadAndInstallUpdate(const UpdateInfo& info, QString* error,
                                                                     QString* packagePath)
{
    const auto fail = [error](const QString& text) {
        if (error)
            *error = text;
        return InstallResult::Failed;
    };
    const QUrl url(info.downloadUrl);
    if (!url.isValid() || url.scheme() != QLatin1String("https"))
        return fail(QStringLiteral("更新地址无效。"));

    const QString directory = downloadDirectory();
    if (!QDir().mkpath(directory))
        return fail(QStringLiteral("无法创建更新目录：%1").arg(directory));
    const QString installerPath = directory + QLatin1Char('/') + m_installer.fileName(info.latestVersion);
    const QString partialPath = installerPath + QStringLiteral(".download");
    QFile::remove(partialPath);
    QFile partial(partialPath);
    if (!partial.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return fail(QStringLiteral("无法创建更新文件：%1").arg(partialPath));

    QNetworkAccessManager network;
    QPointer<QNetworkReply> reply =
        network.get(makeRequest(url, "application/octet-stream", m_downloadTimeoutMs, m_tls));
    bool cancelled = false;
    QString writeError;
    QEventLoop loop;
    const auto store = [&] {
        if (!reply->isOpen())
            return; // aborted: nothing more to read
        const QByteArray chunk = reply->readAll();
        if (!chunk.isEmpty() && writeError.isEmpty() && partial.write(chunk) != chunk.size()) {
            writeError = partial.errorString();
            reply->abort();
        }
    };
    QObject::connect(reply, &QNetworkReply::readyRead, &loop, store);
    QObject::connect(reply, &QNetworkReply::downloadProgress, &loop, [this](qint64 received, qint64 total) {
        if (total > 0)
            m_prompter.setDownloadProgress(static_cast<int>(received * 100 / total));
    });
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    m_prompter.beginDownload(QStringLiteral("正在下载 NIMBARA %1 更新…").arg(info.latestVersion), [&] {
        cancelled = true;
        if (reply)
            reply->abort();
    });
    if (!reply->isFinished())
        loop.exec();
    store();
    const bool flushed = writeError.isEmpty() && flushToDisk(partial);
    if (writeError.isEmpty() && !flushed)
        writeError = partial.errorString();
    partial.close();
    const bool downloaded = reply->error() == QNetworkReply::NoError && !cancelled && writeError.isEmpty();
    const QString replyError = writeError.isEmpty() ? reply->errorString() : writeError;
    reply->deleteLater();
    m_prompter.endDownload();
    if (cancelled) {
        QFile::remove(partialPath);
        SPDLOG_INFO("已取消下载更新包");
        return InstallResult::Cancelled;
    }
    if (!downloaded) {
        QFile::remove(partialPath);
        return fail(QStringLiteral("更新包下载失败：%1").arg(replyError));
    }

    QFile downloadedFile(partialPath);
    if (!downloadedFile.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("无法读取下载的更新包。"));
    QCryptographicHash hash(QCryptographicHash::Sha256);
    while (!downloadedFile.atEnd()) {
        const QByteArray block = downloadedFile.read(kHashBlockSize);
        if (block.isEmpty() && downloadedFile.error() != QFileDevice::NoError) {
            downloadedFile.close();
            QFile::remove(partialPath);
            return fail(QStringLiteral("无法读取下载的更新包。"));
        }
        hash.addData(block);
    }
    downloadedFile.close();
    if (QString::fromLatin1(hash.result().toHex()) != info.sha256) {
        QFile::remove(partialPath);
        SPDLOG_WARN("更新包 SHA-256 与会员服务公布的不符，已删除");
        return fail(QStringLiteral("更新包校验失败，已取消安装。"));
    }

    QFile::remove(installerPath);
    if (!QFile::rename(partialPath, installerPath))
        return fail(QStringLiteral("无法准备更新安装程序。"));
    QString startError;
    if (!m_installer.start(installerPath, &startError)) {
        SPDLOG_WARN("无法启动更新安装程序 {}: {}", installerPath, startError);
        if (packagePath)
            *packagePath = installerPath;
        fail(QStringLiteral("无法启动更新安装程序。"));
        return InstallResult::InstallerFailed;
    }
    SPDLOG_INFO("更新安装程序已启动: {}", installerPath);
    return InstallResult::Started;
}
