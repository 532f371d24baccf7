#include "storage/config_manager.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileSystemWatcher>
#include <QFileInfo>
#include <QSaveFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <spdlog/sinks/ringbuffer_sink.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <climits>
#include <memory>
#include <string>

// Readable failure output for QCOMPARE on whole records.
static QString describe(const AppConfig& c)
{
    QStringList parts;
    const auto add = [&parts](const char* name, const QString& value) {
        parts.append(QLatin1String(name) + QLatin1Char('=') + value);
    };
    const auto flag = [](bool value) {
        return value ? QStringLiteral("true") : QStringLiteral("false");
    };
    add("version", c.version);
    add("language", c.language);
    add("default_kernel", QString::number(static_cast<int>(c.default_kernel)));
    add("default_resolution", QString::number(static_cast<int>(c.default_resolution)));
    add("custom_width", QString::number(c.custom_width));
    add("custom_height", QString::number(c.custom_height));
    add("color_depth", QString::number(c.color_depth));
    add("bandwidth", QString::number(static_cast<int>(c.bandwidth)));
    add("reconnect", flag(c.reconnect));
    add("smart_forward", flag(c.smart_forward));
    add("reconnect_times", QString::number(c.reconnect_times));
    add("reconnect_interval", QString::number(c.reconnect_interval));
    add("connect_timeout", QString::number(c.connect_timeout));
    add("toolbar_show", flag(c.toolbar_show));
    add("toolbar_auto_hide", flag(c.toolbar_auto_hide));
    add("toolbar_auto_hide_delay", QString::number(c.toolbar_auto_hide_delay));
    add("screen_wall_rows", QString::number(c.screen_wall_rows));
    add("screen_wall_cols", QString::number(c.screen_wall_cols));
    add("screen_wall_auto_fill", flag(c.screen_wall_auto_fill));
    add("clipboard", flag(c.clipboard));
    add("clipboard_files", flag(c.clipboard_files));
    add("drives", QLatin1Char('[') + c.drives.join(QLatin1Char('|')) + QLatin1Char(']'));
    add("printers", flag(c.printers));
    add("audio", QString::number(static_cast<int>(c.audio)));
    add("usb", flag(c.usb));
    add("sync_enabled", flag(c.sync_enabled));
    add("auto_sync", flag(c.auto_sync));
    add("sync_interval", QString::number(c.sync_interval));
    add("master_password", flag(c.master_password));
    add("auto_lock", flag(c.auto_lock));
    add("auto_lock_timeout", QString::number(c.auto_lock_timeout));
    add("show_password", flag(c.show_password));
    add("ssh_terminal", c.ssh_terminal);
    add("account_service_url", c.account_service_url);
    add("account_ca_certificates", c.account_ca_certificates);
    add("acceleration_service_url", c.acceleration_service_url);
    add("acceleration_ca_certificates", c.acceleration_ca_certificates);
    add("portal_base_url", c.portal_base_url);
    add("portal_ca_certificates", c.portal_ca_certificates);
    return parts.join(QLatin1String(", "));
}

// Found by QCOMPARE through argument-dependent lookup.
char* toString(const AppConfig& config)
{
    return qstrdup(describe(config).toUtf8().constData());
}

namespace {

// The common settings in their fixed layout, up to the last line.
const QByteArray kCommonDefaultText = R"toml([app]
version = "1.0.0"
language = "zh_CN"

[connection]
default_kernel = "auto"
default_resolution = "fullscreen"
custom_width = 1920
custom_height = 1080
color_depth = 32
bandwidth = "high"
reconnect = true
smart_forward = true
engine_policy_version = 1
reconnect_times = 5
reconnect_interval = 3
connect_timeout = 30

[display]
toolbar_show = true
toolbar_auto_hide = true
toolbar_auto_hide_delay = 5
screen_wall_rows = 2
screen_wall_cols = 2
screen_wall_auto_fill = true

[share]
clipboard = true
clipboard_files = true
printers = true
usb = false
audio = "local"
drives = []

[sync]
enabled = false
auto_sync = true
sync_interval = 10

[security]
master_password = true
auto_lock = true
auto_lock_timeout = 300
show_password = false
)toml";

// The settings of this platform follow, after an empty line.
const QByteArray kDefaultText = kCommonDefaultText + "\n[ssh]\nterminal = \"\"\n";

// Keeps the stored engine settings, so that documents built for other keys are not migrated.
const QByteArray kPolicy = "[connection]\nengine_policy_version = 1\n";

struct IntField
{
    const char* section;
    const char* key;
    int AppConfig::*field;
};

const IntField kIntFields[] = {
    {"connection", "custom_width", &AppConfig::custom_width},
    {"connection", "custom_height", &AppConfig::custom_height},
    {"connection", "color_depth", &AppConfig::color_depth},
    {"connection", "reconnect_times", &AppConfig::reconnect_times},
    {"connection", "reconnect_interval", &AppConfig::reconnect_interval},
    {"connection", "connect_timeout", &AppConfig::connect_timeout},
    {"display", "toolbar_auto_hide_delay", &AppConfig::toolbar_auto_hide_delay},
    {"display", "screen_wall_rows", &AppConfig::screen_wall_rows},
    {"display", "screen_wall_cols", &AppConfig::screen_wall_cols},
    {"sync", "sync_interval", &AppConfig::sync_interval},
    {"security", "auto_lock_timeout", &AppConfig::auto_lock_timeout},
};

struct BoolField
{
    const char* section;
    const char* key;
    bool AppConfig::*field;
};

const BoolField kBoolFields[] = {
    {"connection", "reconnect", &AppConfig::reconnect},
    {"connection", "smart_forward", &AppConfig::smart_forward},
    {"display", "toolbar_show", &AppConfig::toolbar_show},
    {"display", "toolbar_auto_hide", &AppConfig::toolbar_auto_hide},
    {"display", "screen_wall_auto_fill", &AppConfig::screen_wall_auto_fill},
    {"share", "clipboard", &AppConfig::clipboard},
    {"share", "clipboard_files", &AppConfig::clipboard_files},
    {"share", "printers", &AppConfig::printers},
    {"share", "usb", &AppConfig::usb},
    {"sync", "enabled", &AppConfig::sync_enabled},
    {"sync", "auto_sync", &AppConfig::auto_sync},
    {"security", "master_password", &AppConfig::master_password},
    {"security", "auto_lock", &AppConfig::auto_lock},
    {"security", "show_password", &AppConfig::show_password},
};

// A document giving every key of `fields` the value `literal`. The tables list [connection]
// first, so each section header appears once.
template <typename Field, size_t N> QByteArray assigning(const Field (&fields)[N], const QByteArray& literal)
{
    QByteArray text = kPolicy;
    QByteArray section = "connection";
    for (const Field& field : fields) {
        if (section != field.section) {
            section = field.section;
            text += "\n[" + section + "]\n";
        }
        text += QByteArray(field.key) + " = " + literal + "\n";
    }
    return text;
}

// The values of tests/data/config/all_fields.toml; every field differs from its default.
AppConfig allFieldsConfig()
{
    AppConfig c;
    c.version = QStringLiteral("2.3.4");
    c.language = QStringLiteral("en_US");
    c.default_kernel = RdpKernel::Mstsc;
    c.default_resolution = ResolutionMode::Custom;
    c.custom_width = 2560;
    c.custom_height = 1440;
    c.color_depth = 16;
    c.bandwidth = BandwidthMode::Lan;
    c.reconnect = false;
    c.smart_forward = false;
    c.reconnect_times = 9;
    c.reconnect_interval = 7;
    c.connect_timeout = 45;
    c.toolbar_show = false;
    c.toolbar_auto_hide = false;
    c.toolbar_auto_hide_delay = 12;
    c.screen_wall_rows = 3;
    c.screen_wall_cols = 4;
    c.screen_wall_auto_fill = false;
    c.clipboard = false;
    c.clipboard_files = false;
    c.drives = QStringList{QStringLiteral("C:"), QStringLiteral("D:\\data")};
    c.printers = false;
    c.audio = AudioMode::Remote;
    c.usb = true;
    c.sync_enabled = true;
    c.auto_sync = false;
    c.sync_interval = 30;
    c.master_password = false;
    c.auto_lock = false;
    c.auto_lock_timeout = 600;
    c.show_password = true;
    c.ssh_terminal = QStringLiteral("/opt/Term Tools/kitty");
    c.account_service_url = QStringLiteral("https://accounts.example.org/nimbara");
    c.account_ca_certificates = QStringLiteral("/etc/nimbara/account-ca.pem");
    return c;
}

