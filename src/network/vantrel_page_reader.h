#pragma once

#include "storage/remote.h"

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QString>
#include <QStringList>

// Everything the portal client reads out of the partner portal's pages: the patterns (each compiled
// once) and the text rules. Every function takes a whole page and never fails: text it cannot read
// gives empty results. The pages come from outside, so no pattern may take unbounded time on them.
class VantrelPageReader
{
public:
    // Named and numeric entities; "&amp;" last, so "&amp;lt;" stays the literal text "&lt;".
    static QString decodeEntities(const QString& text);
    // Tags become blanks, entities are decoded, white space is collapsed and trimmed.
    static QString stripTags(const QString& html);
    static bool looksLikeLinux(const QString& text);
    // A name that says nothing about the server (the portal's placeholders, or `fallback`).
    static bool isGenericName(const QString& strippedName, const QString& fallback = {});
    // A timestamp of seconds or milliseconds since the epoch as local time in `format`; empty for
    // anything but an integer of at least 1.
    static QString timestampText(const QString& value,
                                 const QString& format = QStringLiteral("yyyy-MM-dd HH:mm:ss"));

    // The portal JWT a candidate holds ("Bearer " stripped), or empty when it is no usable one.
    static QString acceptedJwt(const QString& candidate);
    // The JWT a page hands to its scripts, if it is usable.
    static QString pageJwt(const QString& page);

    // Phone sign-in (with captcha) for an account without "@", e-mail sign-in otherwise.
    static bool isPhoneAccount(const QString& account);
    // The URL-encoded sign-in form. The caller wipes it once sent: it holds the password.
    static QByteArray signInForm(const QString& token, const QString& account, const QString& password,
                                 const QString& captcha);

    static QString loginToken(const QString& page);
    // The page still asks for a password: the sign-in did not go through.
    static bool asksForPassword(const QString& page);
    // The portal's reason for a refused sign-in, or a general one.
    static QString signInError(const QString& page);
    static QString userId(const QString& page);
    static QString displayName(const QString& page);

    // Product group ids of the service index, without duplicates, in page order.
    static QStringList groupIds(const QString& page);
    // Partial records of the index's table rows, by the portal's server id.
    static QHash<QString, Remote> listHints(const QString& page);
    // Server ids of a service list page, without duplicates, in page order.
    static QStringList serverIds(const QString& page);

    // The record of the detail page of server `serverId` (the portal's number), its gaps filled
    // from `hint` when given. No id when the page is empty.
    static Remote detailRecord(const QString& serverId, const QByteArray& body, const Remote* hint,
                               const QDateTime& nowUtc);

    // Time spent in the functions above since the last reset, for measurements.
    static qint64 matchingNanoseconds();
    static void resetMatchingTime();
};
