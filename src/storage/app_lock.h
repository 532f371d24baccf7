#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

class CryptoManager;
class IClock;
class QThread;

// Whether the program is locked. Locking wipes the device secret key, so no sealed secret can be
// opened until the master password is given again; everything that holds plaintext secrets of its
// own (sessions keeping a password for reconnecting) wipes it on locked(). Wrong master passwords are
// answered with a growing wait, enforced here, not only in the window that asks.
//
// Without a master password there is nothing to lock with: lock() does nothing.
class AppLock : public QObject
{
    Q_OBJECT

public:
    // `clock` must outlive the lock; nullptr means the system's steady clock.
    explicit AppLock(CryptoManager* crypto, const IClock* clock = nullptr, QObject* parent = nullptr);
    ~AppLock() override;

    // A master password is set, so the program can lock.
    bool isAvailable() const;
    bool isLocked() const { return m_locked; }
    bool isUnlocking() const { return m_worker != nullptr; }

    // Locks now (a no-op when unavailable or already locked) and emits locked().
    void lock();

    // Starts opening the key with `password` on a worker thread (the derivation takes most of a
    // second); the answer is unlocked() or unlockFailed(). False, and nothing started, while an attempt
    // runs or the wait after a wrong password has not passed.
    bool unlock(const QString& password);

    // After the device key was replaced by a new one without a master password (a forgotten master
    // password was reset): nothing is locked any more; emits unlocked() when it was locked.
    void keysReplaced();

    // Milliseconds left before the next attempt is taken; 0 when one may be made now.
    qint64 retryDelayMs() const;
    // The wait after `failures` wrong passwords in a row: 1 s, doubling, at most 30 s.
    static qint64 delayAfterFailures(int failures);
    int failedAttempts() const { return m_failures; }

    // For showing or exporting a stored password while unlocked: true without asking when the
    // program was unlocked (or the password confirmed) within the last minute.
    bool recentlyConfirmed() const;
    // Checks `password` right away on this thread (slow), with the same wait after wrong ones.
    enum class Confirmation { Confirmed, Wrong, Waiting };
    Confirmation confirm(const QString& password);

    static constexpr qint64 kConfirmationValidMs = 60 * 1000;

signals:
    void locked();
    void unlocked();
    // The password was wrong; the next attempt is taken after `retryDelayMs`.
    void unlockFailed(qint64 retryDelayMs);

private:
    void finishUnlock(bool opened);
    void noteFailure();
    qint64 now() const;

    CryptoManager* m_crypto;
    const IClock* m_clock;
    bool m_locked = false;
    int m_failures = 0;
    qint64 m_retryAt = 0;
    qint64 m_confirmedAt = -1;
    QThread* m_worker = nullptr;
};
