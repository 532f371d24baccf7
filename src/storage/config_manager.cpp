#include "storage/config_manager.h"

#include "logger.h"
#include "platform/atomic_file_writer.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QMetaObject>

#include <toml++/toml.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

// Index just past the string that opens at `begin` (a quote character), following the TOML
// string forms closely enough that quotes and brackets inside strings are never mistaken for
// structure.
size_t skipString(std::string_view text, size_t begin)
{
    const char quote = text[begin];
    const bool basic = quote == '"';
    const size_t n = text.size();
    const bool multiLine = begin + 2 < n && text[begin + 1] == quote && text[begin + 2] == quote;
    size_t i = begin + (multiLine ? 3 : 1);
    while (i < n) {
        const char c = text[i];
        if (basic && c == '\\') {
            i += 2;
            continue;
        }
        if (!multiLine && c == '\n')
            return i;
        if (c == quote) {
            if (!multiLine)
                return i + 1;
            if (i + 2 < n && text[i + 1] == quote && text[i + 2] == quote) {
                i += 3;
                // Up to two more quotes still belong to the content.
                for (int extra = 0; extra < 2 && i < n && text[i] == quote; ++extra)
                    ++i;
                return i;
            }
        }
        ++i;
    }
    return n;
}

// Upper bound of the table/array nesting that parsing `text` can build. toml++ caps nested
// arrays and inline tables but not dotted keys, and it walks and frees the tree recursively, so
// a long dotted key (a few hundred kilobytes) would otherwise overflow the stack.
int nestingDepth(std::string_view text)
{
    struct Level
    {
        bool inlineTable;
        int depth;
        bool inValue; // inline tables: between '=' and the next ',' or '}'
    };
    std::vector<Level> levels; // open arrays and inline tables
    int tableDepth = 0;        // table chosen by the last [header]
    bool topInValue = false;   // top level: between '=' and the end of the line
    bool inHeader = false;
    bool arrayHeader = false;
    int dots = 0;       // dots in the key being read
    int valueDepth = 0; // depth of the value after the last '='
    int deepest = 0;

    const auto inKey = [&] {
        if (levels.empty())
            return inHeader || !topInValue;
        return levels.back().inlineTable && !levels.back().inValue;
    };
    const auto keyBase = [&] {
        return levels.empty() ? tableDepth : levels.back().depth;
    };
    const auto containerDepth = [&] {
        if (!levels.empty() && !levels.back().inlineTable)
            return levels.back().depth + 1;
        return valueDepth;
    };

    const size_t n = text.size();
    for (size_t i = 0; i < n; ++i) {
        switch (text[i]) {
        case '#':
            while (i + 1 < n && text[i + 1] != '\n')
                ++i;
            break;
        case '"':
        case '\'':
            i = skipString(text, i) - 1;
            break;
        case '\n':
            if (levels.empty())
                topInValue = false;
            break;
        case '.':
            if (inKey()) {
                ++dots;
                deepest = std::max(deepest, keyBase() + dots + 1);
            }
            break;
        case '=':
            if (inKey() && !inHeader) {
                valueDepth = keyBase() + dots + 1;
                deepest = std::max(deepest, valueDepth);
                dots = 0;
                if (levels.empty())
                    topInValue = true;
                else
                    levels.back().inValue = true;
            }
            break;
        case '[':
            if (levels.empty() && !topInValue && !inHeader) {
                inHeader = true;
                arrayHeader = i + 1 < n && text[i + 1] == '[';
                if (arrayHeader)
                    ++i;
                dots = 0;
            } else {
                levels.push_back({false, containerDepth(), true});
                deepest = std::max(deepest, levels.back().depth);
            }
            break;
        case '{':
            levels.push_back({true, containerDepth(), false});
            deepest = std::max(deepest, levels.back().depth);
            dots = 0;
            break;
        case ']':
            if (inHeader && levels.empty()) {
                // An array of tables adds the array itself above its table.
                tableDepth = dots + (arrayHeader ? 2 : 1);
                deepest = std::max(deepest, tableDepth);
                inHeader = false;
                dots = 0;
                if (arrayHeader && i + 1 < n && text[i + 1] == ']')
                    ++i;
            } else if (!levels.empty() && !levels.back().inlineTable) {
                levels.pop_back();
            }
            break;
        case '}':
            if (!levels.empty() && levels.back().inlineTable)
                levels.pop_back();
            break;
        case ',':
            if (!levels.empty() && levels.back().inlineTable) {
                levels.back().inValue = false;
                dots = 0;
            }
            break;
        default:
            break;
        }
    }
    return deepest;
}

