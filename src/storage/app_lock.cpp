#include "storage/app_lock.h"

#include "logger.h"
#include "platform/clock.h"
#include "platform/secure_memory.h"
#include "storage/crypto_manager.h"
#include "storage/master_key_record.h"

#include <QThread>

#include <algorithm>
#include <memory>
#include <optional>

namespace {

constexpr qint64 kFirstDelayMs = 1000;
constexpr qint64 kLongestDelayMs = 30000;

} // namespace

AppLock::AppLock(CryptoManager* crypto, const IClock* clock, QObject* parent)
    : QObject(parent), m_crypto(crypto), m_clock(clock ? clock : &steadyClock())
{
    m_locked = m_crypto && m_crypto->isLocked();
}

AppLock::~AppLock()
{
    if (m_worker) {
        // The derivation cannot be interrupted; it holds copies only, so waiting is all that is left.
        m_worker->wait();
        delete m_worker;
    }
}

qint64 AppLock::now() const
{
    return m_clock->nowMs();
}

bool AppLock::isAvailable() const
{
    return m_crypto && m_crypto->hasMasterPassword();
}

void AppLock::lock()
{
    if (!isAvailable() || m_locked) {
        return;
    }
    m_crypto->lock();
    m_locked = true;
    m_confirmedAt = -1;
    SPDLOG_INFO("程序已锁定");
    emit locked();
}

qint64 AppLock::delayAfterFailures(int failures)
{
    if (failures <= 0) {
        return 0;
    }
    const int doublings = std::min(failures - 1, 16);
    return std::min(kFirstDelayMs << doublings, kLongestDelayMs);
}

qint64 AppLock::retryDelayMs() const
{
    return std::max<qint64>(0, m_retryAt - now());
}

void AppLock::noteFailure()
{
    ++m_failures;
    m_retryAt = now() + delayAfterFailures(m_failures);
}

bool AppLock::unlock(const QString& password)
{
    if (!m_locked || m_worker || retryDelayMs() > 0 || !m_crypto) {
        return false;
    }
    // The record and the password travel as copies: the worker may outlive neither the manager nor
    // this object's caller, but it touches nothing else.
    const QByteArray record = m_crypto->masterRecord();
    auto secretKey = std::make_shared<std::optional<QByteArray>>();
    m_worker = QThread::create([record, pw = QString(password), secretKey]() mutable {
        *secretKey = MasterKeyRecord::open(record, pw);
        SecureMemory::wipe(pw);
    });
    m_worker->setObjectName(QStringLiteral("unlock"));
    connect(m_worker, &QThread::finished, this, [this, secretKey] {
        m_worker->deleteLater();
        m_worker = nullptr;
        bool opened = false;
        if (secretKey->has_value()) {
            opened = m_crypto->acceptSecretKey(std::move(**secretKey));
            secretKey->reset();
        }
        finishUnlock(opened);
    });
    m_worker->start();
    return true;
}

void AppLock::finishUnlock(bool opened)
{
    if (!opened) {
        noteFailure();
        SPDLOG_WARN("主密码错误，第 {} 次", m_failures);
        emit unlockFailed(retryDelayMs());
        return;
    }
    m_failures = 0;
    m_retryAt = 0;
    m_locked = false;
    m_confirmedAt = now();
    SPDLOG_INFO("程序已解锁");
    emit unlocked();
}

void AppLock::keysReplaced()
{
    m_failures = 0;
    m_retryAt = 0;
    if (m_locked && m_crypto && !m_crypto->isLocked()) {
        m_locked = false;
        m_confirmedAt = now();
        emit unlocked();
    }
}

bool AppLock::recentlyConfirmed() const
{
    return !m_locked && m_confirmedAt >= 0 && now() - m_confirmedAt < kConfirmationValidMs;
}

AppLock::Confirmation AppLock::confirm(const QString& password)
{
    if (retryDelayMs() > 0) {
        return Confirmation::Waiting;
    }
    if (!m_crypto || !m_crypto->verifyMasterPassword(password)) {
        noteFailure();
        return Confirmation::Wrong;
    }
    m_failures = 0;
    m_retryAt = 0;
    m_confirmedAt = now();
    return Confirmation::Confirmed;
}
