#include "peer_process.h"

namespace {

constexpr int kStartTimeoutMs = 30000;

} // namespace

PeerProcess::~PeerProcess()
{
    m_process.closeWriteChannel();
    if (!m_process.waitForFinished(10000)) {
        m_process.kill();
        m_process.waitForFinished();
    }
}

bool PeerProcess::start(const QString& program, const QStringList& arguments, QList<QByteArray>* fields,
                        QString* error)
{
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start(program, arguments);
    QByteArray line;
    while (!line.endsWith('\n') && m_process.waitForReadyRead(kStartTimeoutMs)) {
        line += m_process.readLine();
    }
    const QList<QByteArray> words = line.trimmed().split(' ');
    if (words.value(0) != "ready") {
        *error = QStringLiteral("%1 %2 did not start").arg(program, arguments.join(QLatin1Char(' ')));
        return false;
    }
    *fields = words.mid(1);
    return true;
}