QString fixture(const char* name)
{
    return QStringLiteral(NIMBARA_TEST_DATA_DIR "/config/") + QLatin1String(name);
}

QByteArray readBytes(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

// Rewrites the file in place, keeping its inode (as most editors do).
void writeInPlace(const QString& path, const QByteArray& content)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(content), content.size());
    file.close();
}

// Replaces the file by renaming a new one over it (as the program and some editors do).
void replaceAtomically(const QString& path, const QByteArray& content)
{
    QSaveFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(content), content.size());
    QVERIFY(file.commit());
}

// The saved text uses the platform's line ends.
QByteArray nativeText(QByteArray text)
{
#ifdef Q_OS_WIN
    text.replace("\n", "\r\n");
#endif
    return text;
}

QByteArray withLine(const QByteArray& text, const QByteArray& from, const QByteArray& to)
{
    QByteArray result = text;
    result.replace(from + "\n", to + "\n");
    return result;
}

QByteArrayList lines(const QByteArray& text)
{
    QByteArray normalized = text;
    normalized.replace("\r\n", "\n");
    return normalized.split('\n');
}

// Delivers everything already queued, watcher notifications included, without waiting for
// anything new.
void settle()
{
    for (int i = 0; i < 5; ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
}

QByteArray paddedToSize(const QByteArray& document, qint64 size)
{
    QByteArray text = document;
    // One comment line fills the rest.
    const qint64 padding = size - text.size() - 2;
    text += '#';
    text += QByteArray(static_cast<qsizetype>(padding), 'x');
    text += '\n';
    return text;
}

} // namespace

class TestConfigManager : public QObject
{
    Q_OBJECT

private:
    std::shared_ptr<spdlog::sinks::ringbuffer_sink_mt> m_log;

    QStringList loggedMessages() const
    {
        QStringList messages;
        for (const std::string& line : m_log->last_formatted())
            messages.append(QString::fromStdString(line).trimmed());
        return messages;
    }

    // Loads `content` from a file in `dir`.
    static bool loadText(ConfigManager& manager, const QTemporaryDir& dir, const QByteArray& content)
    {
        const QString path = dir.filePath(QStringLiteral("input.toml"));
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(content) != content.size())
            qFatal("cannot write %s", qPrintable(path));
        file.close();
        return manager.load(path);
    }

    // A manager holding the values of all_fields.toml, read from a copy in `dir`.
    static void loadAllFields(ConfigManager& manager, const QTemporaryDir& dir)
    {
        const QString path = dir.filePath(QStringLiteral("config.toml"));
        QFile::remove(path);
        QVERIFY(QFile::copy(fixture("all_fields.toml"), path));
        QVERIFY(QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner));
        QVERIFY(manager.load(path));
        QCOMPARE(manager.config(), allFieldsConfig());
    }

