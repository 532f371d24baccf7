#pragma once

#include <QString>

#include <optional>

// The one rule for the e-mail addresses and names accounts are made with, shared by registration and
// the command line: Unicode NFC, surrounding blanks removed, and nothing invisible that could make two
// entries of `user list` look alike (controls, tabs, zero-width and bidirectional formatting
// characters, private-use and unassigned code points).
class AccountText
{
public:
    static constexpr int kMaxNameLength = 100;

    // The address as it is stored, or nothing when it is not a plain address (one @, a dotted
    // domain, at most 254 characters).
    static std::optional<QString> email(const QString& text);
    // The display name as it is stored, or nothing when it is empty, too long or holds anything
    // invisible.
    static std::optional<QString> name(const QString& text);
    // NFC and trimmed, for looking an address up (no refusal: the store matches it or not).
    static QString normalized(const QString& text);
    // Whether `text` holds a character that is not seen as itself: controls, format characters,
    // line and paragraph separators, surrogates, private-use or unassigned code points, fillers.
    static bool hasInvisible(const QString& text);
};
