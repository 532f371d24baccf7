#pragma once

#include "storage/remote.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// What the host sync needs from the window: the passphrase dialog, message boxes, the status bar, a
// redraw of the inventory after a merge, and a busy indication while a key is derived. The main window
// implements it; tests fake it.
class HostSyncUi
{
public:
    enum class MessageKind { Information, Warning };
    // What becomes of hosts that an earlier account's cloud brought to this computer, before the
    // account now signed in uploads anything.
    enum class EarlierHostsChoice { Undecided, KeepInAccount, KeepLocalOnly, Remove };
    // Set: the account's first computer with sync chooses one (twice). Enter: the one chosen on the
    // first computer. Change: a new one for the keys already open.
    enum class PassphraseMode { Set, Enter, Change };
    // The same host changed here and on another computer since they last agreed.
    struct Conflict
    {
        Remote local;
        Remote cloud;
    };
    enum class ConflictChoice { KeepLocal, TakeCloud };

    virtual ~HostSyncUi() = default;

    // Runs the passphrase dialog; `problem` says why it asks again (empty the first time). nullopt
    // when the user cancelled.
    virtual std::optional<QString> askSyncPassphrase(PassphraseMode mode, const QString& problem) = 0;
    virtual void showSyncMessage(MessageKind kind, const QString& title, const QString& text) = 0;
    // timeoutMs 0: until the next message.
    virtual void showSyncStatus(const QString& text, int timeoutMs) = 0;
    // A lasting indication beside the status bar ("N 处更改尚未上传"); empty hides it.
    virtual void showSyncState(const QString& text) { Q_UNUSED(text) }
    // The group tree and the host table read the database again.
    virtual void reloadInventory() = 0;
    virtual void setSyncBusy(bool busy) = 0;
    virtual ConflictChoice resolveConflicts(const QList<Conflict>& conflicts)
    {
        Q_UNUSED(conflicts)
        return ConflictChoice::KeepLocal;
    }
    // After sign-in on a computer where sync is off while the account has it on elsewhere: true when
    // the user wants to turn it on here now.
    virtual bool offerSync(const QString& email)
    {
        Q_UNUSED(email)
        return false;
    }
    // `earlierAccounts` names the accounts (e-mail addresses where known), `hostNames` the hosts (a
    // few of them), `count` how many there are. Undecided (the default) uploads nothing this time.
    virtual EarlierHostsChoice askAboutEarlierHosts(const QString& earlierAccounts,
                                                    const QStringList& hostNames, int count,
                                                    const QString& currentAccount)
    {
        Q_UNUSED(earlierAccounts)
        Q_UNUSED(hostNames)
        Q_UNUSED(count)
        Q_UNUSED(currentAccount)
        return EarlierHostsChoice::Undecided;
    }
};
