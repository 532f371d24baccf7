// The account server under load, as its clients meet it: the real server process over HTTPS on
// loopback with SQLite, driven from this process.
//
//  1. Heartbeats: 64 keep-alive TLS connections, each sending its next heartbeat as soon as the last
//     one was answered, for 10 s after a 2 s warm-up; heartbeats per second and the latency
//     percentiles. Twice: sessions seen within the last minute (the server records nothing), and
//     sessions last seen minutes ago, so every heartbeat records the time (30,000 sessions in turn).
//     The first case again against nginx answering the same body over TLS (same certificate, same
//     connections, same 10 s), with the CPU time each spends per answer.
//  2. Host sync: GET and PUT of a 4 MiB snapshot on one keep-alive connection, 20 of each, time from
//     sending the request to the last byte of the answer. Then cold: the server restarted with the
//     snapshot in its database, and the first GET timed, five times.
//
// The load generator shares the machine's cores with the server; it is one thread.
#include "nginx_peer.h"
#include "process_figures.h"
#include "support/account_test_server.h"
#include "support/http_test_client.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSslSocket>
#include <QTimer>

#include <sodium.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

namespace {

constexpr int kConnections = 64;
constexpr int kWarmupMs = 2000;
constexpr int kMeasureMs = 10000;
constexpr int kSnapshotRounds = 20;
constexpr int kColdRounds = 5;
const QString kHeartbeatPath = QStringLiteral("/api/v1/account/session/heartbeat");
const QString kPassword = QStringLiteral("bench-password-1234");

QByteArray randomToken()
{
    unsigned char bytes[32];
    randombytes_buf(bytes, sizeof bytes);
    return QByteArray(reinterpret_cast<const char*>(bytes), sizeof bytes)
        .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
}

// One keep-alive connection that sends heartbeats back to back.
class HeartbeatClient : public QObject
{
public:
    HeartbeatClient(const QSslConfiguration& tls, quint16 port, const std::vector<QByteArray>* tokens,
                    int first, int stride, std::vector<double>* latencies, const bool* measuring,
                    qint64* answered)
        : m_tokens(tokens), m_next(first), m_stride(stride), m_latencies(latencies), m_measuring(measuring),
          m_answered(answered)
    {
        m_socket.setSslConfiguration(tls);
        connect(&m_socket, &QSslSocket::encrypted, this, &HeartbeatClient::send);
        connect(&m_socket, &QSslSocket::readyRead, this, &HeartbeatClient::read);
        m_socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
    }

    int failures() const { return m_failures; }

private:
    void send()
    {
        const QByteArray& token = (*m_tokens)[static_cast<size_t>(m_next)];
        m_next = (m_next + m_stride) % static_cast<int>(m_tokens->size());
        m_clock.start();
        m_socket.write(
            "POST /api/v1/account/session/heartbeat HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer " +
            token + "\r\nContent-Type: application/json\r\nContent-Length: 0\r\n\r\n");
    }

    void read()
    {
        m_buffer += m_socket.readAll();
        const qsizetype end = m_buffer.indexOf("\r\n\r\n");
        if (end < 0) {
            return;
        }
        const qsizetype lengthAt = m_buffer.indexOf("Content-Length: ");
        const qsizetype lengthEnd = m_buffer.indexOf("\r\n", lengthAt);
        const qsizetype length = m_buffer.mid(lengthAt + 16, lengthEnd - lengthAt - 16).toLongLong();
        if (m_buffer.size() < end + 4 + length) {
            return;
        }
        if (!m_buffer.startsWith("HTTP/1.1 200 ")) {
            ++m_failures;
        }
        m_buffer.remove(0, end + 4 + length);
        if (*m_measuring) {
            m_latencies->push_back(static_cast<double>(m_clock.nsecsElapsed()) / 1e6);
            ++*m_answered;
        }
        send();
    }

