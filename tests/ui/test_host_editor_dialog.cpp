#include "ui/host_editor_dialog.h"
#include "ui/host_table_model.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPixmap>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>
#include <QTimer>
#include <QUuid>

#include <algorithm>
#include <functional>

namespace {

Group makeGroup(const QString& id, const QString& name, int sortOrder)
{
    Group group;
    group.id = id;
    group.name = name;
    group.sort_order = sortOrder;
    group.created_at = QDateTime(QDate(2024, 1, 1), QTime(0, 0), Qt::UTC);
    return group;
}

// Deliberately not in sort order, so the editor has to order them.
QList<Group> sampleGroups()
{
    return {makeGroup(QStringLiteral("g-ops"), QStringLiteral("运维"), 1),
            makeGroup(QStringLiteral("g-default"), QStringLiteral("默认分组"), 0),
            makeGroup(QStringLiteral("g-db"), QStringLiteral("数据库"), 2)};
}

// A stored host with every field set, including the ones an edit must drop.
Remote storedHost()
{
    Remote remote;
    remote.id = QStringLiteral("3f2c9a1e-0b7d-4c55-9e1a-6d2f8b7c4a10");
    remote.name = QStringLiteral("财务服务器");
    remote.host = QStringLiteral("fin.example.com");
    remote.port = 3390;
    remote.username = QStringLiteral("administrator");
    remote.password = QStringLiteral(" s3cret ");
    remote.remark = QStringLiteral("三楼机房");
    remote.group_id = QStringLiteral("g-db");
    remote.mac_address = QStringLiteral("00:11:22:33:44:55");
    remote.legacy_rdp_security = false;
    remote.protocol = QStringLiteral("rdp");
    remote.agent_device_id = QStringLiteral("agent-42");
    remote.rdp_certificate_fingerprint = QStringLiteral("AB:CD:EF");
    remote.access_scope = QStringLiteral("team");
    remote.source_type = QStringLiteral("vantrel");
    remote.created_at = QDateTime(QDate(2023, 5, 1), QTime(8, 0), Qt::UTC);
    remote.updated_at = QDateTime(QDate(2023, 6, 1), QTime(9, 30), Qt::UTC);
    return remote;
}

// The input widgets of an editor, found the way other code finds them: by object name.
struct EditorFields
{
    explicit EditorFields(const QWidget* dialog)
        : name(dialog->findChild<QLineEdit*>(QStringLiteral("hostNameEdit"))),
          protocol(dialog->findChild<QComboBox*>(QStringLiteral("hostProtocolCombo"))),
          address(dialog->findChild<QLineEdit*>(QStringLiteral("hostAddressEdit"))),
          port(dialog->findChild<QSpinBox*>(QStringLiteral("hostPortSpin"))),
          user(dialog->findChild<QLineEdit*>(QStringLiteral("hostUserEdit"))),
          password(dialog->findChild<QLineEdit*>(QStringLiteral("hostPasswordEdit"))),
          remark(dialog->findChild<QLineEdit*>(QStringLiteral("hostRemarkEdit"))),
          group(dialog->findChild<QComboBox*>(QStringLiteral("hostGroupCombo"))),
          scope(dialog->findChild<QComboBox*>(QStringLiteral("hostScopeCombo"))),
          legacy(dialog->findChild<QCheckBox*>(QStringLiteral("hostLegacyCheck")))
    {
    }

    // Everything but the scope box, which exists only when the scope may be set.
    bool complete() const
    {
        return name && protocol && address && port && user && password && remark && group && legacy;
    }

    void selectProtocol(const QString& data) const { protocol->setCurrentIndex(protocol->findData(data)); }