const toml::node* findKey(const toml::table& root, std::string_view section, std::string_view key)
{
    const toml::table* table = root.get_as<toml::table>(section);
    return table ? table->get(key) : nullptr;
}

// Integers, whole finite floating-point numbers within int64 and booleans (0/1).
std::optional<std::int64_t> integerValue(const toml::node* node)
{
    if (!node)
        return std::nullopt;
    if (const auto* integer = node->as_integer())
        return integer->get();
    if (const auto* boolean = node->as_boolean())
        return boolean->get() ? 1 : 0;
    if (const auto* floating = node->as_floating_point()) {
        const double value = floating->get();
        // 2^63 is exactly representable; the int64 range is [-2^63, 2^63).
        constexpr double kLimit = 9223372036854775808.0;
        if (std::isfinite(value) && std::trunc(value) == value && value >= -kLimit && value < kLimit)
            return static_cast<std::int64_t>(value);
    }
    return std::nullopt;
}

void readText(const toml::node* node, QString& field)
{
    if (const auto* text = node ? node->as_string() : nullptr) {
        const std::string& utf8 = text->get();
        field = QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
    }
}

void readInt(const toml::node* node, int& field)
{
    // The low 32 bits are kept, as the settings are plain ints.
    if (const auto value = integerValue(node))
        field = static_cast<int>(static_cast<std::uint32_t>(*value));
}

void readBool(const toml::node* node, bool& field)
{
    if (!node)
        return;
    if (const auto* boolean = node->as_boolean())
        field = boolean->get();
    else if (const auto* integer = node->as_integer())
        field = integer->get() != 0;
}

template <typename Enum, typename Mapping> void readEnum(const toml::node* node, Enum& field, Mapping mapping)
{
    if (const auto* text = node ? node->as_string() : nullptr)
        field = mapping(std::string_view(text->get()));
}

RdpKernel kernelFromWord(std::string_view word)
{
    if (word == "freerdp")
        return RdpKernel::FreeRdp;
    if (word == "mstsc")
        return RdpKernel::Mstsc;
    return RdpKernel::Auto;
}

ResolutionMode resolutionFromWord(std::string_view word)
{
    if (word == "window")
        return ResolutionMode::Window;
    if (word == "custom")
        return ResolutionMode::Custom;
    return ResolutionMode::Fullscreen;
}

BandwidthMode bandwidthFromWord(std::string_view word)
{
    if (word == "modem")
        return BandwidthMode::Modem;
    if (word == "low")
        return BandwidthMode::Low;
    if (word == "lan")
        return BandwidthMode::Lan;
    return BandwidthMode::High;
}

AudioMode audioFromWord(std::string_view word)
{
    if (word == "remote")
        return AudioMode::Remote;
    if (word == "none")
        return AudioMode::None;
    return AudioMode::Local;
}

const char* kernelWord(RdpKernel kernel)
{
    switch (kernel) {
    case RdpKernel::FreeRdp:
        return "freerdp";
    case RdpKernel::Mstsc:
        return "mstsc";
    default:
        return "auto";
    }
}

const char* resolutionWord(ResolutionMode mode)
{
    switch (mode) {
    case ResolutionMode::Window:
        return "window";
    case ResolutionMode::Custom:
        return "custom";
    default:
        return "fullscreen";
    }
}

const char* bandwidthWord(BandwidthMode mode)
{
    switch (mode) {
    case BandwidthMode::Modem:
        return "modem";
    case BandwidthMode::Low:
        return "low";
    case BandwidthMode::Lan:
        return "lan";
    default:
        return "high";
    }
}

const char* audioWord(AudioMode mode)
{
    switch (mode) {
    case AudioMode::Remote:
        return "remote";
    case AudioMode::None:
        return "none";
    default:
        return "local";
    }
}

// Files written before the engine choice was reworked carry no policy version (or an older
// one); their engine settings are replaced by the current defaults.
bool needsEngineMigration(const toml::node* node)
{
    if (!node)
        return true;
    if (const auto* integer = node->as_integer())
        return integer->get() < 1;
    if (const auto* floating = node->as_floating_point()) {
        const double value = floating->get();
        return std::isnan(value) || value < 1.0;
    }
    return true;
}

