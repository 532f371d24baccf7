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
    QPushButton* settingsButton() const { return m_settingsButton; }
    QPushButton* accelerationButton() const { return m_accelerationButton; }

private:
    QLabel* m_memberLabel = nullptr;
    QPushButton* m_settingsButton = nullptr;
    QPushButton* m_accelerationButton = nullptr;
};
