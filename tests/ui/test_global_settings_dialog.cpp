#include "app.h"
#include "ssh/terminal_launcher.h"
#include "storage/config_manager.h"
#include "support/fake_process_launcher.h"
#include "support/modal_driver.h"
#include "support/test_environment.h"
#include "ui/global_settings_dialog.h"
#include "ui/session_settings_group.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileInfo>
#include <QFormLayout>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

// Keeps the engine settings as written (older files are migrated to the defaults).
const QByteArray kPolicy = "engine_policy_version = 1\n";

template <typename T> T* child(QWidget* dialog, const char* name)
{
    T* widget = dialog->findChild<T*>(QLatin1String(name));
    if (widget == nullptr) {
        qFatal("no %s", name);
    }
    return widget;
}

QStringList itemTexts(const QComboBox* box)
{
    QStringList texts;
    for (int i = 0; i < box->count(); ++i) {
        texts.append(box->itemText(i));
    }
    return texts;
}

QVariantList itemValues(const QComboBox* box)
{
    QVariantList values;
    for (int i = 0; i < box->count(); ++i) {
        values.append(box->itemData(i));
    }
    return values;
}

QPushButton* dialogButton(QDialog* dialog, QDialogButtonBox::StandardButton which)
{
    return dialog->findChild<QDialogButtonBox*>()->button(which);
}

// Presses Save and answers the one message box it shows.
SeenBox saveAndAnswer(GlobalSettingsDialog& dialog)
{
    ModalDriver driver;
    SeenBox seen;
    driver.answer(QMessageBox::Ok, &seen);
    dialogButton(&dialog, QDialogButtonBox::Save)->click();
    if (!driver.done() || !driver.unexpected.isEmpty()) {
        qWarning("message boxes: %s", qPrintable(driver.unexpected.join(QLatin1Char('\n'))));
        seen = SeenBox{};
    }
    return seen;
}

// What a fresh start would read from the file.
AppConfig reread(const QString& path)
{
    ConfigManager fresh;
    if (!fresh.load(path)) {
        qWarning("cannot reload %s", qPrintable(path));
    }
    return fresh.config();
}

} // namespace

class TestGlobalSettingsDialog : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<ConfigManager> m_config;
    std::unique_ptr<FakeProcessLauncher> m_processes;
    std::unique_ptr<TerminalLauncher> m_terminals;

    QString configPath() const { return m_dir->filePath(QStringLiteral("config.toml")); }

    // A configuration loaded from a file with `connection` and `rest` as its text.
    void loadConfig(const QByteArray& connection, const QByteArray& rest = {})
    {
        writeFile(configPath(), "[connection]\n" + kPolicy + connection + "\n" + rest);
        QVERIFY(m_config->load(configPath()));
    }

    // Saves, answers the confirmation and waits for the reload that follows the write.
    void saveConfirmed(GlobalSettingsDialog& dialog)
    {
        QSignalSpy reloaded(m_config.get(), &ConfigManager::configChanged);
        const SeenBox seen = saveAndAnswer(dialog);
        QCOMPARE(seen.title, QStringLiteral("设置已保存"));
        QCOMPARE(seen.text, QStringLiteral("新的连接将使用更新后的全局设置。"));
        QCOMPARE(seen.icon, QMessageBox::Information);
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QTRY_COMPARE(reloaded.count(), 1);
    }