    QLineEdit* name;
    QComboBox* protocol;
    QLineEdit* address;
    QSpinBox* port;
    QLineEdit* user;
    QLineEdit* password;
    QLineEdit* remark;
    QComboBox* group;
    QComboBox* scope;
    QCheckBox* legacy;
};

QStringList rowLabels(const QWidget* dialog)
{
    QStringList labels;
    const auto* form = dialog->findChild<QFormLayout*>();
    if (!form) {
        return labels;
    }
    for (int row = 0; row < form->rowCount(); ++row) {
        const QLayoutItem* item = form->itemAt(row, QFormLayout::LabelRole);
        const auto* label = item ? qobject_cast<QLabel*>(item->widget()) : nullptr;
        labels.append(label ? label->text() : QString());
    }
    return labels;
}

QStringList itemTexts(const QComboBox* combo)
{
    QStringList texts;
    for (int i = 0; i < combo->count(); ++i) {
        texts.append(combo->itemText(i));
    }
    return texts;
}

QStringList itemData(const QComboBox* combo)
{
    QStringList data;
    for (int i = 0; i < combo->count(); ++i) {
        data.append(combo->itemData(i).toString());
    }
    return data;
}

void clickButton(QDialog* dialog, QDialogButtonBox::StandardButton which)
{
    auto* box = dialog->findChild<QDialogButtonBox*>();
    QPushButton* button = box ? box->button(which) : nullptr;
    if (button) {
        button->click();
    } else {
        dialog->reject(); // never leave the blocking call hanging
    }
}

// Hands the active modal widget of type T to `action` once it appears, polling from inside the event
// loop of the blocking call under test. Destroying `context` ends the polling.
template <typename T>
void whenModal(QObject* context, const std::function<void(T*)>& action, int delayMs = 0,
               int attemptsLeft = 1000)
{
    QTimer::singleShot(delayMs, context, [context, action, attemptsLeft] {
        if (auto* widget = qobject_cast<T*>(QApplication::activeModalWidget())) {
            action(widget);
        } else if (attemptsLeft > 0) {
            whenModal<T>(context, action, 10, attemptsLeft - 1);
        }
    });
}

// What a warning box showed before the test dismissed it.
struct SeenMessage
{
    int count = 0;
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    bool editorStillVisible = false;
};

void recordAndDismissMessages(QObject* context, QWidget* parent, SeenMessage* seen)
{
    whenModal<QMessageBox>(context, [context, parent, seen](QMessageBox* box) {
        ++seen->count;
        seen->title = box->windowTitle();
        seen->text = box->text();
        seen->icon = box->icon();
        const auto editors = parent->findChildren<HostEditorDialog*>();
        seen->editorStillVisible = std::any_of(editors.begin(), editors.end(),
                                               [](const HostEditorDialog* d) { return d->isVisible(); });
        if (QAbstractButton* ok = box->button(QMessageBox::Ok)) {
            ok->click();
        } else {
            box->reject();
        }
        recordAndDismissMessages(context, parent, seen); // a second box would be a failure worth seeing
    });
}

} // namespace

class TestHostEditorDialog : public QObject
{
    Q_OBJECT

private slots:
    void newHostForm_data();
    void newHostForm();
    void portFollowsType_data();
    void portFollowsType();
    void legacyEnabledOnlyForRdp();
    void legacyStateAtOpen_data();
    void legacyStateAtOpen();
    void addressCheck_data();
    void addressCheck();
    void nameRequired_data();
    void nameRequired();
    void trimsAllButPassword();
    void newHostRecord();
    void signedOutNewHostIsTeam();
    void scopeFromBox_data();
    void scopeFromBox();
    void scopeWithoutRowKeepsExisting_data();
    void scopeWithoutRowKeepsExisting();
    void editPrefillsFields();
    void portalHostSaysItIsReplaced();
    void editPrefillsType_data();
    void editPrefillsType();
    void editPrefillsScope_data();
    void editPrefillsScope();
    void editKeepsIdentityDropsHostState();
    void groupsInSortOrder();
    void groupPreselection_data();
    void groupPreselection();
    void groupFromBox();
    void editReturnsConfirmedHost();
    void editCancelReturnsNothing();
    void failedCheckKeepsInputAndMarksTheField_data();
    void failedCheckKeepsInputAndMarksTheField();
    void markClearsOnEdit();
    void portRefusesOutOfRange_data();
    void portRefusesOutOfRange();
};

void TestHostEditorDialog::newHostForm_data()
{
    QTest::addColumn<bool>("showScope");
    QTest::addColumn<QStringList>("labels");

    const QStringList before{QStringLiteral("名称"),    QStringLiteral("主机类型"),
                             QStringLiteral("主机/IP"), QStringLiteral("端口"),
                             QStringLiteral("用户名"),  QStringLiteral("密码（可留空）"),
                             QStringLiteral("备注"),    QStringLiteral("分组")};
    QTest::newRow("with scope") << true
                                << (before +
                                    QStringList{QStringLiteral("访问权限"), QStringLiteral("RDP 安全模式")});
    QTest::newRow("without scope") << false << (before + QStringList{QStringLiteral("RDP 安全模式")});
}

void TestHostEditorDialog::newHostForm()
{
    QFETCH(bool, showScope);
    QFETCH(QStringList, labels);

    HostEditorDialog dialog(nullptr, sampleGroups(), QString(), std::nullopt, showScope);
    const EditorFields f(&dialog);
    QVERIFY(f.complete());
    QCOMPARE(f.scope != nullptr, showScope);

    QCOMPARE(dialog.windowTitle(), QStringLiteral("添加远程主机"));
    QVERIFY(dialog.isModal());
    QCOMPARE(dialog.minimumWidth(), 420);
    QCOMPARE(rowLabels(&dialog), labels);

    QCOMPARE(itemTexts(f.protocol),
             (QStringList{QStringLiteral("Windows 远程桌面（RDP）"), QStringLiteral("Linux 终端（SSH）")}));
    QCOMPARE(itemData(f.protocol), (QStringList{QStringLiteral("rdp"), QStringLiteral("ssh")}));
    QCOMPARE(f.protocol->currentIndex(), 0);
    QCOMPARE(f.port->minimum(), 1);
    QCOMPARE(f.port->maximum(), 65535);
    QCOMPARE(f.port->value(), 3389);
    QCOMPARE(f.password->echoMode(), QLineEdit::Password);
    QCOMPARE(f.legacy->text(), QStringLiteral("旧系统兼容模式（默认开启；现代 Windows 建议取消）"));
    QVERIFY(f.legacy->isChecked());
    for (const QLineEdit* edit : {f.name, f.address, f.user, f.password, f.remark}) {
        QVERIFY2(edit->text().isEmpty(), qPrintable(edit->objectName()));
    }
    if (showScope) {
        QCOMPARE(itemTexts(f.scope),
                 (QStringList{QStringLiteral("仅主账号可用"), QStringLiteral("主账号及子账号可用")}));
        QCOMPARE(itemData(f.scope), (QStringList{QStringLiteral("owner"), QStringLiteral("team")}));
        QCOMPARE(f.scope->currentIndex(), 0);
    }
}

