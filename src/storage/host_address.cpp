#include "storage/host_address.h"

#include <QHostAddress>
#include <QRegularExpression>

bool isValidSshTarget(const QString& host, int port)
{
    if (port < 1 || port > 65535) {
        return false;
    }

    const QString trimmed = host.trimmed();
    if (trimmed.isEmpty() || trimmed.size() >= 254) {
        return false;
    }

    // Characters that could split or quote an ssh command line are never part of an address.
    static const QRegularExpression forbidden(QStringLiteral(R"([\s/\\"'])"));
    if (forbidden.match(trimmed).hasMatch()) {
        return false;
    }

    QHostAddress address;
    if (address.setAddress(trimmed)) {
        return true;
    }

    static const QRegularExpression hostName(QStringLiteral(
        R"(^(?=.{1,253}$)(?:[A-Za-z0-9](?:[A-Za-z0-9-]{0,61}[A-Za-z0-9])?)(?:\.(?:[A-Za-z0-9](?:[A-Za-z0-9-]{0,61}[A-Za-z0-9])?))*$)"));
    return hostName.match(trimmed).hasMatch();
}
