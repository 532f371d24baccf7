#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QThreadPool>

#include <functional>

// Argon2id password hashes (libsodium's crypto_pwhash_str, interactive limits: 64 MiB, about a
// tenth of a second) computed on worker threads, so a sign-in never stalls the other clients.
// The number of threads bounds the memory; past `maxQueued` waiting jobs new ones are refused. New
// hashes (registrations, password changes) may hold at most `maxQueuedHashes` of those places and
// wait behind verifications, so a flood of registrations never keeps a sign-in out.
class PasswordHasher : public QObject
{
    Q_OBJECT

public:
    explicit PasswordHasher(int threads = 2, int maxQueued = 64, int maxQueuedHashes = 16,
                            QObject* parent = nullptr);
    ~PasswordHasher() override;

    // The callbacks run on the thread of `context`, and not at all once it is gone. The password
    // bytes are wiped when the job is done. False (and no callback) when too many jobs wait.
    bool hash(QByteArray password, QObject* context, std::function<void(QString hash)> done);
    bool verify(QString hash, QByteArray password, QObject* context, std::function<void(bool match)> done);

    // Synchronous forms, for the command line. An empty hash means it could not be computed.
    static QString hashNow(const QByteArray& password);
    static bool verifyNow(const QString& hash, const QByteArray& password);

    // A hash of a random password: unknown e-mail addresses are verified against it, so that they
    // take as long as known ones and the answer time does not tell which addresses exist.
    const QString& decoyHash() const { return m_decoyHash; }

private:
    template <typename Result>
    bool submit(QByteArray password, QObject* context, std::function<Result(const QByteArray&)> work,
                std::function<void(Result)> done, bool newHash);

    QThreadPool m_pool;
    int m_maxQueued;
    int m_maxQueuedHashes;
    QAtomicInt m_queued = 0;
    QAtomicInt m_queuedHashes = 0;
    QString m_decoyHash;
};
