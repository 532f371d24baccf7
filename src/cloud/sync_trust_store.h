#pragma once

#include <QString>

class CryptoManager;

// What host sync keeps in the per-user settings of this computer: the sync passphrase (sealed to the
// device key) and the account it belongs to, the team keys trusted here (pinned on first sight), the
// newest revision accepted from each account (older ones are replays), and the accounts' names.
class SyncTrustStore
{
public:
    static constexpr const char* kPassphraseKey = "sync/passphrase";
    static constexpr const char* kPassphraseAccountKey = "sync/passphrase_account";

    enum class Pin { FirstSeen, Trusted, Changed };

    // `crypto` may be null: then no passphrase is kept.
    explicit SyncTrustStore(CryptoManager* crypto) : m_crypto(crypto) {}

    // The passphrase kept for `account` (the account signed in; empty: none is): empty when none is
    // kept, when it does not open, or when it was set for another account.
    QString passphrase(const QString& account) const;
    // Seals and keeps `passphrase` for `account`; with none, the next account that signs in takes it.
    // False when sealing or saving failed.
    bool storePassphrase(const QString& passphrase, const QString& account);
    void forgetPassphrase();
    // A passphrase set before signing in belongs to the first account that signs in.
    void claimPassphrase(const QString& account);

    // Compares the key fingerprint `peer` shows `me` now with the one pinned here; pins it on first
    // sight.
    Pin checkPin(const QString& me, const QString& peer, const QString& fingerprint);
    void pin(const QString& me, const QString& peer, const QString& fingerprint);

    qint64 acceptedRevision(const QString& account) const;
    // Never lowers it.
    void acceptRevision(const QString& account, qint64 revision);

    // The account's e-mail address as last seen; empty when never.
    QString accountName(const QString& account) const;
    void keepAccountName(const QString& account, const QString& email);

    // Whether turning sync on here was offered to `account` once already.
    bool wasOffered(const QString& account) const;
    void markOffered(const QString& account);

private:
    CryptoManager* m_crypto;
};