void readDrives(const toml::node* node, QStringList& drives)
{
    const auto* array = node ? node->as_array() : nullptr;
    if (!array)
        return;
    drives.clear();
    for (const toml::node& element : *array) {
        if (const auto* text = element.as_string()) {
            const std::string& utf8 = text->get();
            drives.append(QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size())));
        }
    }
}

void applyDocument(const toml::table& root, AppConfig& config)
{
    readText(findKey(root, "app", "version"), config.version);
    readText(findKey(root, "app", "language"), config.language);

    readEnum(findKey(root, "connection", "default_kernel"), config.default_kernel, kernelFromWord);
    readEnum(findKey(root, "connection", "default_resolution"), config.default_resolution,
             resolutionFromWord);
    readInt(findKey(root, "connection", "custom_width"), config.custom_width);
    readInt(findKey(root, "connection", "custom_height"), config.custom_height);
    readInt(findKey(root, "connection", "color_depth"), config.color_depth);
    readEnum(findKey(root, "connection", "bandwidth"), config.bandwidth, bandwidthFromWord);
    readBool(findKey(root, "connection", "reconnect"), config.reconnect);
    readBool(findKey(root, "connection", "smart_forward"), config.smart_forward);
    if (needsEngineMigration(findKey(root, "connection", "engine_policy_version"))) {
        config.default_kernel = RdpKernel::Auto;
        config.smart_forward = true;
        config.color_depth = 32;
    }
    readInt(findKey(root, "connection", "reconnect_times"), config.reconnect_times);
    readInt(findKey(root, "connection", "reconnect_interval"), config.reconnect_interval);
    readInt(findKey(root, "connection", "connect_timeout"), config.connect_timeout);

    readBool(findKey(root, "display", "toolbar_show"), config.toolbar_show);
    readBool(findKey(root, "display", "toolbar_auto_hide"), config.toolbar_auto_hide);
    readInt(findKey(root, "display", "toolbar_auto_hide_delay"), config.toolbar_auto_hide_delay);
    readInt(findKey(root, "display", "screen_wall_rows"), config.screen_wall_rows);
    readInt(findKey(root, "display", "screen_wall_cols"), config.screen_wall_cols);
    readBool(findKey(root, "display", "screen_wall_auto_fill"), config.screen_wall_auto_fill);

    readBool(findKey(root, "share", "clipboard"), config.clipboard);
    readBool(findKey(root, "share", "clipboard_files"), config.clipboard_files);
    readBool(findKey(root, "share", "printers"), config.printers);
    readBool(findKey(root, "share", "usb"), config.usb);
    readEnum(findKey(root, "share", "audio"), config.audio, audioFromWord);
    readDrives(findKey(root, "share", "drives"), config.drives);

    readBool(findKey(root, "sync", "enabled"), config.sync_enabled);
    readBool(findKey(root, "sync", "auto_sync"), config.auto_sync);
    readInt(findKey(root, "sync", "sync_interval"), config.sync_interval);

    readBool(findKey(root, "security", "master_password"), config.master_password);
    readBool(findKey(root, "security", "auto_lock"), config.auto_lock);
    readInt(findKey(root, "security", "auto_lock_timeout"), config.auto_lock_timeout);
    readBool(findKey(root, "security", "show_password"), config.show_password);

    readText(findKey(root, "ssh", "terminal"), config.ssh_terminal);

    readText(findKey(root, "account", "service_url"), config.account_service_url);
    readText(findKey(root, "account", "ca_certificates"), config.account_ca_certificates);

    readText(findKey(root, "acceleration", "service_url"), config.acceleration_service_url);
    readText(findKey(root, "acceleration", "ca_certificates"), config.acceleration_ca_certificates);

    readText(findKey(root, "portal", "base_url"), config.portal_base_url);
    readText(findKey(root, "portal", "ca_certificates"), config.portal_ca_certificates);
}

