#include "wall/custom_shortcut_dialog.h"

#include "wall/modifier_keys.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QStringList>
#include <QVBoxLayout>

namespace {

using namespace ModifierKeys;

QCheckBox* makeModifier(const QString& text, const char* objectName, QWidget* parent)
{
    auto* box = new QCheckBox(text, parent);
    box->setObjectName(QLatin1String(objectName));
    return box;
}

} // namespace

CustomShortcutDialog::CustomShortcutDialog(int connectedCount, QWidget* parent) : QDialog(parent)
{
    setWindowTitle(QStringLiteral("自定义批量快捷键"));
    setModal(true);
    setMinimumWidth(520);

    auto* explanation =
        new QLabel(QStringLiteral("组合一个快捷键并发送到 %1 台已连接主机。按键会按顺序按下并反向释放，"
                                  "不会让 Ctrl、Alt 等修饰键停留在远程电脑上。")
                       .arg(connectedCount),
                   this);
    explanation->setObjectName(QStringLiteral("explanationLabel"));
    explanation->setWordWrap(true);

    m_ctrl = makeModifier(QStringLiteral("Ctrl"), "ctrlCheck", this);
    m_alt = makeModifier(QStringLiteral("Alt"), "altCheck", this);
    m_shift = makeModifier(QStringLiteral("Shift"), "shiftCheck", this);
    m_win = makeModifier(QStringLiteral("Win"), "winCheck", this);

    auto* modifierRow = new QHBoxLayout;
    for (QCheckBox* box : {m_ctrl, m_alt, m_shift, m_win}) {
        modifierRow->addWidget(box);
        connect(box, &QCheckBox::toggled, this, &CustomShortcutDialog::updatePreview);
    }
    modifierRow->addStretch();

    m_mainKey = new QComboBox(this);
    m_mainKey->setObjectName(QStringLiteral("mainKeyCombo"));
    for (const auto& [text, code] : mainKeys()) {
        m_mainKey->addItem(text, code);
    }
    connect(m_mainKey, &QComboBox::currentIndexChanged, this, &CustomShortcutDialog::updatePreview);

    m_preview = new QLabel(this);
    m_preview->setObjectName(QStringLiteral("previewLabel"));
    m_preview->setStyleSheet(QStringLiteral("font-weight:600;color:#2563eb;padding:8px 0"));

    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("主键"), m_mainKey);
    form->addRow(QStringLiteral("组合预览"), m_preview);

    m_confirm = new QCheckBox(QStringLiteral("发送前再次确认"), this);
    m_confirm->setObjectName(QStringLiteral("confirmCheck"));
    m_confirm->setChecked(true);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Cancel, this);
    QPushButton* send =
        buttons->addButton(QStringLiteral("发送到 %1 台").arg(connectedCount), QDialogButtonBox::AcceptRole);
    send->setObjectName(QStringLiteral("sendButton"));
    send->setDefault(true);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(explanation);
    layout->addLayout(modifierRow);
    layout->addLayout(form);
    layout->addWidget(m_confirm);
    layout->addWidget(buttons);

    updatePreview();
}

QList<int> CustomShortcutDialog::keys() const
{
    return ModifierKeys::pressed(m_ctrl->isChecked(), m_alt->isChecked(), m_shift->isChecked(),
                                 m_win->isChecked())
           << m_mainKey->currentData().toInt();
}

QString CustomShortcutDialog::label() const
{
    return m_preview->text();
}

bool CustomShortcutDialog::confirmBeforeSend() const
{
    return m_confirm->isChecked();
}

QList<QPair<QString, int>> CustomShortcutDialog::mainKeys()
{
    QList<QPair<QString, int>> result;
    for (int code = 'A'; code <= 'Z'; ++code) {
        result.append({QString(QChar(code)), code});
    }
    for (int code = '0'; code <= '9'; ++code) {
        result.append({QString(QChar(code)), code});
    }
    // VK_F1 is 0x70; the function keys are contiguous up to VK_F24.
    for (int number = 1; number <= 24; ++number) {
        result.append({QStringLiteral("F%1").arg(number), 111 + number});
    }
    result.append({
        {QStringLiteral("Enter"), 13},
        {QStringLiteral("Esc"), 27},
        {QStringLiteral("Tab"), 9},
        {QStringLiteral("Space"), 32},
        {QStringLiteral("Backspace"), 8},
        {QStringLiteral("Delete"), 46},
        {QStringLiteral("Insert"), 45},
        {QStringLiteral("Home"), 36},
        {QStringLiteral("End"), 35},
        {QStringLiteral("Page Up"), 33},
        {QStringLiteral("Page Down"), 34},
        {QStringLiteral("方向键 ↑"), 38},
        {QStringLiteral("方向键 ↓"), 40},
        {QStringLiteral("方向键 ←"), 37},
        {QStringLiteral("方向键 →"), 39},
    });
    return result;
}

void CustomShortcutDialog::updatePreview()
{
    QStringList parts;
    for (QCheckBox* box : {m_ctrl, m_alt, m_shift, m_win}) {
        if (box->isChecked()) {
            parts << box->text();
        }
    }
    parts << m_mainKey->currentText();
    m_preview->setText(parts.join(QStringLiteral(" + ")));
}
