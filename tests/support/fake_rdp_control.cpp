#include "support/fake_rdp_control.h"

namespace {

class FakeSubObject final : public IRdpControlObject
{
public:
    FakeSubObject(std::shared_ptr<FakeRdpControlLog> log, QString name)
        : m_log(std::move(log)), m_name(std::move(name))
    {
    }

    bool setProperty(const QString& name, const QVariant& value) override
    {
        m_log->properties.append({m_name, name, value});
        return true;
    }

private:
    std::shared_ptr<FakeRdpControlLog> m_log;
    QString m_name;
};

} // namespace

class FakeRdpControl::KeySender final : public IRdpKeySender
{
public:
    explicit KeySender(FakeRdpControl* control) : m_control(control) {}

    qint32 sendKeys(int count, const qint16* keyUp, const qint32* keyData) override
    {
        QList<FakeRdpControlLog::KeyEntry> entries;
        for (int i = 0; i < count; ++i) {
            entries.append({keyUp[i], keyData[i]});
        }
        m_control->m_log->keyCalls.append(entries);
        return m_control->sendKeysResult;
    }

private:
    FakeRdpControl* m_control;
};

FakeRdpControl::FakeRdpControl() : m_widget(new QWidget), m_keySender(std::make_unique<KeySender>(this)) {}

FakeRdpControl::~FakeRdpControl()
{
    delete m_widget.data();
}

bool FakeRdpControl::setControl(const QString& classId)
{
    ++m_log->setControlCalls;
    m_log->classId = classId;
    m_hasControl = controlAvailable;
    return m_hasControl;
}

bool FakeRdpControl::setProperty(const QString& name, const QVariant& value)
{
    m_log->properties.append({QString(), name, value});
    return true;
}

QVariant FakeRdpControl::property(const QString& name) const
{
    if (name == QLatin1String("Connected")) {
        return connectedProperty;
    }
    return {};
}

QVariant FakeRdpControl::dynamicCall(const QString& method)
{
    m_log->methods.append(method);
    return method == QLatin1String("Connect()") ? connectResult : QVariant();
}

std::unique_ptr<IRdpControlObject> FakeRdpControl::querySubObject(const QString& name)
{
    m_log->subObjectQueries.append(name);
    if (!offeredSubObjects.contains(name)) {
        return nullptr;
    }
    return std::make_unique<FakeSubObject>(m_log, name);
}

IRdpKeySender* FakeRdpControl::queryKeySender()
{
    return offersKeySender ? m_keySender.get() : nullptr;
}
