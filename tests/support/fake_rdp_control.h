#pragma once

#include "rdp/rdp_control.h"

#include <QList>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QWidget>

#include <memory>

// What a FakeRdpControl was asked to do; shared so that it can be read after the session (and with it
// the control) is gone.
struct FakeRdpControlLog
{
    struct PropertyWrite
    {
        QString object; // empty for the control itself, else the sub-object's name
        QString name;
        QVariant value;
    };
    struct KeyEntry
    {
        qint16 keyUp;
        qint32 keyData;
    };

    int setControlCalls = 0;
    QString classId;
    QList<PropertyWrite> properties;
    QStringList methods;
    QStringList subObjectQueries;
    QList<QList<KeyEntry>> keyCalls;
};

// A remote desktop control that records every call and answers as configured.
class FakeRdpControl : public IRdpControl
{
    Q_OBJECT

public:
    FakeRdpControl();
    ~FakeRdpControl() override;

    std::shared_ptr<FakeRdpControlLog> log() const { return m_log; }

    // Configuration.
    bool controlAvailable = true;
    QString controlError;
    QStringList offeredSubObjects{QStringLiteral("AdvancedSettings"),  QStringLiteral("AdvancedSettings2"),
                                  QStringLiteral("AdvancedSettings3"), QStringLiteral("AdvancedSettings4"),
                                  QStringLiteral("AdvancedSettings5"), QStringLiteral("AdvancedSettings6"),
                                  QStringLiteral("AdvancedSettings7"), QStringLiteral("AdvancedSettings8"),
                                  QStringLiteral("AdvancedSettings9"), QStringLiteral("SecuredSettings2")};
    QVariant connectResult;
    // The folders the session offered as drives.
    QStringList redirectedFolders;
    int connectedProperty = 0;
    bool offersKeySender = true;
    qint32 sendKeysResult = 0;
    quint32 errorCode = 0;
    RdpFailure failure = RdpFailure::Other;
    bool pinsCertificate = false;

    // Raises a control event as the real control would.
    void fire(const QString& name, const QVariantList& arguments = {}) { emit controlEvent(name, arguments); }

    QWidget* widget() override { return m_widget; }
    bool setControl(const QString& classId) override;
    bool hasControl() const override { return m_hasControl; }
    QString controlErrorText() const override { return controlError; }
    bool setProperty(const QString& name, const QVariant& value) override;
    QVariant property(const QString& name) const override;
    QVariant dynamicCall(const QString& method) override;
    std::unique_ptr<IRdpControlObject> querySubObject(const QString& name) override;
    IRdpKeySender* queryKeySender() override;
    quint32 lastErrorCode() const override { return errorCode; }
    void setRedirectedFolders(const QStringList& folders) override { redirectedFolders = folders; }
    RdpFailure lastFailure() const override { return failure; }
    bool pinsServerCertificate() const override { return pinsCertificate; }

private:
    class KeySender;

    std::shared_ptr<FakeRdpControlLog> m_log = std::make_shared<FakeRdpControlLog>();
    QPointer<QWidget> m_widget;
    bool m_hasControl = false;
    std::unique_ptr<IRdpKeySender> m_keySender;
};
