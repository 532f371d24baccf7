#include "rdp/rdp_error_text.h"

#include "support/test_environment.h"

#include <QTcpServer>
#include <QTest>

#include <freerdp/error.h>

namespace {

// The codes FreeRDP 2 reports, in the order of its own header.
constexpr quint32 connectError(quint32 type)
{
    return (quint32(FREERDP_ERROR_CONNECT_CLASS) << 16) | type;
}

} // namespace

class TestRdpErrorText : public QObject
{
    Q_OBJECT

private slots:
    void freeRdpErrors_data()
    {
        QTest::addColumn<quint32>("code");
        QTest::addColumn<RdpFailure>("failure");
        QTest::newRow("transport") << quint32(FREERDP_ERROR_CONNECT_TRANSPORT_FAILED)
                                   << RdpFailure::ConnectionLost;
        QTest::newRow("connect failed")
            << connectError(ERRCONNECT_CONNECT_FAILED) << RdpFailure::ConnectionLost;
        QTest::newRow("dns") << quint32(FREERDP_ERROR_DNS_NAME_NOT_FOUND) << RdpFailure::NameNotFound;
        QTest::newRow("tls") << quint32(FREERDP_ERROR_TLS_CONNECT_FAILED) << RdpFailure::Security;
        QTest::newRow("nego") << quint32(FREERDP_ERROR_SECURITY_NEGO_CONNECT_FAILED) << RdpFailure::Security;
        QTest::newRow("authentication")
            << quint32(FREERDP_ERROR_AUTHENTICATION_FAILED) << RdpFailure::WrongCredentials;
        QTest::newRow("logon") << quint32(FREERDP_ERROR_CONNECT_LOGON_FAILURE)
                               << RdpFailure::WrongCredentials;
        QTest::newRow("wrong password")
            << quint32(FREERDP_ERROR_CONNECT_WRONG_PASSWORD) << RdpFailure::WrongCredentials;
        QTest::newRow("locked") << quint32(FREERDP_ERROR_CONNECT_ACCOUNT_LOCKED_OUT)
                                << RdpFailure::AccountLocked;
        QTest::newRow("disabled") << quint32(FREERDP_ERROR_CONNECT_ACCOUNT_DISABLED)
                                  << RdpFailure::AccountDisabled;
        QTest::newRow("expired") << quint32(FREERDP_ERROR_CONNECT_ACCOUNT_EXPIRED)
                                 << RdpFailure::AccountExpired;
        QTest::newRow("password expired")
            << quint32(FREERDP_ERROR_CONNECT_PASSWORD_CERTAINLY_EXPIRED) << RdpFailure::PasswordExpired;
        QTest::newRow("must change") << quint32(FREERDP_ERROR_CONNECT_PASSWORD_MUST_CHANGE)
                                     << RdpFailure::PasswordMustChange;
        QTest::newRow("no credentials")
            << quint32(FREERDP_ERROR_CONNECT_NO_OR_MISSING_CREDENTIALS) << RdpFailure::MissingCredentials;
        QTest::newRow("logon type") << quint32(FREERDP_ERROR_CONNECT_LOGON_TYPE_NOT_GRANTED)
                                    << RdpFailure::AccessDenied;
        QTest::newRow("cancelled") << quint32(FREERDP_ERROR_CONNECT_CANCELLED) << RdpFailure::Cancelled;
        QTest::newRow("server denied")
            << quint32(FREERDP_ERROR_SERVER_DENIED_CONNECTION) << RdpFailure::ServerDenied;
        QTest::newRow("post connect")
            << quint32(FREERDP_ERROR_POST_CONNECT_FAILED) << RdpFailure::ClientError;
        QTest::newRow("none") << quint32(0) << RdpFailure::Other;
        QTest::newRow("unknown") << connectError(0x7F) << RdpFailure::Other;
    }

    void freeRdpErrors()
    {
        QFETCH(quint32, code);
        QFETCH(RdpFailure, failure);
        QCOMPARE(RdpErrorText::fromFreeRdpError(code), failure);
    }

