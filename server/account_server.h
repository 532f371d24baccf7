#pragma once

#include "server_config.h"

#include <QObject>
#include <QTimer>

#include <memory>

class AccountApi;
class AccountStore;
class HttpServer;
class PasswordHasher;

// The running service: storage, password hashing, the HTTP(S) listener and the API, and the hourly
// clean-up of expired sessions.
class AccountServer : public QObject
{
    Q_OBJECT

public:
    explicit AccountServer(const ServerConfig& config, QObject* parent = nullptr);
    ~AccountServer() override;

    // Opens the database, loads the certificate and listens; false with a one-line reason.
    bool start(QString* error);
    quint16 port() const;
    QString publicBase() const;

private:
    ServerConfig m_config;
    std::unique_ptr<AccountStore> m_store;
    PasswordHasher* m_hasher = nullptr;
    AccountApi* m_api = nullptr;
    HttpServer* m_http = nullptr;
    QTimer m_purgeTimer;
};
