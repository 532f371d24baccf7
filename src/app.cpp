#include "app.h"

#include "logger.h"
#include "platform/platform_adapter.h"
#include "storage/app_lock.h"
#include "ssh/terminal_launcher.h"
#include "storage/config_manager.h"
#include "storage/crypto_manager.h"
#include "storage/database_manager.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QLibraryInfo>
#include <QRegularExpression>
#include <QTranslator>

App::App(QObject* parent) : QObject(parent) {}

App::~App()
{
    shutdown();
    m_lock.reset();
    m_database.reset();
    m_crypto.reset();
    m_config.reset();
    m_platform.reset();
}

bool App::initialize()
{
    m_platform = createPlatformAdapter();
    if (!m_platform) {
        return false;
    }
    SPDLOG_INFO("平台: {}", m_platform->platformName());

    const QString dataDir = m_platform->dataDirectory();
    // Before anything opens them: files left readable by others (older versions, a restored backup)
    // are made private first.
    QString restrictError;
    const bool restricted = m_platform->restrictToUser(dataDir, &restrictError);
    const QString logPath = dataDir + QStringLiteral("/app.log");
    Logger::initialize(logPath, spdlog::level::info, 10485760, 5);
    SPDLOG_INFO("日志初始化完成: {}", logPath);
    if (!restricted) {
        SPDLOG_WARN("数据目录权限收紧失败: {}", restrictError);
    }

    m_config = std::make_unique<ConfigManager>();
    const QString configPath = m_platform->configFilePath();
    if (!m_config->load(configPath)) {
        SPDLOG_WARN("配置加载失败，使用默认值");
    }
    SPDLOG_INFO("配置加载完成: {}", configPath);
    installQtTranslations(m_config->config().language);
    applySshTerminal();
    connect(m_config.get(), &ConfigManager::configChanged, this, &App::applySshTerminal);

    m_crypto = std::make_unique<CryptoManager>();
    if (!m_crypto->initialize(dataDir + QStringLiteral("/credential.key"))) {
        SPDLOG_ERROR("设备凭据密钥初始化失败");
        return false;
    }
    SPDLOG_INFO("设备凭据密钥初始化完成{}", m_crypto->isLocked() ? "（主密码保护，等待解锁）" : "");
    m_lock = std::make_unique<AppLock>(m_crypto.get());

    m_database = std::make_unique<DatabaseManager>();
    const QString dbPath = dataDir + QStringLiteral("/data.db");
    if (!m_database->initialize(dbPath, m_crypto.get())) {
        SPDLOG_ERROR("数据库初始化失败");
        return false;
    }

    if (m_database->getGroups().isEmpty()) {
        Group group;
        group.id = QStringLiteral("default");
        group.name = QStringLiteral("默认分组");
        group.sort_order = 0;
        group.created_at = QDateTime::currentDateTimeUtc();
        if (!m_database->addGroup(group)) {
            SPDLOG_ERROR("默认分组创建失败");
            return false;
        }
    }

    SPDLOG_INFO("数据库初始化完成: {}", dbPath);
    return true;
}

void App::installQtTranslations(const QString& language)
{
    // Qt's texts are English already; the language is changed by a restart.
    if (!QCoreApplication::instance() || m_qtTranslator || language.startsWith(QLatin1String("en"))) {
        return;
    }
    // Only a locale name, so a hand-edited value cannot point the file name elsewhere.
    static const QRegularExpression localeName(QStringLiteral("^[A-Za-z]{2,3}(_[A-Za-z0-9]{2,8})*$"));
    QString locale = language;
    locale.replace(QLatin1Char('-'), QLatin1Char('_'));
    if (!localeName.match(locale).hasMatch()) {
        SPDLOG_WARN("界面语言无效，Qt 自带文本保持英文: {}", language);
        return;
    }
    const QString directory = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
    const QString name = QStringLiteral("qtbase_") + locale;
    auto translator = std::make_unique<QTranslator>();
    if (!translator->load(name, directory)) {
        SPDLOG_WARN("未找到 Qt 自带文本的翻译，保持英文: {}",
                    QDir(directory).filePath(name + QStringLiteral(".qm")));
        return;
    }
    QCoreApplication::installTranslator(translator.get());
    m_qtTranslator = std::move(translator);
}

void App::applySshTerminal()
{
    TerminalLauncher::system().setPreferredTerminal(m_config->config().ssh_terminal);
}

void App::shutdown()
{
    SPDLOG_INFO("应用关闭...");
    if (m_database) {
        m_database->close();
    }
    Logger::shutdown();
}
