#include "password_hasher.h"

#include "platform/secure_memory.h"

#include <QPointer>

#include <sodium.h>

PasswordHasher::PasswordHasher(int threads, int maxQueued, int maxQueuedHashes, QObject* parent)
    : QObject(parent), m_maxQueued(maxQueued), m_maxQueuedHashes(maxQueuedHashes)
{
    m_pool.setMaxThreadCount(threads);
    QByteArray random(32, Qt::Uninitialized);
    randombytes_buf(random.data(), static_cast<size_t>(random.size()));
    m_decoyHash = hashNow(random);
    SecureMemory::wipe(random);
}

PasswordHasher::~PasswordHasher()
{
    m_pool.waitForDone();
}

QString PasswordHasher::hashNow(const QByteArray& password)
{
    char out[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str(out, password.constData(), static_cast<unsigned long long>(password.size()),
                          crypto_pwhash_OPSLIMIT_INTERACTIVE, crypto_pwhash_MEMLIMIT_INTERACTIVE) != 0) {
        return {}; // out of memory
    }
    return QString::fromLatin1(out);
}

bool PasswordHasher::verifyNow(const QString& hash, const QByteArray& password)
{
    const QByteArray stored = hash.toLatin1();
    if (stored.isEmpty() || stored.size() >= crypto_pwhash_STRBYTES) {
        return false;
    }
    return crypto_pwhash_str_verify(stored.constData(), password.constData(),
                                    static_cast<unsigned long long>(password.size())) == 0;
}

template <typename Result>
bool PasswordHasher::submit(QByteArray password, QObject* context,
                            std::function<Result(const QByteArray&)> work, std::function<void(Result)> done,
                            bool newHash)
{
    if (newHash && m_queuedHashes.fetchAndAddRelaxed(1) >= m_maxQueuedHashes) {
        m_queuedHashes.fetchAndAddRelaxed(-1);
        SecureMemory::wipe(password);
        return false;
    }
    if (m_queued.fetchAndAddRelaxed(1) >= m_maxQueued) {
        m_queued.fetchAndAddRelaxed(-1);
        if (newHash) {
            m_queuedHashes.fetchAndAddRelaxed(-1);
        }
        SecureMemory::wipe(password);
        return false;
    }
    QPointer<QObject> target(context);
    const int priority = newHash ? 0 : 1; // verifications first
    m_pool.start(
        [this, password, target, newHash, work = std::move(work), done = std::move(done)]() mutable {
            Result result = work(password);
            SecureMemory::wipe(password);
            m_queued.fetchAndAddRelaxed(-1);
            if (newHash) {
                m_queuedHashes.fetchAndAddRelaxed(-1);
            }
            if (target) {
                QMetaObject::invokeMethod(target, [target, done, result] {
                    if (target) {
                        done(result);
                    }
                });
            }
        },
        priority);
    return true;
}

bool PasswordHasher::hash(QByteArray password, QObject* context, std::function<void(QString)> done)
{
    return submit<QString>(std::move(password), context, &PasswordHasher::hashNow, std::move(done), true);
}

bool PasswordHasher::verify(QString hash, QByteArray password, QObject* context,
                            std::function<void(bool)> done)
{
    return submit<bool>(
        std::move(password), context, [hash](const QByteArray& bytes) { return verifyNow(hash, bytes); },
        std::move(done), false);
}
