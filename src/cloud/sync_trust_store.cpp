#include "cloud/sync_trust_store.h"

#include "storage/crypto_manager.h"

#include <QSettings>

namespace {

QString acceptedRevisionKey(const QString& account)
{
    return QStringLiteral("sync/accepted_revision/") + account;
}

QString pinKey(const QString& me, const QString& peer)
{
    return QStringLiteral("sync/pins/%1/%2").arg(me, peer);
}

QString accountNameKey(const QString& account)
{
    return QStringLiteral("sync/account_names/") + account;
}

QString offeredKey(const QString& account)
{
    return QStringLiteral("sync/offered/") + account;
}

} // namespace

QString SyncTrustStore::passphrase(const QString& account) const
{
    QSettings settings;
    const QString sealed = settings.value(kPassphraseKey).toString();
    if (sealed.isEmpty() || !m_crypto) {
        return {};
    }
    // A passphrase set for one account is never used for another that signs in on this computer.
    const QString owner = settings.value(kPassphraseAccountKey).toString();
    if (!owner.isEmpty() && !account.isEmpty() && owner != account) {
        return {};
    }
    return m_crypto->sealDecrypt(sealed);
}

bool SyncTrustStore::storePassphrase(const QString& passphrase, const QString& account)
{
    const QString sealed = m_crypto ? m_crypto->sealEncrypt(passphrase) : QString();
    if (sealed.isEmpty()) {
        return false;
    }
    QSettings settings;
    settings.setValue(kPassphraseKey, sealed);
    if (!account.isEmpty()) {
        settings.setValue(kPassphraseAccountKey, account);
    } else {
        settings.remove(kPassphraseAccountKey); // taken by the next account that turns sync on here
    }
    settings.sync();
    return settings.status() == QSettings::NoError;
}

void SyncTrustStore::forgetPassphrase()
{
    QSettings settings;
    settings.remove(kPassphraseKey);
    settings.remove(kPassphraseAccountKey);
    settings.sync();
}

void SyncTrustStore::claimPassphrase(const QString& account)
{
    QSettings settings;
    if (!settings.value(kPassphraseKey).toString().isEmpty() &&
        settings.value(kPassphraseAccountKey).toString().isEmpty()) {
        settings.setValue(kPassphraseAccountKey, account);
    }
}

SyncTrustStore::Pin SyncTrustStore::checkPin(const QString& me, const QString& peer,
                                             const QString& fingerprint)
{
    QSettings settings;
    const QString key = pinKey(me, peer);
    const QString pinned = settings.value(key).toString();
    if (pinned.isEmpty()) {
        // Trusted on first use; the fingerprint stays visible in the sync centre for comparison.
        settings.setValue(key, fingerprint);
        return Pin::FirstSeen;
    }
    return pinned == fingerprint ? Pin::Trusted : Pin::Changed;
}

void SyncTrustStore::pin(const QString& me, const QString& peer, const QString& fingerprint)
{
    QSettings().setValue(pinKey(me, peer), fingerprint);
}

qint64 SyncTrustStore::acceptedRevision(const QString& account) const
{
    return QSettings().value(acceptedRevisionKey(account), 0).toLongLong();
}

void SyncTrustStore::acceptRevision(const QString& account, qint64 revision)
{
    QSettings settings;
    if (settings.value(acceptedRevisionKey(account), 0).toLongLong() < revision) {
        settings.setValue(acceptedRevisionKey(account), revision);
    }
}

QString SyncTrustStore::accountName(const QString& account) const
{
    return QSettings().value(accountNameKey(account)).toString();
}

void SyncTrustStore::keepAccountName(const QString& account, const QString& email)
{
    // Written only when it changed: every write makes the settings file be saved again (and synced to
    // disk) on the GUI thread, and an owner sees every member's name at every upload.
    QSettings settings;
    if (!email.isEmpty() && settings.value(accountNameKey(account)).toString() != email) {
        settings.setValue(accountNameKey(account), email);
    }
}

bool SyncTrustStore::wasOffered(const QString& account) const
{
    return QSettings().value(offeredKey(account)).toBool();
}

void SyncTrustStore::markOffered(const QString& account)
{
    QSettings().setValue(offeredKey(account), true);
}
