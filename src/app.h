#pragma once

#include <QObject>

#include <memory>

class AppLock;
class IPlatformAdapter;
class ConfigManager;
class CryptoManager;
class DatabaseManager;
class QTranslator;

// Owns the core services and brings them up and down in a fixed order.
class App : public QObject
{
    Q_OBJECT
public:
    explicit App(QObject* parent = nullptr);
    ~App() override;

    bool initialize();
    void shutdown();

    IPlatformAdapter* platform() const { return m_platform.get(); }
    ConfigManager* config() const { return m_config.get(); }
    CryptoManager* crypto() const { return m_crypto.get(); }
    DatabaseManager* database() const { return m_database.get(); }
    AppLock* lock() const { return m_lock.get(); }

private:
    // Qt's own texts (standard buttons, file dialog) in the configured language, when Qt has them.
    void installQtTranslations(const QString& language);
    void applySshTerminal();

    std::unique_ptr<QTranslator> m_qtTranslator;
    // Declaration order is the order of creation; destruction runs in reverse.
    std::unique_ptr<IPlatformAdapter> m_platform;
    std::unique_ptr<ConfigManager> m_config;
    std::unique_ptr<CryptoManager> m_crypto;
    std::unique_ptr<DatabaseManager> m_database;
    std::unique_ptr<AppLock> m_lock;
};
