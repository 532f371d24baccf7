#pragma once

#include <QDateTime>
#include <QString>

class QWidget;

// "主机云同步": what the cloud copy looks like and the three things the user can do with it.
class SyncCenter
{
public:
    enum class Action { Close, UploadNow, Restore, ChangePassphrase };

    struct Status
    {
        bool cloudStateKnown = false;
        qint64 cloudRevision = 0;
        QDateTime cloudUpdatedAt;
        qsizetype localHosts = 0;
    };

    static QString informativeText(const Status& status);
    static Action choose(QWidget* parent, const Status& status);
};