void TestHostEditorDialog::portFollowsType_data()
{
    QTest::addColumn<int>("startPort");
    QTest::addColumn<int>("asSsh");
    QTest::addColumn<int>("backToRdp");

    QTest::newRow("rdp default") << 3389 << 22 << 3389;
    QTest::newRow("custom port") << 2222 << 2222 << 2222;
    QTest::newRow("ssh port typed while rdp") << 22 << 22 << 3389;
}

void TestHostEditorDialog::portFollowsType()
{
    QFETCH(int, startPort);
    QFETCH(int, asSsh);
    QFETCH(int, backToRdp);

    HostEditorDialog dialog(nullptr, sampleGroups(), QString(), std::nullopt, false);
    const EditorFields f(&dialog);
    QVERIFY(f.complete());

    f.port->setValue(startPort);
    f.selectProtocol(QStringLiteral("ssh"));
    QCOMPARE(f.port->value(), asSsh);
    f.selectProtocol(QStringLiteral("rdp"));
    QCOMPARE(f.port->value(), backToRdp);
}

void TestHostEditorDialog::legacyEnabledOnlyForRdp()
{
    HostEditorDialog dialog(nullptr, sampleGroups(), QString(), std::nullopt, false);
    const EditorFields f(&dialog);
    QVERIFY(f.complete());

    QVERIFY(f.legacy->isEnabled());
    f.selectProtocol(QStringLiteral("ssh"));
    QVERIFY(!f.legacy->isEnabled());
    f.selectProtocol(QStringLiteral("rdp"));
    QVERIFY(f.legacy->isEnabled());
}

void TestHostEditorDialog::legacyStateAtOpen_data()
{
    QTest::addColumn<QString>("protocol");
    QTest::addColumn<int>("port");
    QTest::addColumn<bool>("enabled");

    QTest::newRow("rdp host") << QStringLiteral("rdp") << 3389 << true;
    QTest::newRow("ssh host") << QStringLiteral("ssh") << 22 << false;
    // Opening applies only the enable rule; the stored port is left alone.
    QTest::newRow("ssh host on rdp port") << QStringLiteral("ssh") << 3389 << false;
}

void TestHostEditorDialog::legacyStateAtOpen()
{
    QFETCH(QString, protocol);
    QFETCH(int, port);
    QFETCH(bool, enabled);

    Remote existing = storedHost();
    existing.protocol = protocol;
    existing.port = port;
    HostEditorDialog dialog(nullptr, sampleGroups(), QString(), existing, false);
    const EditorFields f(&dialog);
    QVERIFY(f.complete());

    QCOMPARE(f.legacy->isEnabled(), enabled);
    QCOMPARE(f.port->value(), port);
}

void TestHostEditorDialog::addressCheck_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<bool>("accepted");

    const QString label63(63, QLatin1Char('a'));
    const QString label64(64, QLatin1Char('a'));
    const QString l63(63, QLatin1Char('x'));
    // 63 + 1 + 63 + 1 + 63 + 1 + 61 = 253 characters, one more label character makes 254.
    const QString name253 = QStringList{l63, l63, l63, QString(61, QLatin1Char('y'))}.join(QLatin1Char('.'));
    const QString name254 = QStringList{l63, l63, l63, QString(62, QLatin1Char('y'))}.join(QLatin1Char('.'));

    QTest::newRow("label of 63") << label63 + QStringLiteral(".example.com") << true;
    QTest::newRow("label of 64") << label64 + QStringLiteral(".example.com") << false;
    QTest::newRow("underscore") << QStringLiteral("web_01.example.com") << false;
    QTest::newRow("inner space") << QStringLiteral("web 01.example.com") << false;
    QTest::newRow("253 characters") << name253 << true;
    QTest::newRow("254 characters") << name254 << false;
    QTest::newRow("ipv6 loopback") << QStringLiteral("::1") << true;
    QTest::newRow("ipv4") << QStringLiteral("192.168.10.20") << true;
    QTest::newRow("surrounding spaces") << QStringLiteral("  10.0.0.7  ") << true;
    QTest::newRow("empty") << QString() << false;
}

void TestHostEditorDialog::addressCheck()
{
    QFETCH(QString, address);
    QFETCH(bool, accepted);

    HostEditorDialog dialog(nullptr, sampleGroups(), QString(), std::nullopt, false);
    const EditorFields f(&dialog);
    QVERIFY(f.complete());

    f.name->setText(QStringLiteral("web"));
    f.address->setText(address);
    const std::optional<Remote> remote = dialog.result();
    QCOMPARE(remote.has_value(), accepted);
    if (remote) {
        QCOMPARE(remote->host, address.trimmed());
    }
}

