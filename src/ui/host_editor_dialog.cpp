#include "ui/host_editor_dialog.h"

#include "storage/host_address.h"
#include "ui/host_table_model.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QStyle>
#include <QUuid>

#include <algorithm>

namespace {

constexpr int kRdpPort = 3389;
constexpr int kSshPort = 22;
constexpr auto kErrorColor = "#d93025";

QLineEdit* makeLineEdit(QWidget* parent, const char* objectName, const QString& text)
{
    auto* edit = new QLineEdit(text, parent);
    edit->setObjectName(QLatin1String(objectName));
    return edit;
}

// A changed dynamic property takes effect in the style sheet only once the widget is polished again.
void repolish(QWidget* widget)
{
    widget->style()->unpolish(widget);
    widget->style()->polish(widget);
    widget->update();
}

void selectByData(QComboBox* combo, const QString& data)
{
    const int index = combo->findData(data);
    if (index >= 0) {
        combo->setCurrentIndex(index);
    }
}

} // namespace

HostEditorDialog::HostEditorDialog(QWidget* parent, const QList<Group>& groups, const QString& groupId,
                                   const std::optional<Remote>& existing, bool showScope,
                                   PasswordReveal reveal)
    : QDialog(parent), m_existing(existing), m_revealRule(std::move(reveal))
{
    setWindowTitle(existing ? QStringLiteral("编辑远程主机") : QStringLiteral("添加远程主机"));
    setModal(true);
    setMinimumWidth(420);

    auto* form = new QFormLayout;

    m_name = makeLineEdit(this, "hostNameEdit", existing ? existing->name : QString());
    form->addRow(QStringLiteral("名称"), m_name);

    m_protocol = new QComboBox(this);
    m_protocol->setObjectName(QStringLiteral("hostProtocolCombo"));
    m_protocol->addItem(QStringLiteral("Windows 远程桌面（RDP）"), QStringLiteral("rdp"));
    m_protocol->addItem(QStringLiteral("Linux 终端（SSH）"), QStringLiteral("ssh"));
    m_protocol->setCurrentIndex(existing && existing->isSsh() ? 1 : 0);
    form->addRow(QStringLiteral("主机类型"), m_protocol);

    m_host = makeLineEdit(this, "hostAddressEdit", existing ? existing->host : QString());
    form->addRow(QStringLiteral("主机/IP"), m_host);

    m_port = new QSpinBox(this);
    m_port->setObjectName(QStringLiteral("hostPortSpin"));
    m_port->setRange(1, 65535);
    m_port->setValue(existing ? existing->port : kRdpPort);
    form->addRow(QStringLiteral("端口"), m_port);

    m_username = makeLineEdit(this, "hostUserEdit", existing ? existing->username : QString());
    form->addRow(QStringLiteral("用户名"), m_username);

    m_password = makeLineEdit(this, "hostPasswordEdit", existing ? existing->password : QString());
    m_password->setEchoMode(m_revealRule.shown ? QLineEdit::Normal : QLineEdit::Password);
    m_reveal = new QPushButton(m_revealRule.shown ? QStringLiteral("隐藏") : QStringLiteral("显示"), this);
    m_reveal->setObjectName(QStringLiteral("hostPasswordReveal"));
    m_reveal->setCheckable(true);
    m_reveal->setChecked(m_revealRule.shown);
    m_reveal->setAutoDefault(false);
    connect(m_reveal, &QPushButton::toggled, this, &HostEditorDialog::onRevealToggled);
    auto* passwordRow = new QHBoxLayout;
    passwordRow->addWidget(m_password);
    passwordRow->addWidget(m_reveal);
    form->addRow(QStringLiteral("密码（可留空）"), passwordRow);

    m_remark = makeLineEdit(this, "hostRemarkEdit", existing ? existing->remark : QString());
    form->addRow(QStringLiteral("备注"), m_remark);

    m_group = new QComboBox(this);
    m_group->setObjectName(QStringLiteral("hostGroupCombo"));
    QList<Group> ordered = groups;
    std::stable_sort(ordered.begin(), ordered.end(),
                     [](const Group& a, const Group& b) { return a.sort_order < b.sort_order; });
    for (const Group& group : std::as_const(ordered)) {
        m_group->addItem(group.name, group.id);
    }
    // A host whose group is gone falls back to the group the caller suggests.
    selectByData(m_group, groupId);
    if (existing) {
        selectByData(m_group, existing->group_id);
    }
    form->addRow(QStringLiteral("分组"), m_group);

    if (showScope) {
        m_scope = new QComboBox(this);
        m_scope->setObjectName(QStringLiteral("hostScopeCombo"));
        m_scope->addItem(QStringLiteral("仅主账号可用"), QStringLiteral("owner"));
        m_scope->addItem(QStringLiteral("主账号及子账号可用"), QStringLiteral("team"));
        if (existing) {
            selectByData(m_scope, existing->access_scope);
        }
        form->addRow(QStringLiteral("访问权限"), m_scope);
    }

    m_legacy = new QCheckBox(QStringLiteral("旧系统兼容模式（默认开启；现代 Windows 建议取消）"), this);
    m_legacy->setObjectName(QStringLiteral("hostLegacyCheck"));
    m_legacy->setChecked(existing ? existing->legacy_rdp_security : true);
    form->addRow(QStringLiteral("RDP 安全模式"), m_legacy);

    // Why the last OK was refused; the fields at fault carry a red border until they are edited.
    m_error = new QLabel(this);
    m_error->setObjectName(QStringLiteral("hostEditorError"));
    m_error->setWordWrap(true);
    m_error->setStyleSheet(QStringLiteral("color: %1;").arg(QLatin1String(kErrorColor)));
    m_error->hide();
    setStyleSheet(QStringLiteral("QLineEdit[%1=\"true\"] { border: 1px solid %2; }")
                      .arg(QLatin1String(kInvalidProperty), QLatin1String(kErrorColor)));
    for (QLineEdit* edit : {m_name, m_host}) {
        connect(edit, &QLineEdit::textChanged, this, [this, edit] { clearInvalid(edit); });
    }

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    if (existing && existing->isFromPortal()) {
        auto* portalNote = new QLabel(HostTableModel::portalHostNote(), this);
        portalNote->setObjectName(QStringLiteral("hostPortalNote"));
        portalNote->setWordWrap(true);
        layout->addWidget(portalNote);
    }
    layout->addLayout(form);
    layout->addWidget(m_error);
    layout->addWidget(buttons);

    // Only the enable rule applies at open: a stored port is never rewritten by merely opening the editor.
    m_legacy->setEnabled(!existing || !existing->isSsh());
    connect(m_protocol, &QComboBox::currentIndexChanged, this, &HostEditorDialog::onProtocolChanged);
}

