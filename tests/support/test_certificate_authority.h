#pragma once

#include <QList>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

// A private certificate authority for TLS peers on 127.0.0.1, made with the openssl program in a
// temporary directory (or one given): an EC P-256 CA, and server certificates it signs on request.
// Certificates are valid from an hour ago (clock skew) for two days.
//
//     TestCertificateAuthority ca;
//     QString error;
//     QVERIFY2(ca.create(&error), qPrintable(error));
//     TestCertificateAuthority::Leaf leaf;
//     QVERIFY2(ca.issue(QStringLiteral("server"), &leaf, &error), qPrintable(error));
//     QSslServer server;
//     server.setSslConfiguration(ca.serverConfiguration(leaf));  // or hand leaf's paths to a program
//     QSslSocket client;
//     client.setSslConfiguration(ca.clientConfiguration());      // trusts the server, nothing else new
//
// issueUntrusted() makes a certificate of the same shape signed by another, throwaway authority: a
// server that a client of this authority must refuse.
class TestCertificateAuthority
{
public:
    // A server certificate and its key, as PEM files (the key readable by its owner only) and loaded.
    struct Leaf
    {
        QString certificatePath;
        QString keyPath;
        QSslCertificate certificate;
        QSslKey key;
    };

    // Files go into a temporary directory of its own, removed with the object.
    TestCertificateAuthority();
    // Files go into `directory` (created when missing) and stay there.
    explicit TestCertificateAuthority(const QString& directory);
    TestCertificateAuthority(const TestCertificateAuthority&) = delete;
    TestCertificateAuthority& operator=(const TestCertificateAuthority&) = delete;

    // Why no authority can be made here (the openssl program is missing); empty when it can.
    static QString unavailableReason();

    // Makes the CA key and self-signed certificate; false with openssl's complaint in `error`.
    bool create(QString* error);

    // Signs a new key for `name` (letters, digits, '.', '_', '-'; also its common name and file name)
    // with extended key usage serverAuth and these subject alternative names, each as openssl writes
    // them ("IP:127.0.0.1", "DNS:localhost"). Issuing a name again replaces its files.
    bool issue(const QString& name, const QStringList& subjectAltNames, Leaf* leaf, QString* error);
    // Same, for IP:127.0.0.1 only.
    bool issue(const QString& name, Leaf* leaf, QString* error);
    // Same as issue(), but signed by another authority that nobody trusts.
    bool issueUntrusted(const QString& name, const QStringList& subjectAltNames, Leaf* leaf, QString* error);
    bool issueUntrusted(const QString& name, Leaf* leaf, QString* error);

    QString directory() const { return m_directory; }
    // PEM file of the CA certificate, for programs that take a CA file.
    QString caCertificatePath() const;
    QList<QSslCertificate> caCertificates() const { return m_caCertificates; }

    // The default configuration that also trusts this authority (the system's CAs stay trusted).
    QSslConfiguration clientConfiguration() const;
    // The default configuration presenting `leaf`, asking clients for no certificate.
    static QSslConfiguration serverConfiguration(const Leaf& leaf);

private:
    bool createAuthority(const QString& authorityDirectory, QString* error);
    bool sign(const QString& authorityDirectory, const QString& name, const QStringList& subjectAltNames,
              Leaf* leaf, QString* error);

    std::unique_ptr<QTemporaryDir> m_temporary;
    QString m_directory;
    QList<QSslCertificate> m_caCertificates;
    bool m_untrustedCreated = false;
};
