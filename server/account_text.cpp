#include "account_text.h"

#include <QRegularExpression>

namespace {

// Code points that render as nothing although their category says otherwise (Hangul fillers,
// Khmer inherent vowels, Mongolian and general variation selectors, the combining grapheme joiner).
bool isIgnorableLetterOrMark(char32_t c)
{
    return c == 0x034F || c == 0x115F || c == 0x1160 || c == 0x3164 || c == 0xFFA0 || c == 0x17B4 ||
           c == 0x17B5 || (c >= 0x180B && c <= 0x180F) || (c >= 0xFE00 && c <= 0xFE0F) ||
           (c >= 0xE0100 && c <= 0xE01EF);
}

} // namespace

QString AccountText::normalized(const QString& text)
{
    return text.normalized(QString::NormalizationForm_C).trimmed();
}

bool AccountText::hasInvisible(const QString& text)
{
    for (const char32_t c : text.toUcs4()) {
        switch (QChar::category(c)) {
        case QChar::Other_Control:
        case QChar::Other_Format:
        case QChar::Other_Surrogate:
        case QChar::Other_PrivateUse:
        case QChar::Other_NotAssigned:
        case QChar::Separator_Line:
        case QChar::Separator_Paragraph:
            return true;
        default:
            break;
        }
        if (isIgnorableLetterOrMark(c)) {
            return true;
        }
    }
    return false;
}

std::optional<QString> AccountText::email(const QString& text)
{
    const QString address = normalized(text);
    // Deliberately plain: one @, something before it, a dotted domain, no blanks. \A and \z: `$`
    // would also match before a final line break.
    static const QRegularExpression pattern(QStringLiteral("\\A[^@\\s]{1,64}@[^@\\s.]+(\\.[^@\\s.]+)+\\z"),
                                            QRegularExpression::UseUnicodePropertiesOption);
    if (address.size() > 254 || hasInvisible(address) || !pattern.match(address).hasMatch()) {
        return std::nullopt;
    }
    return address;
}

std::optional<QString> AccountText::name(const QString& text)
{
    const QString result = normalized(text);
    if (result.isEmpty() || result.size() > kMaxNameLength || hasInvisible(result)) {
        return std::nullopt;
    }
    return result;
}
