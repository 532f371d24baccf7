#pragma once

#include <QMetaType>
#include <QString>

// The signed-in member of the account service, as far as the host inventory needs it.
struct MemberAccount
{
    bool signedIn = false;
    QString id;
    QString name;
    QString email;
    QString role = QStringLiteral("owner");

    // A team sub-account is exactly "member"; everything else is the main account.
    bool isMainAccount() const { return role != QLatin1String("member"); }

    bool operator==(const MemberAccount&) const = default;

    static void registerMetaType();
};

Q_DECLARE_METATYPE(MemberAccount)