void TestHostEditorDialog::nameRequired_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("accepted");

    QTest::newRow("empty") << QString() << false;
    QTest::newRow("only spaces") << QStringLiteral("    ") << false;
    QTest::newRow("tab and newline") << QStringLiteral("\t\n") << false;
    QTest::newRow("single character") << QStringLiteral("a") << true;
}

void TestHostEditorDialog::nameRequired()
{
    QFETCH(QString, name);
    QFETCH(bool, accepted);

    HostEditorDialog dialog(nullptr, sampleGroups(), QString(), std::nullopt, false);
    const EditorFields f(&dialog);
    QVERIFY(f.complete());

    f.name->setText(name);
    f.address->setText(QStringLiteral("10.0.0.1"));
    QCOMPARE(dialog.result().has_value(), accepted);
}

void TestHostEditorDialog::trimsAllButPassword()
{
    HostEditorDialog dialog(nullptr, sampleGroups(), QString(), std::nullopt, false);
    const EditorFields f(&dialog);
    QVERIFY(f.complete());

    f.name->setText(QStringLiteral("  网关  "));
    f.address->setText(QStringLiteral(" gw.example.com "));
    f.user->setText(QStringLiteral(" root "));
    f.password->setText(QStringLiteral("  p a ss  "));
    f.remark->setText(QStringLiteral("  出口  "));

    const std::optional<Remote> remote = dialog.result();
    QVERIFY(remote);
    QCOMPARE(remote->name, QStringLiteral("网关"));
    QCOMPARE(remote->host, QStringLiteral("gw.example.com"));
    QCOMPARE(remote->username, QStringLiteral("root"));
    QCOMPARE(remote->password, QStringLiteral("  p a ss  "));
    QCOMPARE(remote->remark, QStringLiteral("出口"));
}

void TestHostEditorDialog::newHostRecord()
{
    HostEditorDialog dialog(nullptr, sampleGroups(), QStringLiteral("g-ops"), std::nullopt, false);
    const EditorFields f(&dialog);
    QVERIFY(f.complete());

    f.name->setText(QStringLiteral("build-01"));
    f.address->setText(QStringLiteral("10.1.2.3"));
    f.selectProtocol(QStringLiteral("ssh"));
    f.legacy->setChecked(false);

    const QDateTime before = QDateTime::currentDateTimeUtc();
    const std::optional<Remote> remote = dialog.result();
    const QDateTime after = QDateTime::currentDateTimeUtc();
    QVERIFY(remote);

    QVERIFY(!remote->id.contains(QLatin1Char('{')));
    QVERIFY(!QUuid::fromString(remote->id).isNull());
    QCOMPARE(remote->protocol, QStringLiteral("ssh"));
    QCOMPARE(remote->port, 22);
    QCOMPARE(remote->legacy_rdp_security, false);
    QCOMPARE(remote->group_id, QStringLiteral("g-ops"));
    QCOMPARE(remote->source_type, QStringLiteral("manual"));
    QVERIFY(remote->agent_device_id.isEmpty());
    QVERIFY(remote->mac_address.isEmpty());
    QVERIFY(remote->rdp_certificate_fingerprint.isEmpty());
    QCOMPARE(remote->updated_at.timeSpec(), Qt::UTC);
    QVERIFY(remote->updated_at >= before && remote->updated_at <= after);
    QCOMPARE(remote->created_at, remote->updated_at);

    // Every new host gets its own id.
    const std::optional<Remote> again = dialog.result();
    QVERIFY(again);
    QVERIFY(again->id != remote->id);
}

void TestHostEditorDialog::signedOutNewHostIsTeam()
{
    HostEditorDialog dialog(nullptr, sampleGroups(), QString(), std::nullopt, false);
    const EditorFields f(&dialog);
    QVERIFY(f.complete());
    QVERIFY(!f.scope);
    QVERIFY(!rowLabels(&dialog).contains(QStringLiteral("访问权限")));

    f.name->setText(QStringLiteral("web"));
    f.address->setText(QStringLiteral("10.0.0.1"));
    const std::optional<Remote> remote = dialog.result();
    QVERIFY(remote);
    QCOMPARE(remote->access_scope, QStringLiteral("team"));
}

void TestHostEditorDialog::scopeFromBox_data()
{
    QTest::addColumn<bool>("editing");
    QTest::addColumn<QString>("storedScope");
    QTest::addColumn<QString>("chosenScope"); // empty: leave the box as it opened
    QTest::addColumn<QString>("expected");

    QTest::newRow("new host, preset") << false << QString() << QString() << QStringLiteral("owner");
    QTest::newRow("new host, team chosen")
        << false << QString() << QStringLiteral("team") << QStringLiteral("team");
    QTest::newRow("edit team, kept") << true << QStringLiteral("team") << QString() << QStringLiteral("team");
    QTest::newRow("edit team, owner chosen")
        << true << QStringLiteral("team") << QStringLiteral("owner") << QStringLiteral("owner");
    QTest::newRow("edit unknown scope")
        << true << QStringLiteral("guests") << QString() << QStringLiteral("owner");
}