    QSslSocket m_socket;
    QByteArray m_buffer;
    QElapsedTimer m_clock;
    const std::vector<QByteArray>* m_tokens;
    int m_next;
    int m_stride;
    std::vector<double>* m_latencies;
    const bool* m_measuring;
    qint64* m_answered;
    int m_failures = 0;
};

// Sessions straight into the database (a sign-in each would spend minutes in password hashing).
bool insertSessions(const QString& databasePath, const QString& userId, const std::vector<QByteArray>& tokens,
                    qint64 lastSeenMs, QString* error)
{
    bool ok = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("bench"));
        db.setDatabaseName(databasePath);
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=30000"));
        if (db.open() && db.transaction()) {
            QSqlQuery query(db);
            query.prepare(QStringLiteral("INSERT INTO sessions (token_hash, user_id, client_id, created_ms, "
                                         "last_seen_ms, ended) VALUES (?, ?, ?, ?, ?, 0)"));
            ok = true;
            for (size_t i = 0; ok && i < tokens.size(); ++i) {
                query.bindValue(0,
                                QString::fromLatin1(
                                    QCryptographicHash::hash(tokens[i], QCryptographicHash::Sha256).toHex()));
                query.bindValue(1, userId);
                query.bindValue(2, QStringLiteral("bench-%1").arg(i));
                query.bindValue(3, lastSeenMs);
                query.bindValue(4, lastSeenMs);
                ok = query.exec();
            }
            ok = ok && db.commit();
            if (!ok) {
                *error = query.lastError().text() + db.lastError().text();
            }
        } else {
            *error = db.lastError().text();
        }
    }
    QSqlDatabase::removeDatabase(QStringLiteral("bench"));
    return ok;
}

struct HeartbeatFigures
{
    bool ok = false;
    double perSecond = 0;
    double cpuMicroseconds = 0; // the peer's CPU time per answer
};