private slots:
    void init()
    {
        m_log = std::make_shared<spdlog::sinks::ringbuffer_sink_mt>(256);
        auto logger = std::make_shared<spdlog::logger>("tolv", m_log);
        logger->set_pattern("%v");
        logger->set_level(spdlog::level::info);
        spdlog::set_default_logger(logger);
    }

    void startsWithDefaultsAndNoPath()
    {
        ConfigManager manager;
        QCOMPARE(manager.config(), AppConfig{});
        QVERIFY(manager.configPath().isEmpty());
        QVERIFY(!manager.save());
    }

    void fileChangeWithoutPathOnlySignals()
    {
        ConfigManager manager;
        QSignalSpy changed(&manager, &ConfigManager::configChanged);
        manager.onFileChanged(QStringLiteral("/nowhere/config.toml"));
        QCOMPARE(changed.count(), 1);
        QCOMPARE(manager.config(), AppConfig{});
        QVERIFY(loggedMessages().contains(QStringLiteral("配置文件变化，热加载: /nowhere/config.toml")));
    }

    void defaultsAreWrittenAsTheFixedText()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("config.toml"));
        ConfigManager manager;
        QVERIFY(manager.save(path));
        QCOMPARE(readBytes(path), nativeText(kDefaultText));
        // Saving does not choose the path that save() without arguments uses.
        QVERIFY(manager.configPath().isEmpty());

        ConfigManager reloaded;
        reloaded.setDefaultKernel(RdpKernel::Mstsc);
        QVERIFY(reloaded.load(path));
        QCOMPARE(reloaded.config(), AppConfig{});
    }

    // The account section follows every other one and is left out while both keys are empty, so
    // files of installations that use the built-in service keep their text.
    void accountSectionIsWrittenOnlyWhenSet_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("ca");
        QTest::addColumn<QByteArray>("tail");
        QTest::newRow("neither") << QString() << QString() << QByteArray();
        QTest::newRow("address only") << QStringLiteral("https://a.example:8443") << QString()
                                      << QByteArray("\n[account]\nservice_url = \"https://a.example:8443\"\n"
                                                    "ca_certificates = \"\"\n");
        QTest::newRow("roots only") << QString() << QStringLiteral("/etc/ca \"x\".pem")
                                    << QByteArray("\n[account]\nservice_url = \"\"\n"
                                                  "ca_certificates = \"/etc/ca \\\"x\\\".pem\"\n");
    }

    void accountSectionIsWrittenOnlyWhenSet()
    {
        QFETCH(QString, url);
        QFETCH(QString, ca);
        QFETCH(QByteArray, tail);

        QTemporaryDir dir;
        ConfigManager manager;
        QString text = QStringLiteral("[account]\n");
        if (!url.isEmpty())
            text += QStringLiteral("service_url = \"%1\"\n").arg(url);
        if (!ca.isEmpty())
            text += QStringLiteral("ca_certificates = '%1'\n").arg(ca);
        QVERIFY(loadText(manager, dir, kPolicy + text.toUtf8()));
        QCOMPARE(manager.config().account_service_url, url);
        QCOMPARE(manager.config().account_ca_certificates, ca);

        const QString saved = dir.filePath(QStringLiteral("saved.toml"));
        QVERIFY(manager.save(saved));
        QCOMPARE(readBytes(saved), nativeText(kDefaultText + tail));
        ConfigManager reloaded;
        QVERIFY(reloaded.load(saved));
        QCOMPARE(reloaded.config(), manager.config());
    }

    // The acceleration and portal sections come last and, like the account one, only when one of their
    // keys is set.
    void endpointSectionIsWrittenOnlyWhenSet_data()
    {
        QTest::addColumn<QByteArray>("section");
        QTest::addColumn<QByteArray>("urlKey");
        QTest::addColumn<QString>("fieldPrefix");
        QTest::newRow("acceleration") << QByteArray("acceleration") << QByteArray("service_url")
                                      << QStringLiteral("acceleration_service_url");
        QTest::newRow("portal") << QByteArray("portal") << QByteArray("base_url")
                                << QStringLiteral("portal_base_url");
    }

    void endpointSectionIsWrittenOnlyWhenSet()
    {
        QFETCH(QByteArray, section);
        QFETCH(QByteArray, urlKey);
        QFETCH(QString, fieldPrefix);
        const QByteArray header = '[' + section + "]\n";
        QTemporaryDir dir;
        ConfigManager manager;
        QVERIFY(
            loadText(manager, dir,
                     kPolicy + header + urlKey +
                         " = \"https://service.example:8443\"\nca_certificates = '/etc/nimbara/ca.pem'\n"));
        const QString fields = describe(manager.config());
        QVERIFY2(fields.contains(fieldPrefix + QStringLiteral("=https://service.example:8443")),
                 qPrintable(fields));
        QVERIFY2(
            fields.contains(QLatin1String(section) + QStringLiteral("_ca_certificates=/etc/nimbara/ca.pem")),
            qPrintable(fields));

        const QString saved = dir.filePath(QStringLiteral("saved.toml"));
        QVERIFY(manager.save(saved));
        QCOMPARE(
            readBytes(saved),
            nativeText(kDefaultText + '\n' + header + urlKey +
                       " = \"https://service.example:8443\"\nca_certificates = \"/etc/nimbara/ca.pem\"\n"));
        ConfigManager reloaded;
        QVERIFY(reloaded.load(saved));
        QCOMPARE(reloaded.config(), manager.config());

        ConfigManager plain;
        QVERIFY(plain.save(saved));
        QVERIFY(!readBytes(saved).contains(header));
    }

    void unopenableFileCountsAsSuccess_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("missing file") << QStringLiteral("config.toml");
        QTest::newRow("missing directory") << QStringLiteral("absent/config.toml");
        QTest::newRow("directory") << QString();
    }

    void unopenableFileCountsAsSuccess()
    {
        QFETCH(QString, name);
        QTemporaryDir dir;
        const QString path = name.isEmpty() ? dir.path() : dir.filePath(name);
        ConfigManager manager;
        manager.setDefaultKernel(RdpKernel::FreeRdp);
        manager.setColorDepth(16);
        const AppConfig before = manager.config();

        QVERIFY(manager.load(path));
        QCOMPARE(manager.config(), before);
        QCOMPARE(manager.configPath(), path);
        QVERIFY(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).isEmpty());
        QVERIFY(loggedMessages().isEmpty());
    }

    void everyFieldRoundTrips()
    {
        const AppConfig expected = allFieldsConfig();
        for (const IntField& f : kIntFields)
            QVERIFY2(expected.*f.field != AppConfig{}.*f.field, f.key);
        for (const BoolField& f : kBoolFields)
            QVERIFY2(expected.*f.field != AppConfig{}.*f.field, f.key);

        QTemporaryDir dir;
        ConfigManager manager;
        QVERIFY(manager.load(fixture("all_fields.toml")));
        QCOMPARE(manager.config(), expected);

        // The fixture is written in the program's own layout, so saving reproduces it.
        const QString saved = dir.filePath(QStringLiteral("saved.toml"));
        QVERIFY(manager.save(saved));
        QCOMPARE(readBytes(saved), nativeText(readBytes(fixture("all_fields.toml"))));

        ConfigManager reloaded;
        QVERIFY(reloaded.load(saved));
        QCOMPARE(reloaded.config(), expected);
    }

    void absentKeysKeepTheirValues()
    {
        QTemporaryDir dir;
        ConfigManager manager;
        loadAllFields(manager, dir);
        QVERIFY(loadText(manager, dir, kPolicy + "\n[app]\nversion = \"9.9\"\n"));
        AppConfig expected = allFieldsConfig();
        expected.version = QStringLiteral("9.9");
        QCOMPARE(manager.config(), expected);
    }

    void integerRules_data()
    {
        QTest::addColumn<QByteArray>("literal");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<int>("expected");

        QTest::newRow("integer") << QByteArray("1234") << true << 1234;
        QTest::newRow("negative integer") << QByteArray("-1234") << true << -1234;
        QTest::newRow("zero") << QByteArray("0") << true << 0;
        QTest::newRow("hexadecimal") << QByteArray("0x10") << true << 16;
        QTest::newRow("octal") << QByteArray("0o17") << true << 15;
        QTest::newRow("binary") << QByteArray("0b101") << true << 5;
        QTest::newRow("underscores") << QByteArray("1_000") << true << 1000;
        QTest::newRow("int32 maximum") << QByteArray("2147483647") << true << INT_MAX;
        QTest::newRow("2^31 wraps") << QByteArray("2147483648") << true << INT_MIN;
        QTest::newRow("2^32 + 1 keeps the low bits") << QByteArray("4294967297") << true << 1;
        QTest::newRow("int64 maximum") << QByteArray("9223372036854775807") << true << -1;
        QTest::newRow("int64 minimum") << QByteArray("-9223372036854775808") << true << 0;
        QTest::newRow("whole float") << QByteArray("1920.0") << true << 1920;
        QTest::newRow("whole float with exponent") << QByteArray("2.5e3") << true << 2500;
        QTest::newRow("negative zero") << QByteArray("-0.0") << true << 0;
        QTest::newRow("whole float beyond 32 bits") << QByteArray("4294967297.0") << true << 1;
        QTest::newRow("largest float below 2^63") << QByteArray("9223372036854774784.0") << true << -1024;
        QTest::newRow("float -2^63") << QByteArray("-9223372036854775808.0") << true << 0;
        QTest::newRow("true") << QByteArray("true") << true << 1;
        QTest::newRow("false") << QByteArray("false") << true << 0;

        QTest::newRow("fraction") << QByteArray("1920.5") << false << 0;
        QTest::newRow("tiny fraction") << QByteArray("1e-300") << false << 0;
        QTest::newRow("float 2^63") << QByteArray("9223372036854775808.0") << false << 0;
        QTest::newRow("float beyond int64") << QByteArray("1e19") << false << 0;
        QTest::newRow("huge float") << QByteArray("-1e300") << false << 0;
        QTest::newRow("infinity") << QByteArray("inf") << false << 0;
        QTest::newRow("negative infinity") << QByteArray("-inf") << false << 0;
        QTest::newRow("nan") << QByteArray("nan") << false << 0;
        QTest::newRow("string") << QByteArray("\"1920\"") << false << 0;
        QTest::newRow("array") << QByteArray("[1920]") << false << 0;
        QTest::newRow("inline table") << QByteArray("{ w = 1920 }") << false << 0;
        QTest::newRow("date") << QByteArray("1979-05-27") << false << 0;
        QTest::newRow("time") << QByteArray("07:32:00") << false << 0;
        QTest::newRow("date-time") << QByteArray("1979-05-27T07:32:00Z") << false << 0;
    }

    void integerRules()
    {
        QFETCH(QByteArray, literal);
        QFETCH(bool, accepted);
        QFETCH(int, expected);

        QTemporaryDir dir;
        ConfigManager manager;
        QVERIFY(loadText(manager, dir, assigning(kIntFields, "777")));
        QVERIFY(loadText(manager, dir, assigning(kIntFields, literal)));
        for (const IntField& f : kIntFields)
            QCOMPARE(manager.config().*f.field, accepted ? expected : 777);
    }

    void booleanRules_data()
    {
        QTest::addColumn<QByteArray>("literal");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<bool>("expected");

        QTest::newRow("true") << QByteArray("true") << true << true;
        QTest::newRow("false") << QByteArray("false") << true << false;
        QTest::newRow("one") << QByteArray("1") << true << true;
        QTest::newRow("zero") << QByteArray("0") << true << false;
        QTest::newRow("negative integer") << QByteArray("-7") << true << true;
        QTest::newRow("hexadecimal") << QByteArray("0x10") << true << true;
        QTest::newRow("2^32 is not zero") << QByteArray("4294967296") << true << true;

        QTest::newRow("float one") << QByteArray("1.0") << false << false;
        QTest::newRow("float zero") << QByteArray("0.0") << false << false;
        QTest::newRow("nan") << QByteArray("nan") << false << false;
        QTest::newRow("string") << QByteArray("\"true\"") << false << false;
        QTest::newRow("array") << QByteArray("[true]") << false << false;
        QTest::newRow("inline table") << QByteArray("{}") << false << false;
        QTest::newRow("date") << QByteArray("1979-05-27") << false << false;
    }

    void booleanRules()
    {
        QFETCH(QByteArray, literal);
        QFETCH(bool, accepted);
        QFETCH(bool, expected);

        // From both starting values, so that an accepted value is told apart from an ignored one.
        for (const bool start : {false, true}) {
            QTemporaryDir dir;
            ConfigManager manager;
            QVERIFY(loadText(manager, dir, assigning(kBoolFields, start ? "true" : "false")));
            QVERIFY(loadText(manager, dir, assigning(kBoolFields, literal)));
            for (const BoolField& f : kBoolFields)
                QVERIFY2(manager.config().*f.field == (accepted ? expected : start), f.key);
        }
    }

    void textRules_data()
    {
        QTest::addColumn<QByteArray>("literal");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<QString>("expected");

        QTest::newRow("basic string") << QByteArray("\"de_DE\"") << true << QStringLiteral("de_DE");
        QTest::newRow("empty string") << QByteArray("\"\"") << true << QString();
        QTest::newRow("literal string") << QByteArray("'C:\\dir'") << true << QStringLiteral("C:\\dir");
        QTest::newRow("multi-line string")
            << QByteArray("\"\"\"\nl1\nl2\"\"\"") << true << QStringLiteral("l1\nl2");
        QTest::newRow("unicode escape")
            << QByteArray("\"\\u4e2d\\U0001F600\"") << true << QStringLiteral("中😀");
        QTest::newRow("raw UTF-8") << QByteArray("\"简体中文\"") << true << QStringLiteral("简体中文");

        QTest::newRow("integer") << QByteArray("5") << false << QString();
        QTest::newRow("float") << QByteArray("1.5") << false << QString();
        QTest::newRow("boolean") << QByteArray("true") << false << QString();
        QTest::newRow("array of strings") << QByteArray("[\"x\"]") << false << QString();
        QTest::newRow("inline table") << QByteArray("{ v = \"x\" }") << false << QString();
        QTest::newRow("date") << QByteArray("1979-05-27") << false << QString();
    }

    void textRules()
    {
        QFETCH(QByteArray, literal);
        QFETCH(bool, accepted);
        QFETCH(QString, expected);

        QTemporaryDir dir;
        ConfigManager manager;
        QVERIFY(loadText(manager, dir,
                         kPolicy + "[app]\nversion = \"start\"\nlanguage = \"start\"\n"
                                   "[ssh]\nterminal = \"start\"\n"
                                   "[account]\nservice_url = \"start\"\nca_certificates = \"start\"\n"));
        QVERIFY(loadText(manager, dir,
                         kPolicy + "[app]\nversion = " + literal + "\nlanguage = " + literal + "\n" +
                             "[ssh]\nterminal = " + literal + "\n" + "[account]\nservice_url = " + literal +
                             "\nca_certificates = " + literal + "\n"));
        const QString result = accepted ? expected : QStringLiteral("start");
        QCOMPARE(manager.config().version, result);
        QCOMPARE(manager.config().language, result);
        QCOMPARE(manager.config().ssh_terminal, result);
        QCOMPARE(manager.config().account_service_url, result);
        QCOMPARE(manager.config().account_ca_certificates, result);
    }

    void enumerationRules_data()
    {
        QTest::addColumn<QByteArray>("key");
        QTest::addColumn<QByteArray>("literal");
        QTest::addColumn<int>("expected"); // -1: ignored

        QTest::newRow("kernel freerdp") << QByteArray("default_kernel") << QByteArray("\"freerdp\"") << 0;
        QTest::newRow("kernel mstsc") << QByteArray("default_kernel") << QByteArray("\"mstsc\"") << 1;
        QTest::newRow("kernel auto") << QByteArray("default_kernel") << QByteArray("\"auto\"") << 2;
        QTest::newRow("kernel FreeRDP") << QByteArray("default_kernel") << QByteArray("\"FreeRDP\"") << 2;
        QTest::newRow("kernel MSTSC") << QByteArray("default_kernel") << QByteArray("\"MSTSC\"") << 2;
        QTest::newRow("kernel padded") << QByteArray("default_kernel") << QByteArray("\" mstsc\"") << 2;
        QTest::newRow("kernel empty") << QByteArray("default_kernel") << QByteArray("\"\"") << 2;
        QTest::newRow("kernel unknown") << QByteArray("default_kernel") << QByteArray("\"xrdp\"") << 2;
        QTest::newRow("kernel integer") << QByteArray("default_kernel") << QByteArray("1") << -1;
        QTest::newRow("kernel boolean") << QByteArray("default_kernel") << QByteArray("true") << -1;

        QTest::newRow("resolution window")
            << QByteArray("default_resolution") << QByteArray("\"window\"") << 1;
        QTest::newRow("resolution custom")
            << QByteArray("default_resolution") << QByteArray("\"custom\"") << 2;
        QTest::newRow("resolution fullscreen")
            << QByteArray("default_resolution") << QByteArray("\"fullscreen\"") << 0;
        QTest::newRow("resolution Window")
            << QByteArray("default_resolution") << QByteArray("\"Window\"") << 0;
        QTest::newRow("resolution unknown")
            << QByteArray("default_resolution") << QByteArray("\"full\"") << 0;
        QTest::newRow("resolution integer") << QByteArray("default_resolution") << QByteArray("1") << -1;

        QTest::newRow("bandwidth modem") << QByteArray("bandwidth") << QByteArray("\"modem\"") << 0;
        QTest::newRow("bandwidth low") << QByteArray("bandwidth") << QByteArray("\"low\"") << 1;
        QTest::newRow("bandwidth high") << QByteArray("bandwidth") << QByteArray("\"high\"") << 2;
        QTest::newRow("bandwidth lan") << QByteArray("bandwidth") << QByteArray("\"lan\"") << 3;
        QTest::newRow("bandwidth LAN") << QByteArray("bandwidth") << QByteArray("\"LAN\"") << 2;
        QTest::newRow("bandwidth Lan") << QByteArray("bandwidth") << QByteArray("\"Lan\"") << 2;
        QTest::newRow("bandwidth unknown") << QByteArray("bandwidth") << QByteArray("\"wan\"") << 2;
        QTest::newRow("bandwidth integer") << QByteArray("bandwidth") << QByteArray("3") << -1;
        QTest::newRow("bandwidth float") << QByteArray("bandwidth") << QByteArray("0.0") << -1;

        QTest::newRow("audio local") << QByteArray("audio") << QByteArray("\"local\"") << 0;
        QTest::newRow("audio remote") << QByteArray("audio") << QByteArray("\"remote\"") << 1;
        QTest::newRow("audio none") << QByteArray("audio") << QByteArray("\"none\"") << 2;
        QTest::newRow("audio Remote") << QByteArray("audio") << QByteArray("\"Remote\"") << 0;
        QTest::newRow("audio NONE") << QByteArray("audio") << QByteArray("\"NONE\"") << 0;
        QTest::newRow("audio unknown") << QByteArray("audio") << QByteArray("\"off\"") << 0;
        QTest::newRow("audio integer") << QByteArray("audio") << QByteArray("2") << -1;
        QTest::newRow("audio array") << QByteArray("audio") << QByteArray("[\"none\"]") << -1;
    }

    void enumerationRules()
    {
        QFETCH(QByteArray, key);
        QFETCH(QByteArray, literal);
        QFETCH(int, expected);

        const auto read = [&key](const AppConfig& c) {
            if (key == "default_kernel")
                return static_cast<int>(c.default_kernel);
            if (key == "default_resolution")
                return static_cast<int>(c.default_resolution);
            if (key == "bandwidth")
                return static_cast<int>(c.bandwidth);
            return static_cast<int>(c.audio);
        };
        const QByteArray section = key == "audio" ? "\n[share]\n" : "";

        // Two different starting values, so that a mapped value is told apart from an ignored one.
        const QByteArray starts[] = {
            kPolicy + "default_kernel = \"freerdp\"\ndefault_resolution = \"custom\"\nbandwidth = \"lan\"\n"
                      "[share]\naudio = \"none\"\n",
            kPolicy + "default_kernel = \"mstsc\"\ndefault_resolution = \"window\"\nbandwidth = \"modem\"\n"
                      "[share]\naudio = \"remote\"\n",
        };
        for (const QByteArray& start : starts) {
            QTemporaryDir dir;
            ConfigManager manager;
            QVERIFY(loadText(manager, dir, start));
            const int before = read(manager.config());
            QVERIFY(loadText(manager, dir, kPolicy + section + key + " = " + literal + "\n"));
            QCOMPARE(read(manager.config()), expected < 0 ? before : expected);
        }
    }

    void enumerationsAreWrittenAsWords_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<bool>("inShare");
        for (const char* word : {"freerdp", "mstsc", "auto"})
            QTest::addRow("kernel %s", word) << "default_kernel = \"" + QByteArray(word) + "\"" << false;
        for (const char* word : {"fullscreen", "window", "custom"})
            QTest::addRow("resolution %s", word)
                << "default_resolution = \"" + QByteArray(word) + "\"" << false;
        for (const char* word : {"modem", "low", "high", "lan"})
            QTest::addRow("bandwidth %s", word) << "bandwidth = \"" + QByteArray(word) + "\"" << false;
        for (const char* word : {"local", "remote", "none"})
            QTest::addRow("audio %s", word) << "audio = \"" + QByteArray(word) + "\"" << true;
    }

    void enumerationsAreWrittenAsWords()
    {
        QFETCH(QByteArray, line);
        QFETCH(bool, inShare);

        QTemporaryDir dir;
        ConfigManager manager;
        QVERIFY(loadText(manager, dir, kPolicy + (inShare ? "[share]\n" : "") + line + "\n"));
        const QString saved = dir.filePath(QStringLiteral("saved.toml"));
        QVERIFY(manager.save(saved));
        QVERIFY(lines(readBytes(saved)).contains(line));

        ConfigManager reloaded;
        QVERIFY(reloaded.load(saved));
        QCOMPARE(reloaded.config(), manager.config());
    }

    void unknownEnumerationValuesAreWrittenAsFallbackWords()
    {
        QTemporaryDir dir;
        ConfigManager manager;
        manager.setDefaultKernel(static_cast<RdpKernel>(7));
        manager.setDefaultResolution(static_cast<ResolutionMode>(-1), 1920, 1080);
        const QString path = dir.filePath(QStringLiteral("config.toml"));
        QVERIFY(manager.save(path));
        QCOMPARE(readBytes(path), nativeText(kDefaultText));
    }

    void integersAreWrittenAsLoadedWithoutRangeChecks()
    {
        QTemporaryDir dir;
        ConfigManager manager;
        QVERIFY(loadText(manager, dir,
                         kPolicy + "custom_width = -5\ncustom_height = 0x7fffffff\n"
                                   "color_depth = -2147483648\nconnect_timeout = 0\n"));
        QCOMPARE(manager.config().custom_width, -5);
        QCOMPARE(manager.config().custom_height, INT_MAX);

        const QString path = dir.filePath(QStringLiteral("saved.toml"));
        QVERIFY(manager.save(path));
        const QByteArrayList written = lines(readBytes(path));
        QVERIFY(written.contains("custom_width = -5"));
        QVERIFY(written.contains("custom_height = 2147483647"));
        QVERIFY(written.contains("color_depth = -2147483648"));
        QVERIFY(written.contains("connect_timeout = 0"));
    }

    void migrationRule_data()
    {
        QTest::addColumn<QByteArray>("policy"); // empty: key absent
        QTest::addColumn<bool>("migrated");

        QTest::newRow("absent") << QByteArray() << true;
        QTest::newRow("1") << QByteArray("1") << false;
        QTest::newRow("2") << QByteArray("2") << false;
        QTest::newRow("0") << QByteArray("0") << true;
        QTest::newRow("negative") << QByteArray("-1") << true;
        QTest::newRow("int64 minimum") << QByteArray("-9223372036854775808") << true;
        QTest::newRow("float 1.0") << QByteArray("1.0") << false;
        QTest::newRow("float 1.5") << QByteArray("1.5") << false;
        QTest::newRow("float 0.5") << QByteArray("0.5") << true;
        QTest::newRow("infinity") << QByteArray("inf") << false;
        QTest::newRow("negative infinity") << QByteArray("-inf") << true;
        QTest::newRow("nan") << QByteArray("nan") << true;
        QTest::newRow("string") << QByteArray("\"1\"") << true;
        QTest::newRow("boolean") << QByteArray("true") << true;
        QTest::newRow("array") << QByteArray("[1]") << true;
    }

    void migrationRule()
    {
        QFETCH(QByteArray, policy);
        QFETCH(bool, migrated);

        QTemporaryDir dir;
        ConfigManager manager;
        QByteArray text =
            "[connection]\ndefault_kernel = \"mstsc\"\nsmart_forward = false\ncolor_depth = 16\n"
            "reconnect_times = 8\n";
        if (!policy.isEmpty())
            text += "engine_policy_version = " + policy + "\n";
        QVERIFY(loadText(manager, dir, text));

        const AppConfig& c = manager.config();
        QCOMPARE(c.default_kernel, migrated ? RdpKernel::Auto : RdpKernel::Mstsc);
        QCOMPARE(c.smart_forward, migrated);
        QCOMPARE(c.color_depth, migrated ? 32 : 16);
        QCOMPARE(c.reconnect_times, 8);
    }

    void migrationOverridesValuesInMemory_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("migrated");

        QTest::newRow("only kernel mstsc")
            << QByteArray("[connection]\ndefault_kernel = \"mstsc\"\n") << true;
        QTest::newRow("kernel mstsc with policy")
            << QByteArray("[connection]\ndefault_kernel = \"mstsc\"\nengine_policy_version = 1\n") << false;
        QTest::newRow("no connection section") << QByteArray("[app]\nversion = \"2.0\"\n") << true;
        QTest::newRow("empty file") << QByteArray() << true;
    }

    void migrationOverridesValuesInMemory()
    {
        QFETCH(QByteArray, content);
        QFETCH(bool, migrated);

        QTemporaryDir dir;
        ConfigManager manager;
        manager.setDefaultKernel(RdpKernel::FreeRdp);
        manager.setSmartForward(false);
        manager.setColorDepth(24);
        QVERIFY(loadText(manager, dir, content));

        const AppConfig& c = manager.config();
        if (migrated) {
            QCOMPARE(c.default_kernel, RdpKernel::Auto);
            QCOMPARE(c.smart_forward, true);
            QCOMPARE(c.color_depth, 32);
        } else {
            QCOMPARE(c.default_kernel, RdpKernel::Mstsc);
            QCOMPARE(c.smart_forward, false);
            QCOMPARE(c.color_depth, 24);
        }
    }

    void drives_data()
    {
        QTest::addColumn<QByteArray>("literal"); // empty: key absent
        QTest::addColumn<QStringList>("expected");

        const QString c = QStringLiteral("C:");
        const QString d = QStringLiteral("D:");
        QTest::newRow("mixed elements") << QByteArray("[\"C:\", 5, \"D:\"]") << QStringList{c, d};
        QTest::newRow("empty array clears") << QByteArray("[]") << QStringList{};
        QTest::newRow("absent keeps") << QByteArray() << QStringList{QStringLiteral("Z:")};
        QTest::newRow("string keeps") << QByteArray("\"C:\"") << QStringList{QStringLiteral("Z:")};
        QTest::newRow("inline table keeps")
            << QByteArray("{ a = \"C:\" }") << QStringList{QStringLiteral("Z:")};
        QTest::newRow("no strings clears")
            << QByteArray("[1, true, 1.5, 1979-05-27, { d = \"C:\" }]") << QStringList{};
        QTest::newRow("nested arrays skipped")
            << QByteArray("[[\"C:\"], \"E:\"]") << QStringList{QStringLiteral("E:")};
        QTest::newRow("order and duplicates kept")
            << QByteArray("[\"D:\", \"C:\", \"D:\"]") << QStringList{d, c, d};
        QTest::newRow("multi-line with comments")
            << QByteArray("[\n  \"C:\", # system\n  'D:',\n]") << QStringList{c, d};
        QTest::newRow("non-ASCII") << QByteArray("[\"共享盘\"]") << QStringList{QStringLiteral("共享盘")};
    }

    void drives()
    {
        QFETCH(QByteArray, literal);
        QFETCH(QStringList, expected);

        QTemporaryDir dir;
        ConfigManager manager;
        QVERIFY(loadText(manager, dir, kPolicy + "[share]\ndrives = [\"Z:\"]\n"));
        QVERIFY(loadText(manager, dir,
                         kPolicy + "[share]\nusb = true\n" +
                             (literal.isEmpty() ? "" : "drives = " + literal + "\n")));
        QCOMPARE(manager.config().drives, expected);
        QVERIFY(manager.config().usb);
    }

    void textsAreQuotedAndReadBack_data()
    {
        QTest::addColumn<QByteArray>("literal"); // as it appears in the input file
        QTest::addColumn<QString>("value");      // decoded
        QTest::addColumn<QByteArray>("written"); // as the program writes it

        QTest::newRow("quote and backslash")
            << QByteArray("\"a\\\"b\\\\c\"") << QStringLiteral("a\"b\\c") << QByteArray("\"a\\\"b\\\\c\"");
        QTest::newRow("literal string with backslashes")
            << QByteArray("'C:\\Users\\x'") << QStringLiteral("C:\\Users\\x")
            << QByteArray("\"C:\\\\Users\\\\x\"");
        QTest::newRow("trailing backslash")
            << QByteArray("\"end\\\\\"") << QStringLiteral("end\\") << QByteArray("\"end\\\\\"");
        QTest::newRow("only quotes") << QByteArray("\"\\\"\\\"\\\"\"") << QStringLiteral("\"\"\"")
                                     << QByteArray("\"\\\"\\\"\\\"\"");
        QTest::newRow("line feed and carriage return")
            << QByteArray("\"l1\\nl2\\rl3\\r\\n\"") << QStringLiteral("l1\nl2\rl3\r\n")
            << QByteArray("\"l1\\nl2\\rl3\\r\\n\"");
        QTest::newRow("tab written as it is")
            << QByteArray("\"a\\tb\"") << QStringLiteral("a\tb") << QByteArray("\"a\tb\"");
        QTest::newRow("non-ASCII written as UTF-8")
            << QByteArray("\"中文 \\u00e9\"") << QStringLiteral("中文 é") << QByteArray("\"中文 é\"");
        QTest::newRow("TOML punctuation") << QByteArray("\"x = [1], # y\"") << QStringLiteral("x = [1], # y")
                                          << QByteArray("\"x = [1], # y\"");
        QTest::newRow("empty") << QByteArray("\"\"") << QString() << QByteArray("\"\"");
    }

    void textsAreQuotedAndReadBack()
    {
        QFETCH(QByteArray, literal);
        QFETCH(QString, value);
        QFETCH(QByteArray, written);

        QTemporaryDir dir;
        ConfigManager manager;
        QVERIFY(loadText(manager, dir,
                         kPolicy + "[app]\nversion = " + literal + "\nlanguage = " + literal +
                             "\n[share]\ndrives = [" + literal + ", \"X:\", " + literal + "]\n" +
                             "[ssh]\nterminal = " + literal + "\n"));
        QCOMPARE(manager.config().version, value);
        QCOMPARE(manager.config().language, value);
        QCOMPARE(manager.config().drives, (QStringList{value, QStringLiteral("X:"), value}));
        QCOMPARE(manager.config().ssh_terminal, value);

        const QString saved = dir.filePath(QStringLiteral("saved.toml"));
        QVERIFY(manager.save(saved));
        const QByteArray text = readBytes(saved);
        QVERIFY2(text.contains(nativeText("\nversion = " + written + "\n")), text.constData());
        QVERIFY2(text.contains(nativeText("\nlanguage = " + written + "\n")), text.constData());
        QVERIFY2(text.contains(nativeText("\ndrives = [" + written + ", \"X:\", " + written + "]\n")),
                 text.constData());
        QVERIFY2(text.endsWith(nativeText("\n\n[ssh]\nterminal = " + written + "\n")), text.constData());

        ConfigManager reloaded;
        QVERIFY(reloaded.load(saved));
        QCOMPARE(reloaded.config(), manager.config());
    }

    // A text loaded from a hand-edited file may hold any control character; what the program writes
    // must load again, or the next start falls back to every default.
    void everyControlCharacterSurvivesSaveAndLoad()
    {
        QList<char16_t> controls;
        for (char16_t c = 0; c < 0x20; ++c) {
            controls.append(c);
        }
        controls.append(0x7F);
        QTemporaryDir dir;
        for (const char16_t c : controls) {
            const QString code = QString::number(c, 16).rightJustified(4, QLatin1Char('0'));
            const QByteArray escaped = "\"a\\u" + code.toLatin1() + "b\"";
            ConfigManager manager;
            QVERIFY(loadText(manager, dir,
                             kPolicy + "[app]\nversion = " + escaped + "\nlanguage = " + escaped +
                                 "\n[share]\ndrives = [" + escaped + "]\n"));
            const QString expected = QStringLiteral("a") + QChar(c) + QStringLiteral("b");
            QCOMPARE(manager.config().version, expected);

            const QString saved = dir.filePath(QStringLiteral("saved.toml"));
            QVERIFY(manager.save(saved));
            ConfigManager reloaded;
            QVERIFY2(reloaded.load(saved), qPrintable(QStringLiteral("U+%1").arg(code)));
            QCOMPARE(reloaded.config().version, expected);
            QCOMPARE(reloaded.config().language, expected);
            QCOMPARE(reloaded.config().drives, QStringList{expected});
        }
    }

    void resolutionIsClamped_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("height");
        QTest::addColumn<int>("expectedWidth");
        QTest::addColumn<int>("expectedHeight");

        QTest::newRow("100 x 5000") << 2 << 100 << 5000 << 640 << 4320;
        QTest::newRow("lower bounds") << 2 << 640 << 480 << 640 << 480;
        QTest::newRow("below lower bounds") << 2 << 639 << 479 << 640 << 480;
        QTest::newRow("upper bounds") << 2 << 7680 << 4320 << 7680 << 4320;
        QTest::newRow("above upper bounds") << 2 << 7681 << 4321 << 7680 << 4320;
        QTest::newRow("negative") << 1 << -1 << -1 << 640 << 480;
        QTest::newRow("extremes") << 1 << INT_MIN << INT_MAX << 640 << 4320;
        QTest::newRow("fullscreen clamps too") << 0 << 10000 << 0 << 7680 << 480;
        QTest::newRow("inside") << 0 << 1366 << 768 << 1366 << 768;
    }

    void resolutionIsClamped()
    {
        QFETCH(int, mode);
        QFETCH(int, width);
        QFETCH(int, height);
        QFETCH(int, expectedWidth);
        QFETCH(int, expectedHeight);

        ConfigManager manager;
        manager.setDefaultResolution(static_cast<ResolutionMode>(mode), width, height);
        QCOMPARE(static_cast<int>(manager.config().default_resolution), mode);
        QCOMPARE(manager.config().custom_width, expectedWidth);
        QCOMPARE(manager.config().custom_height, expectedHeight);
    }

    void connectTimeoutIsClamped_data()
    {
        QTest::addColumn<int>("seconds");
        QTest::addColumn<int>("expected");

        QTest::newRow("inside") << 45 << 45;
        QTest::newRow("lower bound") << 5 << 5;
        QTest::newRow("below lower bound") << 4 << 5;
        QTest::newRow("zero") << 0 << 5;
        QTest::newRow("minimum int") << INT_MIN << 5;
        QTest::newRow("upper bound") << 300 << 300;
        QTest::newRow("above upper bound") << 301 << 300;
        QTest::newRow("maximum int") << INT_MAX << 300;
    }

    void connectTimeoutIsClamped()
    {
        QFETCH(int, seconds);
        QFETCH(int, expected);

        ConfigManager manager;
        manager.setConnectTimeout(seconds);
        QCOMPARE(manager.config().connect_timeout, expected);
    }

    void settersChangeOnlyMemoryUntilSaved()
    {
        QTemporaryDir dir;
        ConfigManager manager;
        loadAllFields(manager, dir);
        const QString path = manager.configPath();
        const QByteArray before = readBytes(path);
        QSignalSpy changed(&manager, &ConfigManager::configChanged);

        manager.setDefaultKernel(RdpKernel::FreeRdp);
        manager.setDefaultResolution(ResolutionMode::Window, 1280, 720);
        manager.setColorDepth(24);
        manager.setSmartForward(true);
        manager.setSyncEnabled(false);
        manager.setAutoSync(true);
        manager.setConnectTimeout(90);
        manager.setSshTerminal(QStringLiteral("  xterm\t"));

        AppConfig expected = allFieldsConfig();
        expected.default_kernel = RdpKernel::FreeRdp;
        expected.default_resolution = ResolutionMode::Window;
        expected.custom_width = 1280;
        expected.custom_height = 720;
        expected.color_depth = 24;
        expected.smart_forward = true;
        expected.sync_enabled = false;
        expected.auto_sync = true;
        expected.connect_timeout = 90;
        expected.ssh_terminal = QStringLiteral("xterm");
        QCOMPARE(manager.config(), expected);
        settle();
        QCOMPARE(readBytes(path), before);
        QCOMPARE(changed.count(), 0);

        QVERIFY(manager.save());
        QTRY_COMPARE(changed.count(), 1);
        QCOMPARE(manager.config(), expected);
        const QByteArrayList written = lines(readBytes(path));
        for (const char* line :
             {"default_kernel = \"freerdp\"", "default_resolution = \"window\"", "custom_width = 1280",
              "custom_height = 720", "color_depth = 24", "smart_forward = true", "enabled = false",
              "auto_sync = true", "connect_timeout = 90", "terminal = \"xterm\""})
            QVERIFY2(written.contains(line), line);
    }

    void eachSaveReloadsOnce_data()
    {
        QTest::addColumn<int>("saves");
        QTest::addColumn<bool>("fileExisted");

        QTest::newRow("one save") << 1 << true;
        QTest::newRow("two saves") << 2 << true;
        QTest::newRow("three saves") << 3 << true;
        QTest::newRow("first save creates the file") << 1 << false;
        QTest::newRow("two saves, file created") << 2 << false;
    }

    void eachSaveReloadsOnce()
    {
        QFETCH(int, saves);
        QFETCH(bool, fileExisted);

        QTemporaryDir dir;
        ConfigManager manager;
        const QString path = dir.filePath(QStringLiteral("config.toml"));
        if (fileExisted)
            loadAllFields(manager, dir);
        else
            QVERIFY(manager.load(path));
        const AppConfig before = manager.config();
        QSignalSpy changed(&manager, &ConfigManager::configChanged);

        for (int i = 0; i < saves; ++i)
            QVERIFY(manager.save());
        QTRY_COMPARE(changed.count(), saves);
        // Notifications from the replaced file would have arrived by now.
        settle();
        QCOMPARE(changed.count(), saves);
        QCOMPARE(manager.config(), before);
        QCOMPARE(manager.configPath(), path);
        QCOMPARE(loggedMessages().count(QStringLiteral("配置文件变化，热加载: ") + path), saves);

        // The watch survives the saves: an external edit is still picked up.
        writeInPlace(path, withLine(kDefaultText, "custom_width = 1920", "custom_width = 1111"));
        QTRY_COMPARE(manager.config().custom_width, 1111);
    }

    void savingElsewhereDoesNotReload()
    {
        QTemporaryDir dir;
        ConfigManager manager;
        loadAllFields(manager, dir);
        QSignalSpy changed(&manager, &ConfigManager::configChanged);

        const QString other = dir.filePath(QStringLiteral("export.toml"));
        QVERIFY(manager.save(other));
        settle();
        QCOMPARE(changed.count(), 0);
        QCOMPARE(readBytes(other), nativeText(readBytes(fixture("all_fields.toml"))));
        QCOMPARE(manager.configPath(), dir.filePath(QStringLiteral("config.toml")));
    }

    void failedSaveReportsFalse_data()
    {
        QTest::addColumn<QString>("name"); // empty: the directory itself
        QTest::newRow("missing directory") << QStringLiteral("absent/config.toml");
        QTest::newRow("path is a directory") << QString();
    }

    void failedSaveReportsFalse()
    {
        QFETCH(QString, name);
        QTemporaryDir dir;
        const QString path = name.isEmpty() ? dir.path() : dir.filePath(name);
        ConfigManager manager;
        QVERIFY(manager.load(path));
        QSignalSpy changed(&manager, &ConfigManager::configChanged);

        QVERIFY(!manager.save(path));
        QVERIFY(!manager.save());
        settle();
        QCOMPARE(changed.count(), 0);
        QVERIFY(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).isEmpty());
    }

    void hotReloadAfterExternalWrites_data()
    {
        QTest::addColumn<bool>("atomic");
        QTest::addColumn<bool>("savedFirst");

        QTest::newRow("in place") << false << false;
        QTest::newRow("atomic replace") << true << false;
        QTest::newRow("in place after a save") << false << true;
        QTest::newRow("atomic replace after a save") << true << true;
    }

    void hotReloadAfterExternalWrites()
    {
        QFETCH(bool, atomic);
        QFETCH(bool, savedFirst);

        QTemporaryDir dir;
        ConfigManager manager;
        loadAllFields(manager, dir);
        const QString path = manager.configPath();
        QSignalSpy changed(&manager, &ConfigManager::configChanged);
        if (savedFirst) {
            QVERIFY(manager.save());
            QTRY_COMPARE(changed.count(), 1);
        }

        // Two edits in a row: the second proves the watch follows the file after the first.
        for (const int width : {1111, 2222}) {
            const int signalsBefore = static_cast<int>(changed.count());
            const QByteArray text =
                withLine(kDefaultText, "custom_width = 1920", "custom_width = " + QByteArray::number(width));
            if (atomic)
                replaceAtomically(path, text);
            else
                writeInPlace(path, text);
            QTRY_COMPARE(manager.config().custom_width, width);
            QVERIFY(changed.count() > signalsBefore);
        }
        QCOMPARE(manager.config().language, QStringLiteral("zh_CN"));
        const QString reloadLine = QStringLiteral("配置文件变化，热加载: ") + path;
        QVERIFY(loggedMessages().contains(reloadLine));

        // The same bytes written again are not read again (a watcher of the test's own sees the write
        // arrive); the edit after them is, once.
        settle();
        const auto reloads = loggedMessages().count(reloadLine);
        QFileSystemWatcher probe({path});
        QSignalSpy probed(&probe, &QFileSystemWatcher::fileChanged);
        const auto write = [&](const QByteArray& text) {
            if (atomic)
                replaceAtomically(path, text);
            else
                writeInPlace(path, text);
        };
        write(readBytes(path));
        QVERIFY(probed.wait(5000));
        settle();
        QCOMPARE(loggedMessages().count(reloadLine), reloads);
        write(withLine(kDefaultText, "custom_width = 1920", "custom_width = 3333"));
        QTRY_COMPARE(manager.config().custom_width, 3333);
        settle();
        QCOMPARE(loggedMessages().count(reloadLine), reloads + 1);
    }

    void reloadGoesOnAfterAFailedOne_data()
    {
        QTest::addColumn<QString>("edit");
        QTest::newRow("in place") << QStringLiteral("in place");
        QTest::newRow("atomic replace") << QStringLiteral("replace");
        QTest::newRow("removed and written anew") << QStringLiteral("recreate");
    }

    void reloadGoesOnAfterAFailedOne()
    {
        QFETCH(QString, edit);
        QTemporaryDir dir;
        ConfigManager manager;
        loadAllFields(manager, dir);
        const QString path = manager.configPath();
        QSignalSpy changed(&manager, &ConfigManager::configChanged);
        const auto write = [&](const QByteArray& text) {
            if (edit == QLatin1String("replace")) {
                replaceAtomically(path, text);
                return;
            }
            if (edit == QLatin1String("recreate"))
                QVERIFY(QFile::remove(path));
            writeInPlace(path, text);
        };

        write(readBytes(fixture("syntax_error.toml")));
        QVERIFY(changed.wait(5000));
        settle();
        QCOMPARE(manager.config(), allFieldsConfig());
        const QStringList messages = loggedMessages();
        QVERIFY(std::any_of(messages.begin(), messages.end(), [](const QString& message) {
            return message.startsWith(QStringLiteral("配置解析失败: "));
        }));

        write(withLine(kDefaultText, "custom_width = 1920", "custom_width = 3333"));
        for (int i = 0; i < 10 && manager.config().custom_width != 3333; ++i)
            changed.wait(1000);
        QCOMPARE(manager.config().custom_width, 3333);
    }

    void saveRepairsAFileThatFailedToLoad()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("config.toml"));
        QVERIFY(QFile::copy(fixture("syntax_error.toml"), path));
        QVERIFY(QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner));
        ConfigManager manager;
        QVERIFY(!manager.load(path));
        QCOMPARE(manager.configPath(), path);
        QSignalSpy changed(&manager, &ConfigManager::configChanged);

        QVERIFY(manager.save());
        QTRY_COMPARE(changed.count(), 1);
        settle();
        QCOMPARE(changed.count(), 1);
        QCOMPARE(readBytes(path), nativeText(kDefaultText));

        writeInPlace(path, withLine(kDefaultText, "custom_width = 1920", "custom_width = 1234"));
        QTRY_COMPARE(manager.config().custom_width, 1234);
    }

    void wrongTypesAreIgnored_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("migrated");
        QTest::newRow("every key of a wrong type") << QStringLiteral("wrong_types.toml") << false;
        QTest::newRow("sections that are not tables") << QStringLiteral("sections_not_tables.toml") << true;
    }

    void wrongTypesAreIgnored()
    {
        QFETCH(QString, name);
        QFETCH(bool, migrated);

        QTemporaryDir dir;
        ConfigManager manager;
        loadAllFields(manager, dir);
        QVERIFY(manager.load(fixture(name.toUtf8().constData())));
        AppConfig expected = allFieldsConfig();
        if (migrated) {
            expected.default_kernel = RdpKernel::Auto;
            expected.smart_forward = true;
            expected.color_depth = 32;
        }
        QCOMPARE(manager.config(), expected);
    }

    void brokenFixturesKeepPreviousValues_data()
    {
        QTest::addColumn<QString>("name");
        for (const char* name :
             {"syntax_error.toml", "unterminated_string.toml", "duplicate_key.toml", "huge_integer.toml",
              "invalid_utf8.toml", "encoded_surrogate.toml", "control_character.toml", "deep_arrays.toml",
              "deep_inline_tables.toml", "deep_dotted_key.toml"})
            QTest::newRow(name) << QString::fromLatin1(name);
    }

    void brokenFixturesKeepPreviousValues()
    {
        QFETCH(QString, name);

        QTemporaryDir dir;
        ConfigManager manager;
        loadAllFields(manager, dir);
        const QString previous = manager.configPath();

        // A copy, so that the test can show afterwards that the failed file is still watched.
        const QString path = dir.filePath(name);
        QVERIFY(QFile::copy(fixture(name.toUtf8().constData()), path));
        QVERIFY(QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner));
        QSignalSpy changed(&manager, &ConfigManager::configChanged);

        QVERIFY(!manager.load(path));
        QCOMPARE(manager.config(), allFieldsConfig());
        QCOMPARE(manager.configPath(), path);
        QVERIFY(loggedMessages().last().startsWith(QStringLiteral("配置解析失败: ")));

        // The file loaded before is no longer watched; the failed one is, so its repair is read.
        writeInPlace(previous, kDefaultText);
        settle();
        QCOMPARE(changed.count(), 0);
        QCOMPARE(manager.config(), allFieldsConfig());
        writeInPlace(path, withLine(kDefaultText, "custom_width = 1920", "custom_width = 1234"));
        QVERIFY(changed.wait(5000));
        QCOMPARE(manager.config().custom_width, 1234);
    }

    void deepNestingIsRefused_data()
    {
        QTest::addColumn<QByteArray>("content");

        const QByteArray dots = QByteArray("a.").repeated(1000000) + "a";
        QTest::newRow("table header 1,000,000 keys deep") << "[" + dots + "]\nx = 1\n";
        QTest::newRow("table array header 1,000,000 keys deep") << "[[" + dots + "]]\nx = 1\n";
        QTest::newRow("dotted key 1,000,000 keys deep") << dots + " = 1\n";
        QTest::newRow("deep header, then a syntax error") << "[" + dots + "]\nx = = 1\n";
        QTest::newRow("dotted keys in nested inline tables")
            << "x = " + QByteArray("{ a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a = ").repeated(20) + "1" +
                   QByteArray(" }").repeated(20) + "\n";
        QTest::newRow("inline tables with dotted keys in nested arrays")
            << "x = " + QByteArray("[").repeated(100) + "{ " + QByteArray("a.").repeated(100) + "a = 1 }" +
                   QByteArray("]").repeated(100) + "\n";
        QTest::newRow("arrays 100,000 deep") << "x = " + QByteArray("[").repeated(100000) + "\n";
        QTest::newRow("inline tables 100,000 deep") << "x = " + QByteArray("{ a = ").repeated(100000) + "\n";
        // Deeper than accepted, but within what the parser would build without the check.
        const QByteArray arrays = QByteArray("[").repeated(200) + QByteArray("]").repeated(200);
        QTest::newRow("arrays after a multi-line string ending in a quote")
            << "x = [\"\"\"a\"\"\"\", " + arrays + "]\n";
        QTest::newRow("arrays after a multi-line literal string ending in a quote")
            << "x = ['''b'''', " + arrays + "]\n";
        QTest::newRow("arrays after an escaped quote") << "x = [\"a\\\"\", " + arrays + "]\n";
        QTest::newRow("deep header below a deep header")
            << "[" + QByteArray("a.").repeated(100) + "a]\n" + QByteArray("b.").repeated(100) + "b = 1\n";
    }

    void deepNestingIsRefused()
    {
        QFETCH(QByteArray, content);

        QTemporaryDir dir;
        ConfigManager manager;
        loadAllFields(manager, dir);
        QVERIFY(!loadText(manager, dir, kPolicy + "\n[app]\nversion = \"6.0\"\n\n" + content));
        QCOMPARE(manager.config(), allFieldsConfig());
        QVERIFY(loggedMessages().last().startsWith(QStringLiteral("配置解析失败: ")));
    }

    // Structure characters inside strings, comments and values do not count as nesting.
    void ordinaryStructureIsAccepted_data()
    {
        QTest::addColumn<QByteArray>("content");

        QTest::newRow("dotted headers and keys within the limit")
            << "[" + QByteArray("a.").repeated(60) + "a]\n" + QByteArray("b.").repeated(60) + "b = 1\n";
        QTest::newRow("arrays 100 deep")
            << "x = " + QByteArray("[").repeated(100) + QByteArray("]").repeated(100) + "\n";
        QTest::newRow("quoted key full of dots") << "[\"" + QByteArray("a.").repeated(5000) + "\"]\nx = 1\n";
        QTest::newRow("strings full of brackets and dots") << "x = \"" + QByteArray("[{.").repeated(5000) +
                                                                  "\"\ny = '" +
                                                                  QByteArray("[{.").repeated(5000) + "'\n";
        QTest::newRow("multi-line strings ending in quotes")
            << "x = \"\"\"\n" + QByteArray("[[{{a.a.").repeated(1000) + "\"\"\"\"\"\ny = '''" +
                   QByteArray("[{.").repeated(1000) + "'''''\n";
        QTest::newRow("escaped quotes") << "x = \"\\\"[[[[\\\"\"\n" + QByteArray("[t]\nv = 1\n");
        QTest::newRow("comments full of structure") << "# " + QByteArray("[{a.").repeated(5000) +
                                                           "\nx = 1 # " + QByteArray("[[.").repeated(5000) +
                                                           "\n";
        QTest::newRow("many floats and times")
            << "x = [" + QByteArray("1.5, 2.25e3, ").repeated(5000) + "1979-05-27T00:32:00.999999-07:00]\n";
        QTest::newRow("many tables and inline tables")
            << QByteArray("[[s.t]]\nv = { a.b = [1.5, { c.d = 2 }] }\n").repeated(2000);
    }

    void ordinaryStructureIsAccepted()
    {
        QFETCH(QByteArray, content);

        QTemporaryDir dir;
        ConfigManager manager;
        QVERIFY(loadText(manager, dir, kPolicy + "\n[app]\nversion = \"6.0\"\n\n" + content));
        QCOMPARE(manager.config().version, QStringLiteral("6.0"));
    }

    void sizeLimit_data()
    {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("at the limit") << ConfigManager::kMaxFileSize << true;
        QTest::newRow("one byte over") << ConfigManager::kMaxFileSize + 1 << false;
    }

    void sizeLimit()
    {
        QFETCH(qint64, size);
        QFETCH(bool, accepted);

        QTemporaryDir dir;
        ConfigManager manager;
        const QByteArray content = paddedToSize(kPolicy + "[app]\nversion = \"7.0\"\n", size);
        QCOMPARE(content.size(), size);
        QCOMPARE(loadText(manager, dir, content), accepted);
        QCOMPARE(manager.config().version, accepted ? QStringLiteral("7.0") : QStringLiteral("1.0.0"));
        if (!accepted)
            QCOMPARE(loggedMessages().last(), QStringLiteral("配置解析失败: 配置文件过大"));
    }

    void fiftyMegabyteFileIsRefused()
    {
        QTemporaryDir dir;
        ConfigManager manager;
        loadAllFields(manager, dir);
        QSignalSpy changed(&manager, &ConfigManager::configChanged);

        const QString path = dir.filePath(QStringLiteral("huge.toml"));
        {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            QVERIFY(file.write(kPolicy + "[app]\nversion = \"8.0\"\n") > 0);
            const QByteArray chunk = QByteArray("# padding\n").repeated(100 * 1024);
            for (int i = 0; i < 50; ++i)
                QCOMPARE(file.write(chunk), chunk.size());
        }
        QVERIFY(QFileInfo(path).size() > 50 * 1000 * 1000);

        QVERIFY(!manager.load(path));
        QCOMPARE(manager.config(), allFieldsConfig());
        QCOMPARE(loggedMessages().last(), QStringLiteral("配置解析失败: 配置文件过大"));

        // Still watched after the refusal: the file cut down to size is read.
        writeInPlace(path, withLine(kDefaultText, "custom_width = 1920", "custom_width = 1234"));
        QVERIFY(changed.wait(5000));
        QCOMPARE(manager.config().custom_width, 1234);
    }

    void lineEndsAndByteOrderMarkAreAccepted_data()
    {
        QTest::addColumn<QByteArray>("prefix");
        QTest::addColumn<bool>("crlf");
        QTest::newRow("CR LF") << QByteArray() << true;
        QTest::newRow("byte-order mark") << QByteArray("\xEF\xBB\xBF") << false;
    }

    void lineEndsAndByteOrderMarkAreAccepted()
    {
        QFETCH(QByteArray, prefix);
        QFETCH(bool, crlf);

        QByteArray text = readBytes(fixture("all_fields.toml"));
        if (crlf)
            text.replace("\n", "\r\n");
        QTemporaryDir dir;
        ConfigManager manager;
        QVERIFY(loadText(manager, dir, prefix + text));
        QCOMPARE(manager.config(), allFieldsConfig());
    }
};

QTEST_GUILESS_MAIN(TestConfigManager)
#include "test_config_manager.moc"
