#pragma once

#include <QString>

// What the host sync needs from the window: the passphrase dialog, message boxes, the status bar, a
// redraw of the inventory after a merge, and a busy indication while a key is derived. The main window
// implements it; tests fake it.
class HostSyncUi
{
public:
    enum class MessageKind { Information, Warning };

    virtual ~HostSyncUi() = default;

    // Runs the passphrase dialog; true when a new passphrase was saved.
    virtual bool promptSyncPassphrase() = 0;
    virtual void showSyncMessage(MessageKind kind, const QString& title, const QString& text) = 0;
    // timeoutMs 0: until the next message.
    virtual void showSyncStatus(const QString& text, int timeoutMs) = 0;
    // The group tree and the host table read the database again.
    virtual void reloadInventory() = 0;
    virtual void setSyncBusy(bool busy) = 0;
};
