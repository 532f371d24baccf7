#pragma once

#include "cloud/host_sync_controller.h"

#include <QDateTime>
#include <QList>
#include <QString>

class QWidget;

// "主机云同步": what the cloud copy looks like and the three things the user can do with it.
class SyncCenter
{
public:
    enum class Action { Close, UploadNow, Restore, ChangePassphrase, AcceptChangedKeys, EnterPassphrase };

    // A team peer's key as the sync centre lists it.
    struct Peer
    {
        using State = HostSyncController::PeerKey::State;
        QString email;
        QString fingerprint;
        State state = State::NoKeys;
    };

    struct Status
    {
        bool cloudStateKnown = false;
        bool inProgress = false;
        bool autoSync = true;
        bool passphraseMissing = false;
        qint64 cloudRevision = 0;
        QDateTime lastSyncedHere; // this computer's last agreement with the cloud copy
        qsizetype localHosts = 0; // as the host table shows them
        int pendingChanges = 0;
        QString problem; // why the last sync did not go through
        // This account's key fingerprint (empty until its keys were opened) and the other side of
        // the team: the members for an owner, the owner for a member.
        QString ownFingerprint;
        bool member = false;
        QList<Peer> peers;
    };

    // The keys part of the box: fingerprints to compare, and which keys changed.
    static QString keysText(const Status& status);

    static QString headline(const Status& status);
    static QString informativeText(const Status& status);
    static Action choose(QWidget* parent, const Status& status);
};