    void disconnectReasons_data()
    {
        QTest::addColumn<quint32>("info");
        QTest::addColumn<RdpFailure>("failure");
        QTest::newRow("none given") << quint32(ERRINFO_SUCCESS) << RdpFailure::ConnectionLost;
        QTest::newRow("administrator")
            << quint32(ERRINFO_RPC_INITIATED_DISCONNECT) << RdpFailure::ServerEnded;
        QTest::newRow("logoff") << quint32(ERRINFO_LOGOFF_BY_USER) << RdpFailure::LoggedOff;
        QTest::newRow("idle") << quint32(ERRINFO_IDLE_TIMEOUT) << RdpFailure::IdleTimeout;
        QTest::newRow("other connection")
            << quint32(ERRINFO_DISCONNECTED_BY_OTHER_CONNECTION) << RdpFailure::Replaced;
        QTest::newRow("licence") << quint32(ERRINFO_LICENSE_NO_LICENSE) << RdpFailure::LicenseError;
        QTest::newRow("protocol") << quint32(0x10C9) << RdpFailure::ServerEnded;
    }

    void disconnectReasons()
    {
        QFETCH(quint32, info);
        QFETCH(RdpFailure, failure);
        QCOMPARE(RdpErrorText::fromErrorInfo(info), failure);
    }

    void clientExitCodes_data()
    {
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<bool>("wasConnected");
        QTest::addColumn<RdpFailure>("failure");
        QTest::newRow("success") << 0 << true << RdpFailure::NoFailure;
        QTest::newRow("disconnected by the server") << 1 << true << RdpFailure::ServerEnded;
        QTest::newRow("logged off") << 2 << true << RdpFailure::LoggedOff;
        QTest::newRow("replaced") << 5 << true << RdpFailure::Replaced;
        QTest::newRow("denied before the session") << 7 << false << RdpFailure::ServerDenied;
        QTest::newRow("ended before the session") << 1 << false << RdpFailure::ConnectionLost;
        QTest::newRow("licence") << 18 << true << RdpFailure::LicenseError;
        QTest::newRow("arguments") << 128 << false << RdpFailure::ClientError;
        QTest::newRow("connection failed") << 131 << false << RdpFailure::ConnectionLost;
        QTest::newRow("authentication") << 132 << false << RdpFailure::WrongCredentials;
        QTest::newRow("negotiation") << 133 << false << RdpFailure::Security;
        QTest::newRow("logon") << 134 << false << RdpFailure::WrongCredentials;
        QTest::newRow("locked out") << 135 << false << RdpFailure::AccountLocked;
        QTest::newRow("name not found") << 140 << false << RdpFailure::NameNotFound;
        QTest::newRow("tls") << 143 << false << RdpFailure::Security;
        QTest::newRow("cancelled") << 145 << false << RdpFailure::Cancelled;
        QTest::newRow("transport") << 147 << false << RdpFailure::ConnectionLost;
        QTest::newRow("password expired") << 148 << false << RdpFailure::PasswordExpired;
        QTest::newRow("must change") << 149 << false << RdpFailure::PasswordMustChange;
        QTest::newRow("disabled") << 151 << false << RdpFailure::AccountDisabled;
        QTest::newRow("wrong password") << 154 << false << RdpFailure::WrongCredentials;
        QTest::newRow("access denied") << 155 << false << RdpFailure::AccessDenied;
        QTest::newRow("account expired") << 157 << false << RdpFailure::AccountExpired;
        QTest::newRow("no credentials") << 159 << false << RdpFailure::MissingCredentials;
        QTest::newRow("unknown") << 255 << false << RdpFailure::Other;
    }

    void clientExitCodes()
    {
        QFETCH(int, exitCode);
        QFETCH(bool, wasConnected);
        QFETCH(RdpFailure, failure);
        QCOMPARE(RdpErrorText::fromClientExitCode(exitCode, wasConnected), failure);
    }

