#include "ui/hero_card.h"

#include "ui/main_window_style.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

HeroCard::HeroCard(const QString& editionName, QWidget* parent) : QFrame(parent)
{
    setObjectName(QStringLiteral("heroCard"));
    auto* heroLayout = new QHBoxLayout(this);
    heroLayout->setContentsMargins(18, 14, 18, 14);
    heroLayout->setSpacing(14);

    auto* brand = new QLabel(QStringLiteral("nb"), this);
    brand->setObjectName(QStringLiteral("brandMark"));
    brand->setFixedSize(54, 54);
    brand->setAlignment(Qt::AlignCenter);
    heroLayout->addWidget(brand);

    auto* titles = new QVBoxLayout;
    titles->setSpacing(2);
    auto* titleRow = new QHBoxLayout;
    titleRow->setSpacing(10);
    auto* title = new QLabel(editionName, this);
    title->setObjectName(QStringLiteral("pageTitle"));
    titleRow->addWidget(title);
    auto* badge = new QLabel(QStringLiteral("Vantrel特别版"), this);
    badge->setObjectName(QStringLiteral("editionBadge"));
    titleRow->addWidget(badge, 0, Qt::AlignVCenter);
    titleRow->addStretch();
    titles->addLayout(titleRow);
    auto* subtitle = new QLabel(QStringLiteral("统一管理 Windows RDP、Linux SSH、多屏连接与批量运维"), this);
    subtitle->setObjectName(QStringLiteral("pageSubtitle"));
    titles->addWidget(subtitle);
    heroLayout->addLayout(titles, 1);

    auto* memberCard = new QFrame(this);
    memberCard->setObjectName(QStringLiteral("memberCard"));
    auto* memberLayout = new QVBoxLayout(memberCard);
    memberLayout->setContentsMargins(12, 6, 12, 6);
    memberLayout->setSpacing(0);
    auto* memberTitle = new QLabel(QStringLiteral("会员账号"), memberCard);
    memberTitle->setObjectName(QStringLiteral("memberTitle"));
    memberLayout->addWidget(memberTitle);
    m_memberLabel = new QLabel(QStringLiteral("未登录"), memberCard);
    m_memberLabel->setObjectName(QStringLiteral("memberName"));
    memberLayout->addWidget(m_memberLabel);
    auto* memberButtons = new QHBoxLayout;
    memberButtons->setSpacing(6);
    m_signInButton = makeStyledButton(memberCard, "signInButton", QStringLiteral("登录"),
                                      QStringLiteral("登录 NIMBARA 会员账号或 Vantrelnet 账号"));
    m_registerButton = makeStyledButton(memberCard, "registerButton", QStringLiteral("免费注册"),
                                        QStringLiteral("创建免费的 NIMBARA 会员账号"));
    m_cloudSyncButton = makeStyledButton(memberCard, "cloudSyncButton", QStringLiteral("云同步"),
                                         QStringLiteral("端到端加密的主机云同步：上传、恢复、更改同步密码"));
    m_signOutButton = makeStyledButton(memberCard, "signOutButton", QStringLiteral("退出会员账号"),
                                       QStringLiteral("退出当前会员账号；本机保存的主机不会被删除"));
    for (QPushButton* button : {m_signInButton, m_registerButton, m_cloudSyncButton, m_signOutButton}) {
        memberButtons->addWidget(button);
    }
    memberLayout->addLayout(memberButtons);
    heroLayout->addWidget(memberCard, 0, Qt::AlignVCenter);
    setSignedIn(false);

    m_settingsButton = makeStyledButton(this, "settingsButton", QStringLiteral("设置"),
                                        QStringLiteral("连接、显示、云同步和智能转发设置"));
    heroLayout->addWidget(m_settingsButton, 0, Qt::AlignVCenter);

    m_lockButton = makeStyledButton(this, "lockButton", QStringLiteral("锁定"),
                                    QStringLiteral("需要先在“设置”中设置主密码。"));
    m_lockButton->setEnabled(false);
    heroLayout->addWidget(m_lockButton, 0, Qt::AlignVCenter);

    m_accelerationButton =
        makeStyledButton(this, "accelerationButton", QStringLiteral("启动远程加速"),
                         QStringLiteral("Vantrel用户专享；检测香港节点后加速 RDP 与 SSH 连接"), "accent");
    heroLayout->addWidget(m_accelerationButton, 0, Qt::AlignVCenter);
}

void HeroCard::setMemberText(const QString& text)
{
    m_memberLabel->setText(text);
}

void HeroCard::setSignedIn(bool signedIn)
{
    m_signInButton->setVisible(!signedIn);
    m_registerButton->setVisible(!signedIn);
    m_cloudSyncButton->setVisible(signedIn);
    m_signOutButton->setVisible(signedIn);
}