void HostEditorDialog::onProtocolChanged()
{
    const bool ssh = m_protocol->currentData().toString() == QLatin1String("ssh");
    // Only the well-known default ports follow the type; a custom port is the user's choice.
    const int port = m_port->value();
    if (port == kRdpPort || port == kSshPort) {
        m_port->setValue(ssh ? kSshPort : kRdpPort);
    }
    m_legacy->setEnabled(!ssh);
}

void HostEditorDialog::onRevealToggled(bool reveal)
{
    // Hiding needs nothing; showing a stored password may need the master password first.
    if (reveal && m_revealRule.confirm && !m_revealRule.confirm(this)) {
        const QSignalBlocker blocker(m_reveal);
        m_reveal->setChecked(false);
        return;
    }
    m_password->setEchoMode(reveal ? QLineEdit::Normal : QLineEdit::Password);
    m_reveal->setText(reveal ? QStringLiteral("隐藏") : QStringLiteral("显示"));
}

void HostEditorDialog::accept()
{
    while (!m_invalid.isEmpty()) {
        clearInvalid(m_invalid.constFirst().first);
    }

    const QString host = m_host->text().trimmed();
    if (m_name->text().trimmed().isEmpty()) {
        setInvalid(m_name, QStringLiteral("请输入名称"));
    }
    // The port box holds only 1-65535, so a failed address check is the address's fault.
    if (!isValidSshTarget(host, m_port->value())) {
        setInvalid(m_host, QStringLiteral("请输入有效的主机地址（IPv4、IPv6 地址或域名，不含空格、下划线）"));
    }
    if (!m_invalid.isEmpty()) {
        showReasons();
        m_invalid.constFirst().first->setFocus(Qt::OtherFocusReason);
        return;
    }
    QDialog::accept();
}

void HostEditorDialog::setInvalid(QWidget* field, const QString& reason)
{
    m_invalid.append({field, reason});
    field->setProperty(kInvalidProperty, true);
    field->setToolTip(reason);
    repolish(field);
}

void HostEditorDialog::clearInvalid(QWidget* field)
{
    const auto it = std::find_if(m_invalid.begin(), m_invalid.end(),
                                 [field](const auto& entry) { return entry.first == field; });
    if (it == m_invalid.end()) {
        return;
    }
    m_invalid.erase(it);
    field->setProperty(kInvalidProperty, false);
    field->setToolTip(QString());
    repolish(field);
    showReasons();
}

void HostEditorDialog::showReasons()
{
    QStringList reasons;
    for (const auto& [field, reason] : std::as_const(m_invalid)) {
        reasons.append(reason);
    }
    m_error->setText(reasons.join(QLatin1Char('\n')));
    m_error->setVisible(!reasons.isEmpty());
}

std::optional<Remote> HostEditorDialog::result() const
{
    const QString name = m_name->text().trimmed();
    const QString host = m_host->text().trimmed();
    const int port = m_port->value();
    if (name.isEmpty() || !isValidSshTarget(host, port)) {
        return std::nullopt;
    }

    const QDateTime now = QDateTime::currentDateTimeUtc();

    // Start from a fresh record so that per-host state (MAC address, trusted certificate) is dropped.
    Remote remote;
    remote.id = m_existing ? m_existing->id : QUuid::createUuid().toString(QUuid::WithoutBraces);
    remote.name = name;
    remote.host = host;
    remote.port = port;
    remote.username = m_username->text().trimmed();
    remote.password = m_password->text();
    remote.remark = m_remark->text().trimmed();
    remote.group_id = m_group->currentData().toString();
    remote.legacy_rdp_security = m_legacy->isChecked();
    remote.protocol = m_protocol->currentData().toString();
    if (m_scope) {
        remote.access_scope = m_scope->currentData().toString();
    } else {
        remote.access_scope = m_existing ? m_existing->access_scope : QStringLiteral("team");
    }
    if (m_existing) {
        remote.source_type = m_existing->source_type;
        remote.agent_device_id = m_existing->agent_device_id;
        remote.created_at = m_existing->created_at;
    } else {
        remote.created_at = now;
    }
    remote.updated_at = now;
    return remote;
}

std::optional<Remote> HostEditorDialog::edit(QWidget* parent, const QList<Group>& groups,
                                             const QString& groupId, const std::optional<Remote>& existing,
                                             bool showScope, PasswordReveal reveal)
{
    HostEditorDialog dialog(parent, groups, groupId, existing, showScope, std::move(reveal));
    // The dialog closes with Accepted only on valid input, which result() then returns.
    if (dialog.exec() != QDialog::Accepted) {
        return std::nullopt;
    }
    return dialog.result();
}
