#pragma once

#include "storage/remote.h"

#include <QString>

// The texts the export file writes for a host's protocol and access scope. The importer knows them
// too, so that a file it wrote reads back as it was.
class ExportLabels
{
public:
    static QString sshProtocol() { return QStringLiteral("SSH/Linux"); }
    static QString rdpProtocol() { return QStringLiteral("RDP/Windows"); }
    static QString protocolOf(const Remote& remote) { return remote.isSsh() ? sshProtocol() : rdpProtocol(); }

    // Only a label, not a description worth keeping as the host's remark.
    static bool isProtocolLabel(const QString& text)
    {
        return text.compare(sshProtocol(), Qt::CaseInsensitive) == 0 ||
               text.compare(rdpProtocol(), Qt::CaseInsensitive) == 0;
    }

    static QString scopeOf(const Remote& remote)
    {
        return remote.access_scope == QLatin1String("team") ? QStringLiteral("主账号及子账号")
                                                            : QStringLiteral("仅主账号");
    }
};