QString quoted(const QString& text)
{
    QString result;
    result.reserve(text.size() + 2);
    result += QLatin1Char('"');
    for (const QChar c : text) {
        switch (c.unicode()) {
        case '\\':
            result += QLatin1String("\\\\");
            break;
        case '"':
            result += QLatin1String("\\\"");
            break;
        case '\n':
            result += QLatin1String("\\n");
            break;
        case '\r':
            result += QLatin1String("\\r");
            break;
        default:
            // Tab may stand as it is; TOML allows no other control character in a basic string.
            if (c.unicode() != '\t' && (c.unicode() < 0x20 || c.unicode() == 0x7F)) {
                result += QStringLiteral("\\u%1").arg(
                    QString::number(c.unicode(), 16).toUpper().rightJustified(4, QLatin1Char('0')));
            } else {
                result += c;
            }
            break;
        }
    }
    result += QLatin1Char('"');
    return result;
}

QString word(const char* text)
{
    return QLatin1Char('"') + QLatin1String(text) + QLatin1Char('"');
}

QString boolean(bool value)
{
    return value ? QStringLiteral("true") : QStringLiteral("false");
}

QString documentText(const AppConfig& c)
{
    QStringList drives;
    drives.reserve(c.drives.size());
    for (const QString& drive : c.drives)
        drives.append(quoted(drive));

    QString text;
    const auto line = [&text](const char* key, const QString& value) {
        text += QLatin1String(key) + QLatin1String(" = ") + value + QLatin1Char('\n');
    };
    const auto header = [&text](const char* name) {
        text += QLatin1String(name) + QLatin1Char('\n');
    };
    const auto blank = [&text] {
        text += QLatin1Char('\n');
    };

    header("[app]");
    line("version", quoted(c.version));
    line("language", quoted(c.language));
    blank();
    header("[connection]");
    line("default_kernel", word(kernelWord(c.default_kernel)));
    line("default_resolution", word(resolutionWord(c.default_resolution)));
    line("custom_width", QString::number(c.custom_width));
    line("custom_height", QString::number(c.custom_height));
    line("color_depth", QString::number(c.color_depth));
    line("bandwidth", word(bandwidthWord(c.bandwidth)));
    line("reconnect", boolean(c.reconnect));
    line("smart_forward", boolean(c.smart_forward));
    line("engine_policy_version", QStringLiteral("1"));
    line("reconnect_times", QString::number(c.reconnect_times));
    line("reconnect_interval", QString::number(c.reconnect_interval));
    line("connect_timeout", QString::number(c.connect_timeout));
    blank();
    header("[display]");
    line("toolbar_show", boolean(c.toolbar_show));
    line("toolbar_auto_hide", boolean(c.toolbar_auto_hide));
    line("toolbar_auto_hide_delay", QString::number(c.toolbar_auto_hide_delay));
    line("screen_wall_rows", QString::number(c.screen_wall_rows));
    line("screen_wall_cols", QString::number(c.screen_wall_cols));
    line("screen_wall_auto_fill", boolean(c.screen_wall_auto_fill));
    blank();
    header("[share]");
    line("clipboard", boolean(c.clipboard));
    line("clipboard_files", boolean(c.clipboard_files));
    line("printers", boolean(c.printers));
    line("usb", boolean(c.usb));
    line("audio", word(audioWord(c.audio)));
    line("drives", QLatin1Char('[') + drives.join(QLatin1String(", ")) + QLatin1Char(']'));
    blank();
    header("[sync]");
    line("enabled", boolean(c.sync_enabled));
    line("auto_sync", boolean(c.auto_sync));
    line("sync_interval", QString::number(c.sync_interval));
    blank();
    header("[security]");
    line("master_password", boolean(c.master_password));
    line("auto_lock", boolean(c.auto_lock));
    line("auto_lock_timeout", QString::number(c.auto_lock_timeout));
    line("show_password", boolean(c.show_password));
    // Settings of this platform follow the common ones, so those keep their fixed layout.
    blank();
    header("[ssh]");
    line("terminal", quoted(c.ssh_terminal));
    // Written only when set, so that files of installations using the built-in service stay as
    // they were.
    if (!c.account_service_url.isEmpty() || !c.account_ca_certificates.isEmpty()) {
        blank();
        header("[account]");
        line("service_url", quoted(c.account_service_url));
        line("ca_certificates", quoted(c.account_ca_certificates));
    }
    if (!c.acceleration_service_url.isEmpty() || !c.acceleration_ca_certificates.isEmpty()) {
        blank();
        header("[acceleration]");
        line("service_url", quoted(c.acceleration_service_url));
        line("ca_certificates", quoted(c.acceleration_ca_certificates));
    }
    if (!c.portal_base_url.isEmpty() || !c.portal_ca_certificates.isEmpty()) {
        blank();
        header("[portal]");
        line("base_url", quoted(c.portal_base_url));
        line("ca_certificates", quoted(c.portal_ca_certificates));
    }
    return text;
}

