#pragma once

#include <QFrame>
#include <QString>

class QLabel;
class QPushButton;

// The card at the top of the main window: the brand and edition, the signed-in account, and the
// settings and acceleration buttons.
class HeroCard : public QFrame
{
    Q_OBJECT

public:
    HeroCard(const QString& editionName, QWidget* parent = nullptr);

    void setMemberText(const QString& text);
    // Signed out: sign-in and registration; signed in: the sync centre and sign-out.
    void setSignedIn(bool signedIn);
    QPushButton* signInButton() const { return m_signInButton; }
    QPushButton* registerButton() const { return m_registerButton; }
    QPushButton* cloudSyncButton() const { return m_cloudSyncButton; }
    QPushButton* signOutButton() const { return m_signOutButton; }
    QPushButton* settingsButton() const { return m_settingsButton; }
    QPushButton* lockButton() const { return m_lockButton; }
    QPushButton* accelerationButton() const { return m_accelerationButton; }

private:
    QLabel* m_memberLabel = nullptr;
    QPushButton* m_signInButton = nullptr;
    QPushButton* m_registerButton = nullptr;
    QPushButton* m_cloudSyncButton = nullptr;
    QPushButton* m_signOutButton = nullptr;
    QPushButton* m_lockButton = nullptr;
    QPushButton* m_settingsButton = nullptr;
    QPushButton* m_accelerationButton = nullptr;
};