void TestHostEditorDialog::scopeFromBox()
{
    QFETCH(bool, editing);
    QFETCH(QString, storedScope);
    QFETCH(QString, chosenScope);
    QFETCH(QString, expected);

    std::optional<Remote> existing;
    if (editing) {
        existing = storedHost();
        existing->access_scope = storedScope;
    }
    HostEditorDialog dialog(nullptr, sampleGroups(), QString(), existing, true);
    const EditorFields f(&dialog);
    QVERIFY(f.complete());
    QVERIFY(f.scope);

    if (!editing) {
        f.name->setText(QStringLiteral("web"));
        f.address->setText(QStringLiteral("10.0.0.1"));
    }
    if (!chosenScope.isEmpty()) {
        f.scope->setCurrentIndex(f.scope->findData(chosenScope));
    }
    const std::optional<Remote> remote = dialog.result();
    QVERIFY(remote);
    QCOMPARE(remote->access_scope, expected);
}

void TestHostEditorDialog::scopeWithoutRowKeepsExisting_data()
{
    QTest::addColumn<QString>("storedScope");

    QTest::newRow("owner") << QStringLiteral("owner");
    QTest::newRow("team") << QStringLiteral("team");
}

void TestHostEditorDialog::scopeWithoutRowKeepsExisting()
{
    QFETCH(QString, storedScope);

    Remote existing = storedHost();
    existing.access_scope = storedScope;
    HostEditorDialog dialog(nullptr, sampleGroups(), QString(), existing, false);

    const std::optional<Remote> remote = dialog.result();
    QVERIFY(remote);
    QCOMPARE(remote->access_scope, storedScope);
}

void TestHostEditorDialog::editPrefillsFields()
{
    const Remote existing = storedHost();
    HostEditorDialog dialog(nullptr, sampleGroups(), existing.group_id, existing, true);
    const EditorFields f(&dialog);
    QVERIFY(f.complete());

    QCOMPARE(dialog.windowTitle(), QStringLiteral("编辑远程主机"));
    QCOMPARE(f.name->text(), existing.name);
    QCOMPARE(f.address->text(), existing.host);
    QCOMPARE(f.port->value(), existing.port);
    QCOMPARE(f.user->text(), existing.username);
    QCOMPARE(f.password->text(), existing.password);
    QCOMPARE(f.remark->text(), existing.remark);
    QCOMPARE(f.group->currentData().toString(), existing.group_id);
    QCOMPARE(f.legacy->isChecked(), existing.legacy_rdp_security);
}

void TestHostEditorDialog::portalHostSaysItIsReplaced()
{
    Remote portal = storedHost();
    portal.source_type = QStringLiteral("vantrel");
    HostEditorDialog portalDialog(nullptr, sampleGroups(), portal.group_id, portal, true);
    auto* note = portalDialog.findChild<QLabel*>(QStringLiteral("hostPortalNote"));
    QVERIFY(note);
    QCOMPARE(note->text(), HostTableModel::portalHostNote());

    Remote manual = storedHost();
    manual.source_type = QStringLiteral("manual");
    HostEditorDialog manualDialog(nullptr, sampleGroups(), manual.group_id, manual, true);
    QVERIFY(!manualDialog.findChild<QLabel*>(QStringLiteral("hostPortalNote")));
    HostEditorDialog newDialog(nullptr, sampleGroups(), manual.group_id, std::nullopt, true);
    QVERIFY(!newDialog.findChild<QLabel*>(QStringLiteral("hostPortalNote")));
}

void TestHostEditorDialog::editPrefillsType_data()
{
    QTest::addColumn<QString>("protocol");
    QTest::addColumn<int>("typeIndex");
    QTest::addColumn<QString>("savedProtocol");

    QTest::newRow("ssh") << QStringLiteral("ssh") << 1 << QStringLiteral("ssh");
    QTest::newRow("ssh in capitals") << QStringLiteral("SSH") << 1 << QStringLiteral("ssh");
    QTest::newRow("rdp") << QStringLiteral("rdp") << 0 << QStringLiteral("rdp");
    QTest::newRow("other protocol means rdp") << QStringLiteral("vnc") << 0 << QStringLiteral("rdp");
}

void TestHostEditorDialog::editPrefillsType()
{
    QFETCH(QString, protocol);
    QFETCH(int, typeIndex);
    QFETCH(QString, savedProtocol);

    Remote existing = storedHost();
    existing.protocol = protocol;
    HostEditorDialog dialog(nullptr, sampleGroups(), QString(), existing, false);
    const EditorFields f(&dialog);
    QVERIFY(f.complete());

    QCOMPARE(f.protocol->currentIndex(), typeIndex);
    const std::optional<Remote> remote = dialog.result();
    QVERIFY(remote);
    QCOMPARE(remote->protocol, savedProtocol);
    QCOMPARE(remote->port, existing.port);
}

