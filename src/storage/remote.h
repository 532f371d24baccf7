#pragma once

#include <QDateTime>
#include <QList>
#include <QMetaType>
#include <QString>

// One remote host of the inventory; fields map one to one onto the columns of the remotes table.
struct Remote
{
    QString id;
    QString name;
    QString host;
    int port = 3389;
    QString username;
    QString password; // plain text in memory only; sealed whenever it is stored
    QString remark;
    QString group_id;
    QString mac_address;
    bool legacy_rdp_security = false;
    QString protocol = QStringLiteral("rdp");
    QString agent_device_id;
    QString rdp_certificate_fingerprint;
    QString access_scope = QStringLiteral("owner");
    QString source_type = QStringLiteral("manual");
    QDateTime created_at;
    QDateTime updated_at;

    // Every protocol other than "ssh" (in any letter case) means Windows / RDP.
    bool isSsh() const { return protocol.compare(QLatin1String("ssh"), Qt::CaseInsensitive) == 0; }
    // Read from the partner portal: each portal sign-in replaces these hosts.
    bool isFromPortal() const { return source_type == QLatin1String("vantrel"); }

    bool operator==(const Remote&) const = default;
};

Q_DECLARE_METATYPE(Remote)
