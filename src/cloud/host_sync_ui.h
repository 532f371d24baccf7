#pragma once

#include <QString>
#include <QStringList>

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

    virtual ~HostSyncUi() = default;

    // Runs the passphrase dialog; true when a new passphrase was saved.
    virtual bool promptSyncPassphrase() = 0;
    virtual void showSyncMessage(MessageKind kind, const QString& title, const QString& text) = 0;
    // timeoutMs 0: until the next message.
    virtual void showSyncStatus(const QString& text, int timeoutMs) = 0;
    // The group tree and the host table read the database again.
    virtual void reloadInventory() = 0;
    virtual void setSyncBusy(bool busy) = 0;
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