void TestHostEditorDialog::editPrefillsScope_data()
{
    QTest::addColumn<QString>("storedScope");
    QTest::addColumn<int>("scopeIndex");

    QTest::newRow("owner") << QStringLiteral("owner") << 0;
    QTest::newRow("team") << QStringLiteral("team") << 1;
    QTest::newRow("unknown") << QStringLiteral("everyone") << 0;
    QTest::newRow("empty") << QString() << 0;
}

void TestHostEditorDialog::editPrefillsScope()
{
    QFETCH(QString, storedScope);
    QFETCH(int, scopeIndex);

    Remote existing = storedHost();
    existing.access_scope = storedScope;
    HostEditorDialog dialog(nullptr, sampleGroups(), QString(), existing, true);
    const EditorFields f(&dialog);
    QVERIFY(f.scope);
    QCOMPARE(f.scope->currentIndex(), scopeIndex);
}

void TestHostEditorDialog::editKeepsIdentityDropsHostState()
{
    const Remote existing = storedHost();
    HostEditorDialog dialog(nullptr, sampleGroups(), existing.group_id, existing, false);
    const EditorFields f(&dialog);
    QVERIFY(f.complete());
    f.name->setText(QStringLiteral("财务服务器-新"));

    const QDateTime before = QDateTime::currentDateTimeUtc();
    const std::optional<Remote> remote = dialog.result();
    const QDateTime after = QDateTime::currentDateTimeUtc();
    QVERIFY(remote);

    QCOMPARE(remote->id, existing.id);
    QCOMPARE(remote->created_at, existing.created_at);
    QCOMPARE(remote->source_type, existing.source_type);
    QCOMPARE(remote->agent_device_id, existing.agent_device_id);
    QCOMPARE(remote->name, QStringLiteral("财务服务器-新"));
    QCOMPARE(remote->updated_at.timeSpec(), Qt::UTC);
    QVERIFY(remote->updated_at >= before && remote->updated_at <= after);
    // A changed host may be a different machine: its MAC address and trusted certificate are dropped.
    QVERIFY(remote->rdp_certificate_fingerprint.isEmpty());
    QVERIFY(remote->mac_address.isEmpty());
}

void TestHostEditorDialog::groupsInSortOrder()
{
    HostEditorDialog dialog(nullptr, sampleGroups(), QString(), std::nullopt, false);
    const EditorFields f(&dialog);
    QVERIFY(f.complete());

    QCOMPARE(itemTexts(f.group),
             (QStringList{QStringLiteral("默认分组"), QStringLiteral("运维"), QStringLiteral("数据库")}));
    QCOMPARE(itemData(f.group),
             (QStringList{QStringLiteral("g-default"), QStringLiteral("g-ops"), QStringLiteral("g-db")}));
}

void TestHostEditorDialog::groupPreselection_data()
{
    QTest::addColumn<QString>("groupId");
    QTest::addColumn<QString>("hostGroupId"); // empty: a new host
    QTest::addColumn<QString>("selected");

    QTest::newRow("new, given group") << QStringLiteral("g-db") << QString() << QStringLiteral("g-db");
    QTest::newRow("new, unknown group")
        << QStringLiteral("g-gone") << QString() << QStringLiteral("g-default");
    QTest::newRow("new, no group given") << QString() << QString() << QStringLiteral("g-default");
    QTest::newRow("edit, host's group")
        << QStringLiteral("g-ops") << QStringLiteral("g-ops") << QStringLiteral("g-ops");
    QTest::newRow("edit, host's group wins")
        << QStringLiteral("g-default") << QStringLiteral("g-db") << QStringLiteral("g-db");
    QTest::newRow("edit, host's group gone")
        << QStringLiteral("g-ops") << QStringLiteral("g-gone") << QStringLiteral("g-ops");
}

void TestHostEditorDialog::groupPreselection()
{
    QFETCH(QString, groupId);
    QFETCH(QString, hostGroupId);
    QFETCH(QString, selected);

    std::optional<Remote> existing;
    if (!hostGroupId.isEmpty()) {
        existing = storedHost();
        existing->group_id = hostGroupId;
    }
    HostEditorDialog dialog(nullptr, sampleGroups(), groupId, existing, false);
    const EditorFields f(&dialog);
    QVERIFY(f.complete());
    QCOMPARE(f.group->currentData().toString(), selected);

    f.name->setText(QStringLiteral("web"));
    f.address->setText(QStringLiteral("10.0.0.1"));
    const std::optional<Remote> remote = dialog.result();
    QVERIFY(remote);
    QCOMPARE(remote->group_id, selected);
}

void TestHostEditorDialog::groupFromBox()
{
    const Remote existing = storedHost();
    HostEditorDialog dialog(nullptr, sampleGroups(), existing.group_id, existing, false);
    const EditorFields f(&dialog);
    QVERIFY(f.complete());

    f.group->setCurrentIndex(f.group->findData(QStringLiteral("g-ops")));
    const std::optional<Remote> remote = dialog.result();
    QVERIFY(remote);
    QCOMPARE(remote->group_id, QStringLiteral("g-ops"));
}

