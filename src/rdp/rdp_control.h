#pragma once

#include "rdp/rdp_error_text.h"

#include <QObject>
#include <QString>
#include <QVariant>
#include <QVariantList>

#include <memory>

class QWidget;

// A sub-object of the remote desktop control (the advanced-settings interfaces); only writes are needed.
class IRdpControlObject
{
public:
    virtual ~IRdpControlObject() = default;
    virtual bool setProperty(const QString& name, const QVariant& value) = 0;
};

// The control's non-scriptable key interface. Entry i of the arrays is one key event: keyUp[i] is a
// VARIANT_BOOL (0 press, -1 release) and keyData[i] carries the scan code in bits 16..23, the repeat count
// in bits 0..15 and the extended-key flag in bit 24. Returns a result code; 0 means success.
class IRdpKeySender
{
public:
    virtual ~IRdpKeySender() = default;
    virtual qint32 sendKeys(int count, const qint16* keyUp, const qint32* keyData) = 0;
};

// The remote desktop control a system RDP session drives: properties, methods, sub-objects and events by
// name, as an ActiveX container offers them.
class IRdpControl : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;
    ~IRdpControl() override = default;

    // The window the control draws the remote desktop into.
    virtual QWidget* widget() = 0;

    virtual bool setControl(const QString& classId) = 0;
    virtual bool hasControl() const = 0;
    // A ready-to-show reason why setControl failed; empty when the generic text applies.
    virtual QString controlErrorText() const { return {}; }

    virtual bool setProperty(const QString& name, const QVariant& value) = 0;
    virtual QVariant property(const QString& name) const = 0;
    // Calls a method such as "Connect()"; an invalid result for methods without one.
    virtual QVariant dynamicCall(const QString& method) = 0;
    // Null when the control does not offer the sub-object.
    virtual std::unique_ptr<IRdpControlObject> querySubObject(const QString& name) = 0;
    // Null when the control has no key interface; owned by the control.
    virtual IRdpKeySender* queryKeySender() = 0;

    // Stands in for the thread's last Windows error code when a call or event reports a failure.
    virtual quint32 lastErrorCode() const = 0;
    // What the last failure means, where the control can tell; Other when it cannot.
    virtual RdpFailure lastFailure() const { return RdpFailure::Other; }
    // Wipes the password a control keeps for its next "Connect()"; a session it runs goes on.
    virtual void forgetPassword() {}
    virtual bool holdsPassword() const { return false; }
    // Seconds a connection attempt may take; controls that keep no time of their own ignore it.
    virtual void setConnectTimeout(int seconds) { Q_UNUSED(seconds); }
    // Local folders the client offers the remote side as drives, each under its own name. The Remote
    // Desktop control cannot choose folders (its "RedirectDrives" offers every drive) and ignores it.
    virtual void setRedirectedFolders(const QStringList& folders) { Q_UNUSED(folders); }

    // Whether the control's client trusts exactly the certificate named by the advanced setting
    // "ServerCertificateFingerprint" and nothing it cannot verify otherwise: the session then has to find
    // and check the server's certificate before it connects. Controls that ask the user themselves do not.
    virtual bool pinsServerCertificate() const { return false; }

signals:
    // One event of the control: its name, possibly followed by a parameter list ("OnDisconnected(int)"),
    // and its arguments.
    void controlEvent(const QString& name, const QVariantList& arguments);
};
