#pragma once

#include <QString>
#include <QtGlobal>

// A relay node of the acceleration service, as the node list names it and the probes measured it.
struct AccelerationNode
{
    QString id;
    QString name;
    QString host;
    quint16 port = 443;
    qint32 latencyMs = -1; // -1: not measured or unreachable

    bool operator==(const AccelerationNode&) const = default;
};