void TestHostEditorDialog::editReturnsConfirmedHost()
{
    QWidget parent;
    QObject pending;
    SeenMessage seen;
    bool wasModal = false;
    whenModal<HostEditorDialog>(&pending, [&wasModal](HostEditorDialog* dialog) {
        wasModal = dialog->isModal();
        const EditorFields f(dialog);
        if (f.complete()) {
            f.name->setText(QStringLiteral("db-02"));
            f.address->setText(QStringLiteral("db02.example.com"));
            f.selectProtocol(QStringLiteral("ssh"));
            f.user->setText(QStringLiteral("postgres"));
        }
        clickButton(dialog, QDialogButtonBox::Ok);
    });
    recordAndDismissMessages(&pending, &parent, &seen);

    const std::optional<Remote> remote =
        HostEditorDialog::edit(&parent, sampleGroups(), QStringLiteral("g-db"), std::nullopt, false);

    QVERIFY(wasModal);
    QCOMPARE(seen.count, 0);
    QVERIFY(remote);
    QCOMPARE(remote->name, QStringLiteral("db-02"));
    QCOMPARE(remote->host, QStringLiteral("db02.example.com"));
    QCOMPARE(remote->protocol, QStringLiteral("ssh"));
    QCOMPARE(remote->port, 22);
    QCOMPARE(remote->username, QStringLiteral("postgres"));
    QCOMPARE(remote->group_id, QStringLiteral("g-db"));
    QCOMPARE(remote->access_scope, QStringLiteral("team"));
}

void TestHostEditorDialog::editCancelReturnsNothing()
{
    QWidget parent;
    QObject pending;
    SeenMessage seen;
    whenModal<HostEditorDialog>(&pending, [](HostEditorDialog* dialog) {
        const EditorFields f(dialog);
        if (f.complete()) {
            f.name->setText(QStringLiteral("typed but cancelled"));
            f.address->setText(QStringLiteral("10.9.9.9"));
        }
        clickButton(dialog, QDialogButtonBox::Cancel);
    });
    recordAndDismissMessages(&pending, &parent, &seen);

    const std::optional<Remote> remote =
        HostEditorDialog::edit(&parent, sampleGroups(), QString(), storedHost(), true);

    QVERIFY(!remote);
    QCOMPARE(seen.count, 0);
}

void TestHostEditorDialog::failedCheckKeepsInputAndMarksTheField_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("address");
    QTest::addColumn<QStringList>("marked"); // object names, the focused one first

    const QString nameEdit = QStringLiteral("hostNameEdit");
    const QString addressEdit = QStringLiteral("hostAddressEdit");
    QTest::newRow("name of only spaces")
        << QStringLiteral("   ") << QStringLiteral("10.0.0.1") << QStringList{nameEdit};
    QTest::newRow("invalid address") << QStringLiteral("web") << QStringLiteral("web_01.example.com")
                                     << QStringList{addressEdit};
    QTest::newRow("empty address") << QStringLiteral("web") << QString() << QStringList{addressEdit};
    QTest::newRow("both") << QString() << QStringLiteral("a b") << QStringList{nameEdit, addressEdit};
}