QByteArray contentDigest(const QByteArray& content)
{
    return QCryptographicHash::hash(content, QCryptographicHash::Sha256);
}

bool samePath(const QString& a, const QString& b)
{
    return QFileInfo(a).absoluteFilePath() == QFileInfo(b).absoluteFilePath();
}

} // namespace

ConfigManager::ConfigManager(QObject* parent) : QObject(parent)
{
    connect(&m_watcher, &QFileSystemWatcher::fileChanged, this, &ConfigManager::onWatchedFileChanged);
    connect(&m_watcher, &QFileSystemWatcher::directoryChanged, this, &ConfigManager::onDirectoryChanged);
}

bool ConfigManager::load(const QString& path)
{
    m_configPath = path;
    const bool parsed = readConfigFile();
    // Whatever the outcome: after a file that did not parse, the next edit must still be read.
    watchConfigFile();
    return parsed;
}

bool ConfigManager::readConfigFile()
{
    m_knownDigest.clear();
    QFile file(m_configPath);
    // Raw bytes: the parser takes CRLF line ends itself, and the digest is of what is on disk.
    if (!file.open(QIODevice::ReadOnly))
        return true;

    const auto fail = [](const auto& reason) {
        SPDLOG_ERROR("配置解析失败: {}", reason);
        return false;
    };

    if (file.size() > kMaxFileSize)
        return fail("配置文件过大");
    // One byte past the limit, so that files whose size is not known up front (pipes, devices)
    // are bounded too.
    const QByteArray content = file.read(kMaxFileSize + 1);
    const bool readFailed = file.error() != QFileDevice::NoError;
    file.close();
    if (readFailed)
        return fail("读取配置文件失败");
    if (content.size() > kMaxFileSize)
        return fail("配置文件过大");
    m_knownDigest = contentDigest(content);

    // The raw bytes go to the parser, which rejects invalid UTF-8.
    const std::string_view document(content.constData(), static_cast<size_t>(content.size()));
    if (nestingDepth(document) > kMaxNestingDepth)
        return fail("配置嵌套层级过深");

    AppConfig updated = m_config;
    try {
        const toml::table root = toml::parse(document);
        applyDocument(root, updated);
    } catch (const std::exception& e) {
        return fail(e.what());
    } catch (...) {
        return fail("未知错误");
    }
    m_config = std::move(updated);
    return true;
}

bool ConfigManager::save(const QString& path)
{
    QString error;
    QByteArray text = documentText(m_config).toUtf8();
#if defined(Q_OS_WIN)
    // A text file of the system's kind, as Notepad writes it.
    text.replace("\n", "\r\n");
#endif
    if (!AtomicFileWriter::write(path, text, AtomicFileWriter::kPrivateMode,
                                 AtomicFileWriter::Existing::Replace, &error)) {
        SPDLOG_ERROR("配置文件保存失败: {}", error);
        return false;
    }

    if (!m_configPath.isEmpty() && samePath(path, m_configPath)) {
        // The replace gave the path a new inode, so the old watch is dead; re-arming it drops
        // the events still pending for the old one. The reload is queued explicitly so that each
        // save yields exactly one reload and one configChanged.
        m_knownDigest = contentDigest(text);
        watchConfigFile();
        QMetaObject::invokeMethod(
            this, [this] { onFileChanged(m_configPath); }, Qt::QueuedConnection);
    }
    return true;
}

bool ConfigManager::save()
{
    if (m_configPath.isEmpty())
        return false;
    return save(m_configPath);
}

void ConfigManager::setDefaultKernel(RdpKernel kernel)
{
    m_config.default_kernel = kernel;
}

void ConfigManager::setDefaultResolution(ResolutionMode mode, int width, int height)
{
    m_config.default_resolution = mode;
    m_config.custom_width = std::clamp(width, kMinCustomWidth, kMaxCustomWidth);
    m_config.custom_height = std::clamp(height, kMinCustomHeight, kMaxCustomHeight);
}

void ConfigManager::setColorDepth(int bitsPerPixel)
{
    m_config.color_depth = bitsPerPixel;
}

void ConfigManager::setSmartForward(bool enabled)
{
    m_config.smart_forward = enabled;
}

