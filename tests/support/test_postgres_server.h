#pragma once

#include <QByteArray>
#include <QProcess>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// A real PostgreSQL server (the newest /usr/lib/postgresql/*/bin, else initdb and postgres on PATH)
// on 127.0.0.1, with a fresh cluster in a temporary directory: superuser "nimbara", trust
// authentication, no password, fsync off. PostgreSQL refuses to run as root, so under root the cluster
// belongs to "nobody" and the server runs as that user; otherwise as the current user.
//
//     if (!TestPostgresServer::unavailableReason().isEmpty()) QSKIP(...);
//     TestPostgresServer postgres;
//     QString error;
//     QVERIFY2(postgres.start(&error), qPrintable(error));
//     QVERIFY2(postgres.createDatabase(QStringLiteral("accounts"), &error), qPrintable(error));
//     program.setArguments({QStringLiteral("--database"), postgres.connectionString("accounts")});
//     QSqlDatabase db = postgres.addDatabase(QStringLiteral("check"), QStringLiteral("accounts"));
//
// The server stops with the object, and with the test process if that dies first.
class TestPostgresServer
{
public:
    TestPostgresServer();
    ~TestPostgresServer();
    TestPostgresServer(const TestPostgresServer&) = delete;
    TestPostgresServer& operator=(const TestPostgresServer&) = delete;

    // Why no server can run here (no PostgreSQL binaries, no unprivileged user to run them as under
    // root); empty when it can.
    static QString unavailableReason();

    // Makes the cluster (first time only) and starts the server on a free loopback port (the previous
    // one again after a stop, so clients find it); returns once it accepts connections, or false with
    // `error` set.
    bool start(QString* error);
    // Fast shutdown: open sessions are ended; returns when the server has exited.
    void stop();
    // SIGSTOP or SIGCONT to the postmaster and every process it started: a server that stops
    // answering while its connections stay open. False when not every signal could be sent.
    bool setPaused(bool paused);
    bool isRunning() const { return m_process.state() != QProcess::NotRunning; }

    QString host() const { return QStringLiteral("127.0.0.1"); }
    quint16 port() const { return m_port; }
    QString user() const { return QStringLiteral("nimbara"); }
    // The postmaster's process id while running.
    qint64 processId() const { return m_process.processId(); }
    QString dataDirectory() const;

    // libpq key=value form: "host=127.0.0.1 port=N dbname=<database> user=nimbara".
    QString connectionString(const QString& database = QStringLiteral("postgres")) const;
    // Creates an empty database (name: letters, digits, '_', not starting with a digit).
    bool createDatabase(const QString& name, QString* error);
    // A QPSQL connection to `database` on this server, added under `connectionName` but not opened.
    QSqlDatabase addDatabase(const QString& connectionName,
                             const QString& database = QStringLiteral("postgres")) const;

    // What initdb and the server printed so far.
    QByteArray log();

private:
    bool initialize(QString* error);
    bool launch(QString* error);
    QString path(const QString& name) const;

    QTemporaryDir m_dir;
    // Before the process: its output may still arrive while it is destroyed.
    QByteArray m_log;
    QProcess m_process;
    quint16 m_port = 0;
    bool m_initialized = false;
};