private slots:
    void initTestCase()
    {
        // The program's names, which choose its data directory.
        QCoreApplication::setApplicationName(QStringLiteral("NIMBARA"));
        QCoreApplication::setOrganizationName(QStringLiteral("NIMBARA"));
    }

    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        m_config = std::make_unique<ConfigManager>();
        m_processes = std::make_unique<FakeProcessLauncher>();
        m_terminals = std::make_unique<TerminalLauncher>(m_processes.get());
    }

    void cleanup()
    {
        m_terminals.reset();
        m_processes.reset();
        m_config.reset();
        m_dir.reset();
    }

    void rowsAndInitialValues()
    {
        ScopedEnvironment env;
        env.unset("TERMINAL");
        m_processes->addProgram(QStringLiteral("xterm"), QStringLiteral("/usr/bin/xterm"));
        m_processes->addProgram(QStringLiteral("konsole"), QStringLiteral("/usr/bin/konsole"));
        loadConfig("default_kernel = \"mstsc\"\ndefault_resolution = \"custom\"\ncustom_width = 2560\n"
                   "custom_height = 1440\ncolor_depth = 24\nconnect_timeout = 45\n",
                   "[sync]\nenabled = true\n[ssh]\nterminal = \"xterm\"\n"
                   "[account]\nservice_url = \"https://accounts.example.org:8443\"\n");
        GlobalSettingsDialog dialog(m_config.get(), *m_terminals);

        QCOMPARE(dialog.windowTitle(), QStringLiteral("全局设置"));
        QVERIFY(dialog.isModal());
        QCOMPARE(dialog.minimumWidth(), 460);

        auto* form = dialog.findChild<QFormLayout*>();
        QVERIFY(form != nullptr);
        QStringList labels;
        QStringList fields;
        for (int row = 0; row < form->rowCount(); ++row) {
            if (QLayoutItem* spanning = form->itemAt(row, QFormLayout::SpanningRole)) {
                labels.append(QString());
                fields.append(spanning->widget()->objectName());
                continue;
            }
            labels.append(qobject_cast<QLabel*>(form->itemAt(row, QFormLayout::LabelRole)->widget())->text());
            fields.append(form->itemAt(row, QFormLayout::FieldRole)->widget()->objectName());
        }
        QCOMPARE(labels, QStringList({"屏幕墙连接模式", "", "默认分辨率", "自定义宽度", "自定义高度",
                                      "颜色深度", "连接超时", "SSH 终端", "会员功能", "会员服务地址"}));
        QCOMPARE(fields,
                 QStringList({"kernelBox", "kernelNote", "resolutionBox", "widthBox", "heightBox", "depthBox",
                              "timeoutBox", "terminalBox", "syncBox", "accountServiceAddress"}));
        dialog.setAccountServiceAddress(QStringLiteral("https://accounts.example.org:8443"));
        QCOMPARE(child<QLabel>(&dialog, "accountServiceAddress")->text(),
                 QStringLiteral("https://accounts.example.org:8443"));

        auto* kernel = child<QComboBox>(&dialog, "kernelBox");
        QCOMPARE(itemTexts(kernel),
                 QStringList({"自动混合（推荐）", "极速模式（FreeRDP）", "兼容模式（系统 RDP 客户端）"}));
        QCOMPARE(itemValues(kernel), QVariantList({2, 0, 1}));
        QCOMPARE(kernel->currentData(), QVariant(1));
        // The tip describes the selected mode and follows the choice.
        const QStringList tips{QStringLiteral("自动混合：屏幕墙优先使用 FreeRDP，遇到协议兼容问题时仅将失败"
                                              "主机切换到系统 RDP 客户端。"),
                               QStringLiteral("极速模式：屏幕墙的主机全部使用内嵌的 FreeRDP，"
                                              "不切换到系统 RDP 客户端。"),
                               QStringLiteral("兼容模式：屏幕墙的主机全部使用系统 RDP 客户端（xfreerdp）。")};
        QCOMPARE(kernel->toolTip(), tips.at(2));
        for (const int index : {0, 1, 2}) {
            kernel->setCurrentIndex(index);
            QCOMPARE(kernel->toolTip(), tips.at(index));
        }
        auto* note = child<QLabel>(&dialog, "kernelNote");
        QCOMPARE(note->text(), QStringLiteral("此选项只控制屏幕墙与多屏打开的会话。\n"
                                              "单台“远程连接”始终使用系统 RDP 客户端。"));
        QVERIFY(note->wordWrap());

        auto* resolution = child<QComboBox>(&dialog, "resolutionBox");
        QCOMPARE(itemTexts(resolution),
                 QStringList({"全屏（当前显示器）", "窗口 1280 × 720", "自定义分辨率"}));
        QCOMPARE(itemValues(resolution), QVariantList({0, 1, 2}));
        QCOMPARE(resolution->currentData(), QVariant(2));

        auto* width = child<QSpinBox>(&dialog, "widthBox");
        auto* height = child<QSpinBox>(&dialog, "heightBox");
        QCOMPARE(width->minimum(), 640);
        QCOMPARE(width->maximum(), 7680);
        QCOMPARE(height->minimum(), 480);
        QCOMPARE(height->maximum(), 4320);
        QCOMPARE(width->value(), 2560);
        QCOMPARE(height->value(), 1440);
        QVERIFY(width->isEnabled());
        QVERIFY(height->isEnabled());

        auto* depth = child<QComboBox>(&dialog, "depthBox");
        QCOMPARE(itemTexts(depth), QStringList({"16 位", "24 位", "32 位"}));
        QCOMPARE(itemValues(depth), QVariantList({16, 24, 32}));
        QCOMPARE(depth->currentData(), QVariant(24));

        auto* timeout = child<QSpinBox>(&dialog, "timeoutBox");
        QCOMPARE(timeout->value(), 45);
        QCOMPARE(timeout->suffix(), QStringLiteral(" 秒"));
        QCOMPARE(timeout->minimum(), ConfigManager::kMinConnectTimeout);
        QCOMPARE(timeout->maximum(), ConfigManager::kMaxConnectTimeout);

        auto* terminal = child<QComboBox>(&dialog, "terminalBox");
        QCOMPARE(itemTexts(terminal), QStringList({"自动", "konsole", "xterm"}));
        QCOMPARE(itemValues(terminal), QVariantList({QString(), "konsole", "xterm"}));
        QCOMPARE(terminal->currentText(), QStringLiteral("xterm"));

        // Sync needs a member account, which this build cannot sign in to.
        auto* sync = child<QCheckBox>(&dialog, "syncBox");
        QCOMPARE(sync->text(), QStringLiteral("开启主机云同步（端到端加密，可随时关闭）"));
        QVERIFY(sync->isChecked());
        QVERIFY(!sync->isEnabled());
        QCOMPARE(sync->toolTip(), QStringLiteral("登录会员账号后可开启主机云同步。"));

        QCOMPARE(dialogButton(&dialog, QDialogButtonBox::Save)->text(), QStringLiteral("保存全局设置"));
        QVERIFY(dialogButton(&dialog, QDialogButtonBox::Cancel) != nullptr);
    }

    void serviceAddressNamesTheOneOfTheNextStart_data()
    {
        QTest::addColumn<QByteArray>("configured");
        QTest::addColumn<QString>("shown");
        const QString inUse = QStringLiteral("https://accounts.example.org:8443");
        QTest::newRow("unchanged") << QByteArray("https://accounts.example.org:8443") << inUse;
        QTest::newRow("unchanged, trailing slash")
            << QByteArray("https://accounts.example.org:8443/") << inUse;
        QTest::newRow("changed") << QByteArray("https://sync.example.net")
                                 << inUse +
                                        QStringLiteral("\n已改为 https://sync.example.net，下次启动时生效。");
    }

    void serviceAddressNamesTheOneOfTheNextStart()
    {
        QFETCH(QByteArray, configured);
        QFETCH(QString, shown);
        loadConfig({}, "[account]\nservice_url = \"" + configured + "\"\n");
        GlobalSettingsDialog dialog(m_config.get(), *m_terminals);
        dialog.setAccountServiceAddress(QStringLiteral("https://accounts.example.org:8443"));
        QCOMPARE(child<QLabel>(&dialog, "accountServiceAddress")->text(), shown);
    }

    void unlistedValuesSelectTheFirstItemAndSizeFollowsTheMode()
    {
        loadConfig("default_resolution = \"window\"\ncolor_depth = 15\n");
        m_config->setDefaultKernel(static_cast<RdpKernel>(7));
        GlobalSettingsDialog dialog(m_config.get(), *m_terminals);

        QCOMPARE(child<QComboBox>(&dialog, "kernelBox")->currentIndex(), 0);
        QCOMPARE(child<QComboBox>(&dialog, "depthBox")->currentIndex(), 0);
        QCOMPARE(child<QComboBox>(&dialog, "terminalBox")->currentText(), QStringLiteral("自动"));

        auto* resolution = child<QComboBox>(&dialog, "resolutionBox");
        auto* width = child<QSpinBox>(&dialog, "widthBox");
        auto* height = child<QSpinBox>(&dialog, "heightBox");
        QCOMPARE(resolution->currentData(), QVariant(1));
        QVERIFY(!width->isEnabled());
        QVERIFY(!height->isEnabled());
        resolution->setCurrentIndex(2);
        QVERIFY(width->isEnabled());
        QVERIFY(height->isEnabled());
        resolution->setCurrentIndex(0);
        QVERIFY(!width->isEnabled());
        QVERIFY(!height->isEnabled());
    }

    void kernelChoiceStoresEngineAndSmartForward_data()
    {
        QTest::addColumn<int>("index");
        QTest::addColumn<QByteArray>("startKernel");
        QTest::addColumn<QByteArray>("startSmartForward");
        QTest::addColumn<int>("kernel");
        QTest::addColumn<bool>("smartForward");

        QTest::newRow("automatic") << 0 << QByteArray("mstsc") << QByteArray("false") << 2 << true;
        QTest::newRow("fast") << 1 << QByteArray("auto") << QByteArray("true") << 0 << false;
        QTest::newRow("compatible") << 2 << QByteArray("auto") << QByteArray("true") << 1 << false;
    }

    void kernelChoiceStoresEngineAndSmartForward()
    {
        QFETCH(int, index);
        QFETCH(QByteArray, startKernel);
        QFETCH(QByteArray, startSmartForward);
        QFETCH(int, kernel);
        QFETCH(bool, smartForward);

        loadConfig("default_kernel = \"" + startKernel + "\"\nsmart_forward = " + startSmartForward + "\n");
        GlobalSettingsDialog dialog(m_config.get(), *m_terminals);
        child<QComboBox>(&dialog, "kernelBox")->setCurrentIndex(index);
        saveConfirmed(dialog);

        for (const AppConfig& config : {m_config->config(), reread(configPath())}) {
            QCOMPARE(static_cast<int>(config.default_kernel), kernel);
            QCOMPARE(config.smart_forward, smartForward);
        }
    }

    void windowModeStillStoresTheCustomSize()
    {
        loadConfig(
            "default_resolution = \"custom\"\ncustom_width = 2560\ncustom_height = 1440\ncolor_depth = 32\n");
        GlobalSettingsDialog dialog(m_config.get(), *m_terminals);
        child<QComboBox>(&dialog, "resolutionBox")->setCurrentIndex(1);
        child<QSpinBox>(&dialog, "widthBox")->setValue(1600);
        child<QSpinBox>(&dialog, "heightBox")->setValue(900);
        child<QComboBox>(&dialog, "depthBox")->setCurrentIndex(0);
        saveConfirmed(dialog);

        for (const AppConfig& config : {m_config->config(), reread(configPath())}) {
            QCOMPARE(config.default_resolution, ResolutionMode::Window);
            QCOMPARE(config.custom_width, 1600);
            QCOMPARE(config.custom_height, 900);
            QCOMPARE(config.color_depth, 16);
        }
    }

    // Nobody, root included, may create files directly in /proc.
    void unwritableLocationKeepsTheValuesInMemory()
    {
        QVERIFY(m_config->load(QStringLiteral("/proc/config.toml")));
        GlobalSettingsDialog dialog(m_config.get(), *m_terminals);
        QSignalSpy savedSignal(&dialog, &GlobalSettingsDialog::settingsSaved);
        child<QComboBox>(&dialog, "kernelBox")->setCurrentIndex(2);
        child<QComboBox>(&dialog, "resolutionBox")->setCurrentIndex(2);
        child<QSpinBox>(&dialog, "widthBox")->setValue(1366);
        child<QSpinBox>(&dialog, "heightBox")->setValue(768);
        child<QComboBox>(&dialog, "depthBox")->setCurrentIndex(1);

        const SeenBox seen = saveAndAnswer(dialog);
        QCOMPARE(seen.title, QStringLiteral("保存失败"));
        QCOMPARE(seen.text, QStringLiteral("无法写入全局配置文件。"));
        QCOMPARE(seen.icon, QMessageBox::Critical);
        QCOMPARE(savedSignal.count(), 0);
        QVERIFY(!QFileInfo::exists(QStringLiteral("/proc/config.toml")));

        // The next screen wall reads these.
        const AppConfig& config = m_config->config();
        QCOMPARE(config.default_kernel, RdpKernel::Mstsc);
        QCOMPARE(config.smart_forward, false);
        QCOMPARE(config.default_resolution, ResolutionMode::Custom);
        QCOMPARE(config.custom_width, 1366);
        QCOMPARE(config.custom_height, 768);
        QCOMPARE(config.color_depth, 24);
    }

    void noConfigurationPathGivesTheSameMessage()
    {
        GlobalSettingsDialog dialog(m_config.get(), *m_terminals);
        child<QComboBox>(&dialog, "kernelBox")->setCurrentIndex(1);
        const SeenBox seen = saveAndAnswer(dialog);
        QCOMPARE(seen.title, QStringLiteral("保存失败"));
        QCOMPARE(seen.text, QStringLiteral("无法写入全局配置文件。"));
        QCOMPARE(m_config->config().default_kernel, RdpKernel::FreeRdp);
    }

    void cancelChangesNothing()
    {
        m_processes->addProgram(QStringLiteral("xterm"), QStringLiteral("/usr/bin/xterm"));
        loadConfig("default_kernel = \"auto\"\ncolor_depth = 32\n", "[ssh]\nterminal = \"\"\n");
        const AppConfig before = m_config->config();
        const QByteArray fileBefore = readFile(configPath());
        QSignalSpy changed(m_config.get(), &ConfigManager::configChanged);

        GlobalSettingsDialog dialog(m_config.get(), *m_terminals);
        child<QComboBox>(&dialog, "kernelBox")->setCurrentIndex(2);
        child<QComboBox>(&dialog, "resolutionBox")->setCurrentIndex(2);
        child<QSpinBox>(&dialog, "widthBox")->setValue(1000);
        child<QComboBox>(&dialog, "depthBox")->setCurrentIndex(0);
        child<QSpinBox>(&dialog, "timeoutBox")->setValue(200);
        child<QComboBox>(&dialog, "terminalBox")->setCurrentIndex(1);
        ModalDriver driver;
        dialogButton(&dialog, QDialogButtonBox::Cancel)->click();

        QCOMPARE(dialog.result(), int(QDialog::Rejected));
        QCOMPARE(m_config->config(), before);
        QCoreApplication::processEvents();
        QCOMPARE(readFile(configPath()), fileBefore);
        QCOMPARE(changed.count(), 0);
        QVERIFY(driver.unexpected.isEmpty());
    }

    void saveLeavesTheSyncSettingsAlone_data()
    {
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<bool>("autoSync");
        QTest::newRow("on, no automatic sync") << true << false;
        QTest::newRow("off, automatic sync") << false << true;
        QTest::newRow("both off") << false << false;
    }

    void saveLeavesTheSyncSettingsAlone()
    {
        QFETCH(bool, enabled);
        QFETCH(bool, autoSync);
        const auto flag = [](bool value) {
            return value ? QByteArray("true") : QByteArray("false");
        };
        loadConfig({}, "[sync]\nenabled = " + flag(enabled) + "\nauto_sync = " + flag(autoSync) + "\n");
        GlobalSettingsDialog dialog(m_config.get(), *m_terminals);
        // Even a changed box is not taken while the row is unavailable.
        child<QCheckBox>(&dialog, "syncBox")->setChecked(!enabled);
        saveConfirmed(dialog);

        for (const AppConfig& config : {m_config->config(), reread(configPath())}) {
            QCOMPARE(config.sync_enabled, enabled);
            QCOMPARE(config.auto_sync, autoSync);
        }
    }

    void availableCloudSyncIsSwitchedBySave()
    {
        loadConfig({}, "[sync]\nenabled = false\nauto_sync = false\n");
        QList<bool> applied;
        const auto offerSync = [&](GlobalSettingsDialog& dialog) {
            dialog.enableCloudSync({[&](bool on) {
                applied.append(on);
            }});
        };
        {
            // The sync asks for its passphrase itself once it is on: the save goes through.
            GlobalSettingsDialog dialog(m_config.get(), *m_terminals);
            offerSync(dialog);
            auto* sync = child<QCheckBox>(&dialog, "syncBox");
            QVERIFY(sync->isEnabled());
            QVERIFY(sync->toolTip().isEmpty());
            sync->setChecked(true);
            QSignalSpy reloaded(m_config.get(), &ConfigManager::configChanged);
            const SeenBox seen = saveAndAnswer(dialog);
            QCOMPARE(seen.text, QStringLiteral("全局设置已保存，主机云同步已开启。"));
            QTRY_COMPARE(reloaded.count(), 1);
            QCOMPARE(applied, QList<bool>{true});
            QVERIFY(reread(configPath()).sync_enabled);
            QVERIFY(reread(configPath()).auto_sync);
        }
        {
            GlobalSettingsDialog dialog(m_config.get(), *m_terminals);
            offerSync(dialog);
            auto* sync = child<QCheckBox>(&dialog, "syncBox");
            QVERIFY(sync->isChecked());
            sync->setChecked(false);
            saveConfirmed(dialog);
            QCOMPARE(applied, (QList<bool>{true, false}));
            QVERIFY(!reread(configPath()).sync_enabled);
        }
    }

    void terminalAndTimeoutRoundTripThroughTheFile()
    {
        ScopedEnvironment env;
        env.unset("TERMINAL");
        m_processes->addProgram(QStringLiteral("xterm"), QStringLiteral("/usr/bin/xterm"));
        m_processes->addProgram(QStringLiteral("konsole"), QStringLiteral("/usr/bin/konsole"));
        m_processes->addProgram(QStringLiteral("/opt/term/bin/my-term"),
                                QStringLiteral("/opt/term/bin/my-term"));
        // Below the range of the box, and a terminal that has been removed since.
        loadConfig("connect_timeout = 2\n", "[ssh]\nterminal = \"wezterm\"\n");
        {
            GlobalSettingsDialog dialog(m_config.get(), *m_terminals);
            auto* terminal = child<QComboBox>(&dialog, "terminalBox");
            QCOMPARE(itemTexts(terminal), QStringList({"自动", "konsole", "xterm", "wezterm（未找到）"}));
            QCOMPARE(terminal->currentData(), QVariant(QStringLiteral("wezterm")));
            QCOMPARE(child<QSpinBox>(&dialog, "timeoutBox")->value(), 5);
            saveConfirmed(dialog);
            const AppConfig stored = reread(configPath());
            QCOMPARE(stored.ssh_terminal, QStringLiteral("wezterm"));
            QCOMPARE(stored.connect_timeout, 5);
        }
        {
            GlobalSettingsDialog dialog(m_config.get(), *m_terminals);
            child<QComboBox>(&dialog, "terminalBox")->setCurrentIndex(1);
            child<QSpinBox>(&dialog, "timeoutBox")->setValue(120);
            saveConfirmed(dialog);
            const AppConfig stored = reread(configPath());
            QCOMPARE(stored.ssh_terminal, QStringLiteral("konsole"));
            QCOMPARE(stored.connect_timeout, 120);
        }
        {
            // A path chosen by hand that exists is shown as it is.
            m_config->setSshTerminal(QStringLiteral("/opt/term/bin/my-term"));
            GlobalSettingsDialog dialog(m_config.get(), *m_terminals);
            auto* terminal = child<QComboBox>(&dialog, "terminalBox");
            QCOMPARE(terminal->currentText(), QStringLiteral("/opt/term/bin/my-term"));
            terminal->setCurrentIndex(0);
            saveConfirmed(dialog);
            QCOMPARE(reread(configPath()).ssh_terminal, QString());
            QVERIFY(readFile(configPath()).endsWith("\n\n[ssh]\nterminal = \"\"\n"));
        }
    }

    // The "会话" group shows what the file holds and writes back what was chosen, through the file.
    void sessionGroupRoundTripsThroughTheFile()
    {
        loadConfig("bandwidth = \"low\"\nreconnect = true\nreconnect_times = 0\nreconnect_interval = 9\n",
                   "[display]\nscreen_wall_rows = 3\nscreen_wall_cols = 0\nscreen_wall_auto_fill = false\n"
                   "[share]\nclipboard = false\naudio = \"remote\"\ndrives = [\"/srv/日志\", \"/tmp\"]\n");
        GlobalSettingsDialog dialog(m_config.get(), *m_terminals);
        QVERIFY(dialog.findChild<QGroupBox*>(QStringLiteral("sessionGroup")));
        QVERIFY(!child<QCheckBox>(&dialog, "clipboardBox")->isChecked());
        QCOMPARE(child<QComboBox>(&dialog, "audioBox")->currentText(), QStringLiteral("在远程电脑播放"));
        QCOMPARE(child<QComboBox>(&dialog, "bandwidthBox")->currentText(), QStringLiteral("低速宽带"));
        // No attempts means no reconnecting.
        QVERIFY(!child<QCheckBox>(&dialog, "reconnectBox")->isChecked());
        QVERIFY(!child<QSpinBox>(&dialog, "reconnectTimesBox")->isEnabled());
        QCOMPARE(child<QSpinBox>(&dialog, "reconnectIntervalBox")->value(), 9);
        QCOMPARE(child<QSpinBox>(&dialog, "wallColumnsBox")->text(), QStringLiteral("自动列数"));
        QVERIFY(!child<QSpinBox>(&dialog, "wallRowsBox")->isEnabled()); // rows matter only when filling
        auto* drives = child<QListWidget>(&dialog, "driveList");
        QCOMPARE(drives->count(), 2);

        child<QCheckBox>(&dialog, "clipboardBox")->setChecked(true);
        child<QCheckBox>(&dialog, "printersBox")->setChecked(false);
        child<QComboBox>(&dialog, "audioBox")->setCurrentIndex(2);
        child<QComboBox>(&dialog, "bandwidthBox")->setCurrentIndex(3);
        child<QCheckBox>(&dialog, "reconnectBox")->setChecked(true);
        child<QSpinBox>(&dialog, "reconnectTimesBox")->setValue(7);
        child<QSpinBox>(&dialog, "wallColumnsBox")->setValue(3);
        child<QCheckBox>(&dialog, "wallFillBox")->setChecked(true);
        child<QSpinBox>(&dialog, "wallRowsBox")->setValue(4);
        drives->setCurrentRow(1);
        child<QPushButton>(&dialog, "removeDriveButton")->click();
        dialog.findChild<SessionSettingsGroup*>()->setFolderChooser(
            [](QWidget*) { return QStringLiteral("/home/共享 a,b"); });
        child<QPushButton>(&dialog, "addDriveButton")->click();
        child<QPushButton>(&dialog, "addDriveButton")->click(); // the same folder once only
        saveConfirmed(dialog);

        const AppConfig stored = reread(configPath());
        QVERIFY(stored.clipboard && !stored.printers);
        QCOMPARE(stored.audio, AudioMode::None);
        QCOMPARE(stored.bandwidth, BandwidthMode::Lan);
        QVERIFY(stored.reconnect);
        QCOMPARE(stored.reconnect_times, 7);
        QCOMPARE(stored.reconnect_interval, 9);
        QCOMPARE(stored.screen_wall_cols, 3);
        QCOMPARE(stored.screen_wall_rows, 4);
        QVERIFY(stored.screen_wall_auto_fill);
        QCOMPARE(stored.drives, (QStringList{"/srv/日志", "/home/共享 a,b"}));
    }

    // Start-up, the dialog and a hand edit of the file, through the program's own services.
    void terminalChoiceReachesTheLauncher()
    {
        QTemporaryDir root;
        ScopedEnvironment env;
        isolateProcess(env, root.path());
        const QString dataDir = root.filePath(QStringLiteral("home/.local/share/NIMBARA/NIMBARA"));
        QVERIFY(QDir().mkpath(dataDir));
        const QString path = dataDir + QStringLiteral("/config.toml");
        writeFile(path, "[ssh]\nterminal = \"my-term\"\n");

        App app;
        QVERIFY(app.initialize());
        QCOMPARE(app.config()->configPath(), path);
        TerminalLauncher& launcher = TerminalLauncher::system();
        QCOMPARE(launcher.preferredTerminal(), QStringLiteral("my-term"));

        GlobalSettingsDialog dialog(app.config(), launcher);
        child<QComboBox>(&dialog, "terminalBox")->setCurrentIndex(0);
        QCOMPARE(saveAndAnswer(dialog).title, QStringLiteral("设置已保存"));
        QTRY_COMPARE(launcher.preferredTerminal(), QString());

        writeFile(path, "[ssh]\nterminal = \"xterm\"\n");
        QTRY_COMPARE(launcher.preferredTerminal(), QStringLiteral("xterm"));
    }

    void qtButtonsFollowTheConfiguredLanguage_data()
    {
        QTest::addColumn<QByteArray>("app"); // the [app] section; empty: none
        QTest::addColumn<QString>("cancel");
        QTest::addColumn<QString>("logged");

        QTest::newRow("default language") << QByteArray() << QStringLiteral("取消") << QString();
        QTest::newRow("simplified Chinese")
            << QByteArray("language = \"zh_CN\"\n") << QStringLiteral("取消") << QString();
        QTest::newRow("English") << QByteArray("language = \"en_US\"\n") << QStringLiteral("Cancel")
                                 << QString();
        QTest::newRow("no translation installed")
            << QByteArray("language = \"xx_YY\"\n") << QStringLiteral("Cancel")
            << QStringLiteral("未找到 Qt 自带文本的翻译，保持英文");
        QTest::newRow("not a locale name")
            << QByteArray("language = \"../zh_CN\"\n") << QStringLiteral("Cancel")
            << QStringLiteral("界面语言无效，Qt 自带文本保持英文: ../zh_CN");
    }

    void qtButtonsFollowTheConfiguredLanguage()
    {
        QFETCH(QByteArray, app);
        QFETCH(QString, cancel);
        QFETCH(QString, logged);

        QTemporaryDir root;
        ScopedEnvironment env;
        isolateProcess(env, root.path());
        const QString dataDir = root.filePath(QStringLiteral("home/.local/share/NIMBARA/NIMBARA"));
        QVERIFY(QDir().mkpath(dataDir));
        if (!app.isEmpty()) {
            writeFile(dataDir + QStringLiteral("/config.toml"), "[app]\n" + app);
        }
        {
            App started;
            QVERIFY(started.initialize());
            GlobalSettingsDialog dialog(started.config(), *m_terminals);
            QCOMPARE(dialogButton(&dialog, QDialogButtonBox::Cancel)->text(), cancel);
        }
        // The translation goes with the application services.
        QDialogButtonBox after(QDialogButtonBox::Cancel);
        QCOMPARE(after.button(QDialogButtonBox::Cancel)->text(), QStringLiteral("Cancel"));

        const QString log = QString::fromUtf8(readFile(dataDir + QStringLiteral("/app.log")));
        if (logged.isEmpty()) {
            QVERIFY2(!log.contains(QStringLiteral("Qt 自带文本")), qPrintable(log));
        } else {
            QVERIFY2(log.contains(logged), qPrintable(log));
        }
    }
};

QTEST_MAIN(TestGlobalSettingsDialog)
#include "test_global_settings_dialog.moc"
