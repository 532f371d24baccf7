#include "platform/sound_output.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

bool SoundOutput::available()
{
    QFile cards(QStringLiteral("/proc/asound/cards"));
    const QString list =
        cards.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(cards.read(64 * 1024)) : QString();
    return available(qEnvironmentVariable("PULSE_SERVER"), qEnvironmentVariable("XDG_RUNTIME_DIR"), list);
}

bool SoundOutput::available(const QString& pulseServer, const QString& runtimeDirectory,
                            const QString& alsaCards)
{
    if (!pulseServer.isEmpty()) {
        return true;
    }
    if (!runtimeDirectory.isEmpty() &&
        QFileInfo::exists(runtimeDirectory + QStringLiteral("/pulse/native"))) {
        return true;
    }
    // Each card is a line that starts with its number: " 0 [PCH            ]: HDA-Intel - ...".
    static const QRegularExpression card(QStringLiteral("^\\s*\\d+\\s+\\["),
                                         QRegularExpression::MultilineOption);
    return card.match(alsaCards).hasMatch();
}
