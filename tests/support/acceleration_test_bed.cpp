#include "support/acceleration_test_bed.h"

#include <QJsonArray>
#include <QSignalSpy>
#include <QTest>
#include <QUrl>

AccelerationTestBed::AccelerationTestBed(int relayCount, Manager manager)
    : m_ownManager(manager == Manager::Own ? std::make_unique<AccelerationManager>() : nullptr),
      m_manager(m_ownManager ? m_ownManager.get() : AccelerationManager::instance()), m_relayCount(relayCount)
{
}

AccelerationTestBed::~AccelerationTestBed()
{
    // Tunnels go before the peers they talk to.
    if (m_ownManager) {
        m_ownManager.reset();
        return;
    }
    m_manager->disableAcceleration();
    m_manager->clearPartnerSession();
    m_manager->setNodeTimeoutMs(AccelerationManager::kNodeTimeoutMs);
    m_manager->setServiceEndpoint(QUrl(QString::fromLatin1(AccelerationManager::kDefaultServiceUrl)));
}

bool AccelerationTestBed::start(QString* error)
{
    if (!m_ca.create(error))
        return false;
    m_service = std::make_unique<TestAccelerationService>(m_ca);
    if (!m_service->start(error))
        return false;
    for (int i = 0; i < m_relayCount; ++i) {
        m_relays.push_back(std::make_unique<TestRelayNode>(m_ca));
        if (!m_relays.back()->start(error))
            return false;
    }
    m_service->setSession(kCookie, kJwt);
    m_service->setToken(kToken);
    setRelayToken(kToken);
    publishRelays();
    if (!m_manager->setServiceEndpoint(QUrl(m_service->baseUrl()), m_ca.caCertificates())) {
        *error = QStringLiteral("the service address was refused");
        return false;
    }
    m_manager->setNodeTimeoutMs(kNodeTimeoutMs);
    m_manager->setPartnerSession(kCookie, kJwt);
    return true;
}

bool AccelerationTestBed::enable(QString* error)
{
    QSignalSpy ready(m_manager, &AccelerationManager::readyToEnable);
    QSignalSpy failed(m_manager, &AccelerationManager::availabilityFailed);
    m_manager->checkAvailability();
    if (!QTest::qWaitFor([&] { return !ready.isEmpty() || !failed.isEmpty(); }, 30000)) {
        *error = QStringLiteral("no answer to checkAvailability");
        return false;
    }
    if (!failed.isEmpty()) {
        // Whether the request reached the service tells a connection problem from an answer's.
        *error = QStringLiteral("%1 (node list requests served: %2, token requests: %3)")
                     .arg(failed.first().first().toString())
                     .arg(m_service->nodeListRequests())
                     .arg(m_service->tokenRequests());
        return false;
    }
    m_manager->enableAcceleration();
    if (!m_manager->isEnabled()) {
        *error = QStringLiteral("enableAcceleration did not switch on");
        return false;
    }
    return true;
}

TestRelayNode* AccelerationTestBed::relayOf(const AccelerationNode& node)
{
    for (const auto& relay : m_relays) {
        if (relay->port() == node.port)
            return relay.get();
    }
    return nullptr;
}

void AccelerationTestBed::setRelayToken(const QByteArray& token)
{
    for (const auto& relay : m_relays)
        relay->setToken(token);
}

void AccelerationTestBed::publishRelays()
{
    QJsonArray nodes;
    for (size_t i = 0; i < m_relays.size(); ++i)
        nodes.append(
            m_relays[i]->nodeEntry(QStringLiteral("hk%1").arg(i + 1), QStringLiteral("香港 %1").arg(i + 1)));
    m_service->setNodes(nodes);
}
