#pragma once

#include "cloud/member_account.h"

#include <QObject>

class CryptoManager;

// The member account of this program and, later, its requests to the account service.
class AccountClient : public QObject
{
    Q_OBJECT
public:
    explicit AccountClient(CryptoManager* crypto, QObject* parent = nullptr);

    MemberAccount account() const { return m_account; }
    bool isSignedIn() const { return m_account.signedIn; }

signals:
    void accountChanged(const MemberAccount& account);
    void busyChanged(bool busy);

protected:
    void setAccount(const MemberAccount& account);

    CryptoManager* m_crypto = nullptr;

private:
    MemberAccount m_account;
};