void TestHostEditorDialog::failedCheckKeepsInputAndMarksTheField()
{
    QFETCH(QString, name);
    QFETCH(QString, address);
    QFETCH(QStringList, marked);

    // What the editor showed after the refused OK, read inside its modal loop.
    struct AfterRefusal
    {
        bool reached = false;
        bool visible = false;
        QStringList values;
        QStringList marked;
        QString focused;
        bool reasonShown = false;
        bool marksClearedByFixing = false;
    } after;
    QStringList typed;

    QWidget parent;
    QObject pending;
    SeenMessage seen;
    whenModal<HostEditorDialog>(&pending, [&](HostEditorDialog* dialog) {
        const EditorFields f(dialog);
        const auto label = dialog->findChild<QLabel*>(QStringLiteral("hostEditorError"));
        if (!f.complete() || !label) {
            dialog->reject();
            return;
        }
        const auto values = [&f] {
            return QStringList{f.name->text(),
                               f.protocol->currentData().toString(),
                               f.address->text(),
                               QString::number(f.port->value()),
                               f.user->text(),
                               f.password->text(),
                               f.remark->text(),
                               f.group->currentData().toString(),
                               f.scope->currentData().toString()};
        };
        f.name->setText(name);
        f.selectProtocol(QStringLiteral("ssh"));
        f.address->setText(address);
        f.port->setValue(2222);
        f.user->setText(QStringLiteral("ops"));
        f.password->setText(QStringLiteral(" secret "));
        f.remark->setText(QStringLiteral("机房 B"));
        f.group->setCurrentIndex(f.group->findData(QStringLiteral("g-ops")));
        f.scope->setCurrentIndex(f.scope->findData(QStringLiteral("team")));
        typed = values();

        clickButton(dialog, QDialogButtonBox::Ok);

        after.reached = true;
        after.visible = dialog->isVisible();
        after.values = values();
        for (QWidget* edit :
             std::initializer_list<QWidget*>{f.name, f.address, f.port, f.user, f.password, f.remark}) {
            if (edit->property(HostEditorDialog::kInvalidProperty).toBool()) {
                after.marked.append(edit->objectName());
            }
        }
        after.focused = dialog->focusWidget() ? dialog->focusWidget()->objectName() : QString();
        after.reasonShown = label->isVisibleTo(dialog) && !label->text().isEmpty();

        // Correcting the input clears every mark, and the same dialog then saves.
        f.name->setText(QStringLiteral("web"));
        f.address->setText(QStringLiteral("10.0.0.9"));
        after.marksClearedByFixing = !f.name->property(HostEditorDialog::kInvalidProperty).toBool() &&
                                     !f.address->property(HostEditorDialog::kInvalidProperty).toBool() &&
                                     !label->isVisibleTo(dialog);
        clickButton(dialog, QDialogButtonBox::Ok);
    });
    recordAndDismissMessages(&pending, &parent, &seen);

    const std::optional<Remote> remote =
        HostEditorDialog::edit(&parent, sampleGroups(), QString(), std::nullopt, true);

    QVERIFY(after.reached);
    QVERIFY(after.visible);
    QCOMPARE(after.values, typed);
    QCOMPARE(after.marked, marked);
    QCOMPARE(after.focused, marked.constFirst());
    QVERIFY(after.reasonShown);
    QVERIFY(after.marksClearedByFixing);
    QCOMPARE(seen.count, 0);

    QVERIFY(remote);
    QCOMPARE(remote->name, QStringLiteral("web"));
    QCOMPARE(remote->host, QStringLiteral("10.0.0.9"));
    QCOMPARE(remote->protocol, QStringLiteral("ssh"));
    QCOMPARE(remote->port, 2222);
    QCOMPARE(remote->username, QStringLiteral("ops"));
    QCOMPARE(remote->password, QStringLiteral(" secret "));
    QCOMPARE(remote->remark, QStringLiteral("机房 B"));
    QCOMPARE(remote->group_id, QStringLiteral("g-ops"));
    QCOMPARE(remote->access_scope, QStringLiteral("team"));
}

void TestHostEditorDialog::markClearsOnEdit()
{
    HostEditorDialog dialog(nullptr, sampleGroups(), QString(), std::nullopt, false);
    const EditorFields f(&dialog);
    QVERIFY(f.complete());
    auto* label = dialog.findChild<QLabel*>(QStringLiteral("hostEditorError"));
    QVERIFY(label);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));

    f.address->setText(QStringLiteral("bad host"));
    const QImage unmarked = f.address->grab().toImage();
    dialog.accept();
    QVERIFY(dialog.isVisible());
    const auto isMarked = [](const QWidget* widget) {
        return widget->property(HostEditorDialog::kInvalidProperty).toBool();
    };
    QVERIFY(isMarked(f.name));
    QVERIFY(isMarked(f.address));
    // The mark shows: the address field (not focused, same text) looks different now.
    QVERIFY(f.address->grab().toImage() != unmarked);
    QVERIFY(label->isVisible());
    const QString bothReasons = label->text();

    // Typing into one field clears its mark and its reason only.
    QTest::keyClicks(f.name, QStringLiteral("web"));
    QVERIFY(!isMarked(f.name));
    QVERIFY(f.name->toolTip().isEmpty());
    QVERIFY(isMarked(f.address));
    QVERIFY(label->isVisible());
    QVERIFY(label->text() != bothReasons);
    QCOMPARE(label->text(), f.address->toolTip());

    f.address->selectAll();
    QTest::keyClicks(f.address, QStringLiteral("10.0.0.1"));
    QVERIFY(!isMarked(f.address));
    QVERIFY(!label->isVisible());

    dialog.accept();
    QVERIFY(!dialog.isVisible());
    QCOMPARE(dialog.QDialog::result(), int(QDialog::Accepted));
}

void TestHostEditorDialog::portRefusesOutOfRange_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<int>("value");

    QTest::newRow("65535") << QStringLiteral("65535") << 65535;
    QTest::newRow("1") << QStringLiteral("1") << 1;
    // The last digit of 65536 is refused as it is typed.
    QTest::newRow("65536") << QStringLiteral("65536") << 6553;
    QTest::newRow("0") << QStringLiteral("0") << 3389;
    QTest::newRow("99999") << QStringLiteral("99999") << 9999;
}

void TestHostEditorDialog::portRefusesOutOfRange()
{
    QFETCH(QString, typed);
    QFETCH(int, value);

    HostEditorDialog dialog(nullptr, sampleGroups(), QString(), std::nullopt, false);
    const EditorFields f(&dialog);
    QVERIFY(f.complete());
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));

    f.port->setFocus();
    f.port->selectAll();
    QTest::keyClicks(f.port, typed);
    QTest::keyClick(f.port, Qt::Key_Return);
    QCOMPARE(f.port->value(), value);
}

QTEST_MAIN(TestHostEditorDialog)
#include "test_host_editor_dialog.moc"
