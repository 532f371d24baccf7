#include "cloud/account_client.h"

AccountClient::AccountClient(CryptoManager* crypto, QObject* parent) : QObject(parent), m_crypto(crypto)
{
    MemberAccount::registerMetaType();
}

void AccountClient::setAccount(const MemberAccount& account)
{
    m_account = account;
    emit accountChanged(m_account);
}
