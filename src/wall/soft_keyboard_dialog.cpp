#include "wall/soft_keyboard_dialog.h"

#include "wall/modifier_keys.h"

#include <QDialogButtonBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QStringList>
#include <QVBoxLayout>

namespace {

using namespace ModifierKeys;
constexpr int kDelete = 46;
constexpr int kF4 = 115;
constexpr int kL = 76;

constexpr int kKeyMinimumWidth = 48;
constexpr int kGridSpacing = 5;

struct KeySpec
{
    int row;
    int column;
    QString text;
    int virtualKey;
};

// Letters and digits send their own character code, as Windows virtual keys do.
void addCharacters(QList<KeySpec>& keys, int row, int firstColumn, QStringView characters)
{
    for (int i = 0; i < characters.size(); ++i) {
        const QChar character = characters.at(i);
        keys.append({row, firstColumn + i, QString(character), character.unicode()});
    }
}

QList<KeySpec> keyLayout()
{
    QList<KeySpec> keys;

    keys.append({0, 0, QStringLiteral("Esc"), 27});
    for (int number = 1; number <= 12; ++number) {
        keys.append({0, number, QStringLiteral("F%1").arg(number), 111 + number});
    }

    addCharacters(keys, 1, 0, u"1234567890");
    keys.append({1, 10, QStringLiteral("-"), 189});
    keys.append({1, 11, QStringLiteral("="), 187});
    keys.append({1, 12, QStringLiteral("Backspace"), 8});

    keys.append({2, 0, QStringLiteral("Tab"), 9});
    addCharacters(keys, 2, 1, u"QWERTYUIOP");
    keys.append({2, 11, QStringLiteral("["), 219});
    keys.append({2, 12, QStringLiteral("]"), 221});

    addCharacters(keys, 3, 1, u"ASDFGHJKL");
    keys.append({3, 10, QStringLiteral(";"), 186});
    keys.append({3, 11, QStringLiteral("'"), 222});
    keys.append({3, 12, QStringLiteral("Enter"), 13});

    addCharacters(keys, 4, 2, u"ZXCVBNM");
    keys.append({4, 9, QStringLiteral(","), 188});
    keys.append({4, 10, QStringLiteral("."), 190});
    keys.append({4, 11, QStringLiteral("/"), 191});
    keys.append({4, 12, QStringLiteral("Space"), 32});

    keys.append({5, 0, QStringLiteral("Ins"), 45});
    keys.append({5, 1, QStringLiteral("Del"), 46});
    keys.append({5, 2, QStringLiteral("Home"), 36});
    keys.append({5, 3, QStringLiteral("End"), 35});
    keys.append({5, 4, QStringLiteral("PgUp"), 33});
    keys.append({5, 5, QStringLiteral("PgDn"), 34});
    keys.append({5, 7, QStringLiteral("←"), 37});
    keys.append({5, 8, QStringLiteral("↑"), 38});
    keys.append({5, 9, QStringLiteral("↓"), 40});
    keys.append({5, 10, QStringLiteral("→"), 39});

    return keys;
}

QPushButton* makeModifier(const QString& text, const char* objectName, QWidget* parent)
{
    auto* button = new QPushButton(text, parent);
    button->setObjectName(QLatin1String(objectName));
    button->setCheckable(true);
    button->setAutoDefault(false);
    button->setToolTip(QStringLiteral("点亮后与下一次按键组合发送"));
    return button;
}

} // namespace

SoftKeyboardDialog::SoftKeyboardDialog(QWidget* parent) : QDialog(parent)
{
    setWindowTitle(QStringLiteral("批量软键盘"));
    setModal(true);
    setMinimumWidth(820);

    auto* explanation =
        new QLabel(QStringLiteral("点击按键会发送到当前所有已连接的远程主机。可先点亮 Ctrl、Alt、Shift 或 "
                                  "Win，再按其他键组合；组合发送后修饰键会自动取消。"),
                   this);
    explanation->setObjectName(QStringLiteral("explanationLabel"));
    explanation->setWordWrap(true);

    m_ctrl = makeModifier(QStringLiteral("Ctrl"), "modCtrl", this);
    m_alt = makeModifier(QStringLiteral("Alt"), "modAlt", this);
    m_shift = makeModifier(QStringLiteral("Shift"), "modShift", this);
    m_win = makeModifier(QStringLiteral("Win"), "modWin", this);

    auto* clear = new QPushButton(QStringLiteral("清除组合键"), this);
    clear->setObjectName(QStringLiteral("clearModifiersButton"));
    clear->setAutoDefault(false);
    connect(clear, &QPushButton::clicked, this, &SoftKeyboardDialog::clearModifiers);

    auto* modifierRow = new QHBoxLayout;
    for (QPushButton* button : {m_ctrl, m_alt, m_shift, m_win, clear}) {
        modifierRow->addWidget(button);
    }
    modifierRow->addStretch();

    auto* grid = new QGridLayout;
    grid->setObjectName(QStringLiteral("keyGrid"));
    grid->setSpacing(kGridSpacing);
    for (const KeySpec& key : keyLayout()) {
        auto* button = new QPushButton(key.text, this);
        button->setMinimumWidth(kKeyMinimumWidth);
        // Enter in the dialog must not fire whichever key last had focus.
        button->setAutoDefault(false);
        button->setProperty("virtualKey", key.virtualKey);
        connect(button, &QPushButton::clicked, this,
                [this, text = key.text, code = key.virtualKey] { pressKey(text, code); });
        grid->addWidget(button, key.row, key.column);
    }

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(explanation);
    layout->addLayout(modifierRow);
    layout->addLayout(grid);
    layout->addWidget(buttons);
}

QList<int> SoftKeyboardDialog::litModifiers() const
{
    return ModifierKeys::pressed(m_ctrl->isChecked(), m_alt->isChecked(), m_shift->isChecked(),
                                 m_win->isChecked());
}

void SoftKeyboardDialog::clearModifiers()
{
    for (QPushButton* button : {m_ctrl, m_alt, m_shift, m_win}) {
        button->setChecked(false);
    }
}

bool SoftKeyboardDialog::isDangerous(const QList<int>& keys)
{
    if (keys.isEmpty()) {
        return false;
    }
    const int key = keys.last();
    const QList<int> modifiers = keys.first(keys.size() - 1);
    switch (key) {
    case kDelete:
        return modifiers.contains(kCtrl) && modifiers.contains(kAlt);
    case kF4:
        return modifiers.contains(kAlt);
    case kL:
        return modifiers.contains(kWin);
    default:
        return false;
    }
}

void SoftKeyboardDialog::pressKey(const QString& text, int virtualKey)
{
    QList<int> keys;
    QStringList parts;
    for (QPushButton* button : {m_ctrl, m_alt, m_shift, m_win}) {
        if (button->isChecked()) {
            parts << button->text();
        }
    }
    keys << litModifiers() << virtualKey;
    parts << text;

    // A receiver may ask the user and close the wall (and with it this dialog) meanwhile.
    const QPointer<SoftKeyboardDialog> self(this);
    emit combinationRequested(keys, parts.join(QStringLiteral(" + ")), isDangerous(keys));
    if (self) {
        clearModifiers();
    }
}
