#pragma once

#include "rdp/rdp_certificate_probe.h"

#include <QString>
#include <QStringList>

// A certificate probe that never touches the network: it records where it was sent and answers when
// the test says so.
class FakeCertificateProbe : public RdpCertificateProbe
{
public:
    using RdpCertificateProbe::RdpCertificateProbe;

    void start(const QString& host, quint16 port) override
    {
        targets.append(QStringLiteral("%1:%2").arg(host).arg(port));
        running = true;
    }

    void abort() override
    {
        running = false;
        ++aborts;
    }

    // Reports what a probe of a server would: its certificate, standard security or a failure.
    void answer(Outcome outcome, const QString& fingerprint = {})
    {
        Result result;
        result.outcome = outcome;
        result.fingerprint = fingerprint;
        result.subject = QStringLiteral("CN = web-01");
        result.issuer = QStringLiteral("CN = web-01");
        result.error = outcome == Outcome::Failed ? QStringLiteral("连接被拒绝") : QString();
        running = false;
        emit finished(result);
    }

    QStringList targets;
    bool running = false;
    int aborts = 0;
};