    // FreeRDP's Windows client ends with its last error instead.
    void windowsClientExitCodes_data()
    {
        QTest::addColumn<quint32>("exitCode");
        QTest::addColumn<bool>("wasConnected");
        QTest::addColumn<RdpFailure>("failure");
        QTest::newRow("success") << 0U << true << RdpFailure::NoFailure;
        QTest::newRow("authentication")
            << quint32(FREERDP_ERROR_AUTHENTICATION_FAILED) << false << RdpFailure::WrongCredentials;
        QTest::newRow("transport") << quint32(FREERDP_ERROR_CONNECT_TRANSPORT_FAILED) << false
                                   << RdpFailure::ConnectionLost;
        QTest::newRow("tls") << quint32(FREERDP_ERROR_TLS_CONNECT_FAILED) << false << RdpFailure::Security;
        QTest::newRow("logged off") << quint32((FREERDP_ERROR_ERRINFO_CLASS << 16) | ERRINFO_LOGOFF_BY_USER)
                                    << true << RdpFailure::LoggedOff;
        QTest::newRow("ended before the session")
            << quint32((FREERDP_ERROR_ERRINFO_CLASS << 16) | ERRINFO_LOGOFF_BY_USER) << false
            << RdpFailure::ConnectionLost;
        QTest::newRow("denied before the session")
            << quint32((FREERDP_ERROR_ERRINFO_CLASS << 16) | ERRINFO_SERVER_DENIED_CONNECTION) << false
            << RdpFailure::ServerDenied;
        QTest::newRow("unknown while up") << 0x0002FFFFU << true << RdpFailure::ConnectionLost;
        QTest::newRow("unknown before") << 0x0002FFFFU << false << RdpFailure::Other;
    }

    void windowsClientExitCodes()
    {
        QFETCH(quint32, exitCode);
        QFETCH(bool, wasConnected);
        QFETCH(RdpFailure, failure);
        QCOMPARE(RdpErrorText::fromWindowsClientExitCode(exitCode, wasConnected), failure);
    }

    void reasonsAndAdvice()
    {
        QCOMPARE(RdpErrorText::reason(RdpFailure::TimedOut, 12), QStringLiteral("连接超时：12 秒内未能连上"));
        QCOMPARE(RdpErrorText::reason(RdpFailure::Other, 0, 0x0002FFFF),
                 QStringLiteral("连接失败（错误代码 0x0002FFFF）"));
        QCOMPARE(RdpErrorText::reason(RdpFailure::NoFailure), QString());
        // Only credential problems send the user to the credentials, and every failure has words.
        const QMetaEnum kinds = QMetaEnum::fromType<RdpFailure>();
        for (int i = 0; i < kinds.keyCount(); ++i) {
            const auto failure = RdpFailure(kinds.value(i));
            const bool credentials = RdpErrorText::advice(failure).contains(QStringLiteral("用户名"));
            QCOMPARE(credentials, RdpErrorText::aboutCredentials(failure));
            QCOMPARE(RdpErrorText::reason(failure).isEmpty(), failure == RdpFailure::NoFailure);
            QVERIFY2(!RdpErrorText::reason(failure).contains(QStringLiteral("用户名")) ||
                         RdpErrorText::aboutCredentials(failure),
                     kinds.key(i));
        }
        QVERIFY(!RdpErrorText::isFailure(RdpFailure::Cancelled));
        QVERIFY(RdpErrorText::isFailure(RdpFailure::Refused));
    }

    void diagnosisLooksAtThePort()
    {
        // Nothing listens: refused.
        QCOMPARE(RdpErrorText::diagnoseConnection(QStringLiteral("127.0.0.1"), freeLoopbackPort(), 3000),
                 RdpFailure::Refused);
        // Something listens: the port is fine, the server closed the connection later.
        QTcpServer listening;
        QVERIFY(listening.listen(QHostAddress::LocalHost, 0));
        QCOMPARE(RdpErrorText::diagnoseConnection(QStringLiteral("127.0.0.1"), listening.serverPort(), 3000),
                 RdpFailure::ConnectionLost);
    }
};

QTEST_GUILESS_MAIN(TestRdpErrorText)
#include "test_rdp_error_text.moc"
