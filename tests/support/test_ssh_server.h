#pragma once

#include "storage/remote.h"

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTcpServer>
#include <QTemporaryDir>

// A real OpenSSH server (/usr/sbin/sshd -D -e) on 127.0.0.1 with its own host key, configuration and
// test user, all in a temporary directory. The user exists only inside a private mount namespace of
// sshd (copies of /etc/passwd and /etc/shadow are bind-mounted there), so the system is not touched;
// that needs root. Password and public-key authentication are both on; UsePAM is off.
//
//     TestSshServer server;
//     QString error;
//     if (!TestSshServer::unavailableReason().isEmpty()) QSKIP(...);
//     QVERIFY2(server.start(&error), qPrintable(error));
//     QProcess ssh;  // ssh with server.clientOptions(...) before the destination
//
// Clients must use clientOptions() (or a wrapper from installSshWrapper()) so they read no system or
// user configuration and keep host keys in this server's own known-hosts file.
class TestSshServer
{
public:
    struct Options
    {
        // UTF-8 bytes of it are hashed into the user's shadow entry; non-ASCII on purpose.
        QString password = QStringLiteral("Nb-Test 密码-ü7");
        // When set, every session runs this command (as the test user, through /bin/sh -c).
        QString forceCommand;
    };

    // How the client authenticates: password only (no key offered), or the test key.
    enum class ClientAuth { Password, Key };

    TestSshServer();
    ~TestSshServer();
    TestSshServer(const TestSshServer&) = delete;
    TestSshServer& operator=(const TestSshServer&) = delete;

    // Why a server cannot run on this machine (not root, sshd or a tool missing); empty when it can.
    static QString unavailableReason();

    // Starts sshd on a free loopback port; false with `error` set when it is not listening in time.
    bool start(QString* error);
    bool start(const Options& options, QString* error);
    // Stops the listener. Sessions already open end when their clients disconnect.
    void stop();
    // Stops, makes a new host key and listens again on the same port: clients that know the old key
    // now see a changed host key.
    bool restartWithNewHostKey(QString* error);

    QString host() const { return QStringLiteral("127.0.0.1"); }
    quint16 port() const { return m_port; }
    QString user() const { return QStringLiteral("nimbaratest"); }
    QString password() const { return m_options.password; }
    // The test user's home directory (on this machine; the test can read files the session writes).
    QString homePath() const;
    // Private key whose public half the server accepts for user().
    QString clientKeyPath() const;
    // The known-hosts file the client options point at (empty until the first client connects).
    QString knownHostsPath() const;
    // "ssh-ed25519 AAAA..." of the current host key.
    QByteArray hostPublicKey() const;

    // "-F" and a client configuration file: no system/user config, known hosts as above, the global
    // file /dev/null, and the authentication of `auth`.
    QStringList clientOptions(ClientAuth auth) const;
    // Writes an executable `ssh` into `directory` that runs the real ssh with clientOptions(auth)
    // first; put the directory first on PATH so code that looks ssh up on the path uses it.
    bool installSshWrapper(const QString& directory, ClientAuth auth, QString* error) const;

    // A remote pointing at this server (protocol "ssh"), with or without the password.
    Remote remote(bool withPassword = true) const;

    // What sshd logged so far.
    QByteArray log() const;

private:
    bool prepareFiles(QString* error);
    bool makeHostKey(QString* error);
    bool writeConfig(QString* error);
    bool launch(QString* error);
    QString path(const QString& name) const;

    QTemporaryDir m_dir;
    QProcess m_process;
    Options m_options;
    quint16 m_port = 0;
    bool m_prepared = false;
};

// A loopback port that accepts connections and never says anything: a host whose SSH service hangs.
class SilentTcpHost
{
public:
    bool start(QString* error);
    void stop();
    quint16 port() const { return m_server.serverPort(); }
    // Connections accepted so far (only counted while the event loop runs).
    int accepted() const { return m_accepted; }

private:
    QTcpServer m_server;
    int m_accepted = 0;
};