void ConfigManager::setSyncEnabled(bool enabled)
{
    m_config.sync_enabled = enabled;
}

void ConfigManager::setAutoSync(bool enabled)
{
    m_config.auto_sync = enabled;
}

void ConfigManager::setConnectTimeout(int seconds)
{
    m_config.connect_timeout = std::clamp(seconds, kMinConnectTimeout, kMaxConnectTimeout);
}

void ConfigManager::setSshTerminal(const QString& program)
{
    m_config.ssh_terminal = program.trimmed();
}

void ConfigManager::setMasterPasswordEnabled(bool enabled)
{
    m_config.master_password = enabled;
}

void ConfigManager::setAutoLock(bool enabled)
{
    m_config.auto_lock = enabled;
}

void ConfigManager::setAutoLockTimeout(int seconds)
{
    m_config.auto_lock_timeout = std::clamp(seconds, kMinAutoLockTimeout, kMaxAutoLockTimeout);
}

void ConfigManager::setBandwidth(BandwidthMode mode)
{
    m_config.bandwidth = mode;
}

void ConfigManager::setReconnect(bool enabled, int times, int intervalSeconds)
{
    m_config.reconnect = enabled;
    m_config.reconnect_times = std::clamp(times, 0, kMaxReconnectTimes);
    m_config.reconnect_interval = std::clamp(intervalSeconds, 1, kMaxReconnectInterval);
}

void ConfigManager::setShare(bool clipboard, bool clipboardFiles, bool printers, AudioMode audio,
                             const QStringList& drives)
{
    m_config.clipboard = clipboard;
    m_config.clipboard_files = clipboardFiles;
    m_config.printers = printers;
    m_config.audio = audio;
    m_config.drives.clear();
    for (const QString& drive : drives) {
        if (!drive.trimmed().isEmpty() && !m_config.drives.contains(drive)) {
            m_config.drives.append(drive);
        }
    }
}

void ConfigManager::setWallLayout(int rows, int columns, bool autoFill)
{
    m_config.screen_wall_rows = std::clamp(rows, 1, kMaxWallRows);
    m_config.screen_wall_cols = std::clamp(columns, 0, kMaxWallColumns);
    m_config.screen_wall_auto_fill = autoFill;
}

void ConfigManager::setShowPassword(bool shown)
{
    m_config.show_password = shown;
}

void ConfigManager::onFileChanged(const QString& path)
{
    SPDLOG_INFO("配置文件变化，热加载: {}", path);
    if (!m_configPath.isEmpty()) {
        if (m_watcher.files().contains(m_configPath))
            m_watcher.removePath(m_configPath);
        load(m_configPath);
    }
    emit configChanged();
}

void ConfigManager::onWatchedFileChanged(const QString& path)
{
    // Windows reports a replaced file once more after the watch is re-armed, and editors touch files
    // without changing them: bytes already read are not reloaded a second time.
    if (!m_knownDigest.isEmpty() && samePath(path, m_configPath)) {
        QFile file(m_configPath);
        if (file.open(QIODevice::ReadOnly) && file.size() <= kMaxFileSize) {
            const QByteArray content = file.read(kMaxFileSize + 1);
            if (file.error() == QFileDevice::NoError && contentDigest(content) == m_knownDigest) {
                watchConfigFile();
                return;
            }
        }
    }
    onFileChanged(path);
}

void ConfigManager::onDirectoryChanged()
{
    // A file at the path that is not watched appeared since the last load (an editor removed it and
    // wrote it anew, or it did not exist yet): it has not been read.
    if (!m_configPath.isEmpty() && !m_watcher.files().contains(m_configPath) &&
        QFileInfo(m_configPath).isFile())
        onFileChanged(m_configPath);
}

void ConfigManager::watchConfigFile()
{
    // Only the current file is watched; re-adding attaches the watch to the file now at the path. Its
    // folder is watched too, for a file that is not there while the watch is armed.
    const QStringList files = m_watcher.files();
    if (!files.isEmpty())
        m_watcher.removePaths(files);
    const QFileInfo info(m_configPath);
    const QString folder = info.absolutePath();
    for (const QString& directory : m_watcher.directories()) {
        if (directory != folder)
            m_watcher.removePath(directory);
    }
    if (!m_watcher.directories().contains(folder) && QFileInfo(folder).isDir())
        m_watcher.addPath(folder);
    if (info.isFile())
        m_watcher.addPath(m_configPath);
}