// 64 connections against `port` for the warm-up and the counted 10 s; `processes` gives the processes
// answering (looked up as the count starts, once every worker runs), whose CPU time over the counted
// window is divided among the answers.
HeartbeatFigures heartbeatRun(const QSslConfiguration& tls, quint16 port,
                              const std::function<QList<qint64>()>& processes,
                              const std::vector<QByteArray>& tokens, const QString& label)
{
    std::vector<double> latencies;
    bool measuring = false;
    qint64 answered = 0;
    std::vector<std::unique_ptr<HeartbeatClient>> clients;
    for (int i = 0; i < kConnections; ++i) {
        clients.push_back(std::make_unique<HeartbeatClient>(tls, port, &tokens, i, kConnections, &latencies,
                                                            &measuring, &answered));
    }
    QElapsedTimer window;
    double cpuBefore = 0;
    QList<qint64> pids = processes();
    QTimer::singleShot(kWarmupMs, [&] {
        measuring = true;
        window.start();
        pids = processes();
        cpuBefore = ProcessFigures::cpuNanoseconds(pids);
    });
    QEventLoop loop;
    QTimer::singleShot(kWarmupMs + kMeasureMs, &loop, &QEventLoop::quit);
    const ProcessFigures::Memory before = ProcessFigures::memory(pids.value(0));
    loop.exec();
    measuring = false;
    const double cpu = ProcessFigures::cpuNanoseconds(pids) - cpuBefore;
    const double seconds = static_cast<double>(window.nsecsElapsed()) / 1e9;
    int failures = 0;
    for (const auto& client : clients) {
        failures += client->failures();
    }
    const ProcessFigures::Memory after = ProcessFigures::memory(pids.value(0));
    clients.clear();
    HeartbeatFigures figures;
    figures.ok = failures == 0 && answered > 0;
    figures.perSecond = static_cast<double>(answered) / seconds;
    figures.cpuMicroseconds = answered > 0 ? cpu / 1e3 / static_cast<double>(answered) : 0;
    std::printf("%s: %lld heartbeats in %.2f s, %d not answered with 200; %.1f µs CPU each (load average "
                "%s); PSS %.1f -> %.1f MiB\n",
                qPrintable(label), static_cast<long long>(answered), seconds, failures,
                figures.cpuMicroseconds, qPrintable(ProcessFigures::loadAverage()), before.pss, after.pss);
    ProcessFigures::printSummary(label + QStringLiteral(" heartbeats/s"),
                                 QString::number(figures.perSecond, 'f', 0));
    ProcessFigures::printSummary(label + QStringLiteral(" CPU µs per answer"),
                                 QString::number(figures.cpuMicroseconds, 'f', 1));
    ProcessFigures::printSummary(label + QStringLiteral(" p50 ms"),
                                 QString::number(ProcessFigures::percentile(latencies, 0.50), 'f', 2));
    ProcessFigures::printSummary(label + QStringLiteral(" p99 ms"),
                                 QString::number(ProcessFigures::percentile(latencies, 0.99), 'f', 2));
    ProcessFigures::printSummary(label + QStringLiteral(" PSS MiB"), QString::number(after.pss, 'f', 1));
    return figures;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    if (sodium_init() < 0) {
        return 1;
    }
    AccountTestServer server;
    QString error;
    // The load generator's 64 connections all come from 127.0.0.1.
    AccountTestServer::Options options;
    options.extraConfig = QStringLiteral("[limits]\nmax_connections_per_address = 128\n");
    if (!server.start(options, &error)) {
        std::fprintf(stderr, "the account server did not start: %s\n", qPrintable(error));
        return 1;
    }
    HttpTestClient client(server.clientConfiguration());
    const QJsonObject registration{{QStringLiteral("name"), QStringLiteral("Bench")},
                                   {QStringLiteral("email"), QStringLiteral("bench@example.com")},
                                   {QStringLiteral("password"), kPassword},
                                   {QStringLiteral("accept_terms"), true},
                                   {QStringLiteral("client_id"), QStringLiteral("bench-main")},
                                   {QStringLiteral("client_name"), QStringLiteral("bench")}};
    const HttpTestClient::Reply registered =
        client.post(server.url(QStringLiteral("/api/v1/auth/register")), registration);
    const QByteArray mainToken = registered.json.value(QStringLiteral("access_token")).toString().toLatin1();
    const QString userId = client.get(server.url(QStringLiteral("/api/v1/account/me")), mainToken)
                               .json.value(QStringLiteral("id"))
                               .toString();
    if (mainToken.isEmpty() || userId.isEmpty()) {
        std::fprintf(stderr, "registration failed: %s\n", registered.body.constData());
        return 1;
    }

    const auto serverProcess = [&server] {
        return QList<qint64>{server.processId()};
    };

    // 1a. 64 sessions seen just now.
    std::vector<QByteArray> recent;
    for (int i = 0; i < kConnections; ++i) {
        recent.push_back(randomToken());
    }
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (!insertSessions(server.databasePath(), userId, recent, now, &error)) {
        std::fprintf(stderr, "cannot add sessions: %s\n", qPrintable(error));
        return 1;
    }
    const HeartbeatFigures seen = heartbeatRun(server.clientConfiguration(), server.port(), serverProcess,
                                               recent, QStringLiteral("heartbeat, seen this minute"));
    bool ok = seen.ok;

    // 1a'. nginx answering the same body, driven alike.
    NginxPeer nginx;
    if (!nginx.start(QStringLiteral("1"), server.directory() + QStringLiteral("/server.crt"),
                     server.directory() + QStringLiteral("/server.key"), kHeartbeatPath,
                     QByteArrayLiteral("{\"ok\":true}"), &error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    const HeartbeatFigures reference = heartbeatRun(
        server.clientConfiguration(), nginx.port(), [&nginx] { return nginx.processIds(); }, recent,
        QStringLiteral("nginx, 1 worker"));
    ok = reference.ok && ok;
    ProcessFigures::printSummary(QStringLiteral("server / nginx heartbeats per second"),
                                 QString::number(seen.perSecond / reference.perSecond, 'f', 2));
    ProcessFigures::printSummary(QStringLiteral("server / nginx CPU per answer"),
                                 QString::number(seen.cpuMicroseconds / reference.cpuMicroseconds, 'f', 2));

    // 1b. 30,000 sessions last seen ten minutes ago: every heartbeat records the time.
    std::vector<QByteArray> stale;
    for (int i = 0; i < 30000; ++i) {
        stale.push_back(randomToken());
    }
    if (!insertSessions(server.databasePath(), userId, stale, now - 10 * 60 * 1000, &error)) {
        std::fprintf(stderr, "cannot add sessions: %s\n", qPrintable(error));
        return 1;
    }
    ok = heartbeatRun(server.clientConfiguration(), server.port(), serverProcess, stale,
                      QStringLiteral("heartbeat, recording the time"))
             .ok &&
         ok;

    // 2. A 4 MiB snapshot (about 10,000 hosts, encrypted and Base64-encoded).
    QByteArray random(3 * 1024 * 1024, Qt::Uninitialized);
    randombytes_buf(random.data(), static_cast<size_t>(random.size()));
    const QString payload =
        QStringLiteral("NIMBARA-SYNC-1.") +
        QString::fromLatin1(random.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
    std::vector<double> puts;
    std::vector<double> gets;
    std::vector<double> pss;
    const QUrl sync = server.url(QStringLiteral("/api/v1/account/host-sync"));
    for (int round = 0; round < kSnapshotRounds; ++round) {
        const QByteArray body = QJsonDocument(QJsonObject{{QStringLiteral("payload"), payload},
                                                          {QStringLiteral("device_count"), 10000},
                                                          {QStringLiteral("expected_revision"), round}})
                                    .toJson(QJsonDocument::Compact);
        QElapsedTimer clock;
        clock.start();
        const HttpTestClient::Reply put = client.request("PUT", sync, body, mainToken);
        puts.push_back(static_cast<double>(clock.nsecsElapsed()) / 1e6);
        clock.start();
        const HttpTestClient::Reply get = client.get(sync, mainToken);
        gets.push_back(static_cast<double>(clock.nsecsElapsed()) / 1e6);
        pss.push_back(ProcessFigures::memory(server.processId()).pss);
        if (put.status != 200 || get.status != 200 || get.body.size() < payload.size()) {
            std::fprintf(stderr, "snapshot round %d failed: %d %d\n", round, put.status, get.status);
            ok = false;
        }
    }
    std::printf("snapshot body %lld bytes\nround  PUT ms  GET ms  server PSS MiB after the round\n",
                static_cast<long long>(payload.size()));
    for (size_t i = 0; i < puts.size(); ++i) {
        std::printf("%5zu %7.1f %7.1f %7.1f\n", i + 1, puts[i], gets[i], pss[i]);
    }
    ProcessFigures::printSummary(QStringLiteral("4 MiB snapshot PUT median ms"),
                                 QString::number(ProcessFigures::percentile(puts, 0.5), 'f', 1));
    ProcessFigures::printSummary(QStringLiteral("4 MiB snapshot PUT max ms"),
                                 QString::number(ProcessFigures::maximum(puts), 'f', 1));
    ProcessFigures::printSummary(QStringLiteral("4 MiB snapshot GET median ms"),
                                 QString::number(ProcessFigures::percentile(gets, 0.5), 'f', 1));
    ProcessFigures::printSummary(QStringLiteral("4 MiB snapshot GET max ms"),
                                 QString::number(ProcessFigures::maximum(gets), 'f', 1));
    ProcessFigures::printSummary(QStringLiteral("server PSS after snapshots MiB"),
                                 QString::number(ProcessFigures::memory(server.processId()).pss, 'f', 1));

    // 3. Cold: a fresh server process whose database holds the snapshot; its first GET. The connection
    // is made (and the server's first request served) by a health check before.
    std::vector<double> coldMs;
    std::vector<double> coldCpuMs;
    for (int round = 0; round < kColdRounds; ++round) {
        if (!server.restart(&error)) {
            std::fprintf(stderr, "the account server did not restart: %s\n", qPrintable(error));
            return 1;
        }
        HttpTestClient fresh(server.clientConfiguration());
        const HttpTestClient::Reply health = fresh.get(server.url(QStringLiteral("/api/v1/health")));
        const double cpuBefore = ProcessFigures::cpuNanoseconds(server.processId());
        QElapsedTimer clock;
        clock.start();
        const HttpTestClient::Reply get = fresh.get(sync, mainToken);
        coldMs.push_back(static_cast<double>(clock.nsecsElapsed()) / 1e6);
        coldCpuMs.push_back((ProcessFigures::cpuNanoseconds(server.processId()) - cpuBefore) / 1e6);
        if (health.status != 200 || get.status != 200 || get.body.size() < payload.size()) {
            std::fprintf(stderr, "cold round %d failed: %d %d\n", round, health.status, get.status);
            ok = false;
        }
        std::printf("cold GET %d: %.1f ms, server CPU %.1f ms\n", round + 1, coldMs.back(), coldCpuMs.back());
    }
    ProcessFigures::printSummary(QStringLiteral("4 MiB snapshot GET cold ms"),
                                 ProcessFigures::rangeOf(coldMs, 1));
    ProcessFigures::printSummary(QStringLiteral("4 MiB snapshot GET cold server CPU ms"),
                                 ProcessFigures::rangeOf(coldCpuMs, 1));
    return ok ? 0 : 1;
}
