#include "app.h"
#include "cloud/service_endpoint.h"
#include "cloud/update_checker.h"
#include "logger.h"
#include "nimbara_version.h"
#include "platform/memory_release.h"
#include "platform/platform_adapter.h"
#include "platform/process_hardening.h"
#include "platform/process_launcher.h"
#include "platform/unix_signal_watcher.h"
#include "platform/update_installer.h"
#include "single_instance_guard.h"
#include "storage/app_lock.h"
#include "storage/config_manager.h"
#include "ui/main_window.h"
#include "ui/master_password_actions.h"
#include "ui/update_dialogs.h"

#include <QApplication>
#include <QDialog>
#include <QIcon>
#include <QMessageBox>

#include <cstdio>
#include <memory>

namespace {

// Without a display nobody can dismiss a modal box, so headless runs report on standard error.
bool isHeadless()
{
    const QString platform = QGuiApplication::platformName();
    return platform == QLatin1String("offscreen") || platform == QLatin1String("minimal");
}

void showInformation(const QString& title, const QString& text)
{
    if (isHeadless()) {
        std::fprintf(stderr, "%s: %s\n", title.toUtf8().constData(), text.toUtf8().constData());
        return;
    }
    QMessageBox::information(nullptr, title, text, QMessageBox::Ok);
}

void showCritical(const QString& title, const QString& text)
{
    if (isHeadless()) {
        std::fprintf(stderr, "%s: %s\n", title.toUtf8().constData(), text.toUtf8().constData());
        return;
    }
    QMessageBox::critical(nullptr, title, text, QMessageBox::Ok);
}

// Asks the account service named in the configuration (read here, before anything else is set up)
// whether a newer client must be installed first. False: the program must exit.
bool checkForUpdateAtStartup()
{
    const std::unique_ptr<IPlatformAdapter> platform = createPlatformAdapter();
    ConfigManager config;
    if (platform)
        config.load(platform->configFilePath());
    SystemProcessLauncher launcher;
    UpdateInstaller installer(launcher);
    UpdateDialogs dialogs(isHeadless());
    UpdateChecker checker(accountServiceEndpoint(config.config()), QStringLiteral(NIMBARA_VERSION), dialogs,
                          installer);
    return checker.checkForUpdateAtStartup();
}

} // namespace

int main(int argc, char* argv[])
{
    // Before anything holds a secret: no core files, no other process of the user reading this one's
    // memory, and every file it creates private.
    QString hardeningError;
    const bool hardened = ProcessHardening::apply(&hardeningError);
    MemoryRelease::tuneAllocator();

    QApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("NIMBARA"));
    QCoreApplication::setOrganizationName(QStringLiteral("NIMBARA"));
    QCoreApplication::setApplicationVersion(QStringLiteral(NIMBARA_VERSION));
    QGuiApplication::setWindowIcon(QIcon(QStringLiteral(":/branding/nimbara.ico")));

#if !defined(Q_OS_WIN)
    // Installed first, so a termination request during start-up is kept and served as soon as the
    // event loop runs, instead of killing the process half-way through writing its files.
    UnixSignalWatcher signalWatcher;
    // quit() does nothing while only a message box's own loop runs (a second start, a failed start):
    // such a box is closed, so its caller goes on to exit.
    QObject::connect(
        &signalWatcher, &UnixSignalWatcher::terminationRequested, &application,
        [] {
            // Quitting closes the windows; the main window must not stop that with its question.
            for (QWidget* widget : QApplication::topLevelWidgets()) {
                if (auto* mainWindow = qobject_cast<MainWindow*>(widget)) {
                    mainWindow->setAskBeforeClosing(false);
                }
            }
            QWidget* modal = QApplication::activeModalWidget();
            if (auto* dialog = qobject_cast<QDialog*>(modal)) {
                dialog->reject();
            } else if (modal) {
                modal->close();
            }
            QCoreApplication::quit();
        },
        Qt::QueuedConnection);
#endif

    auto instanceGuard = std::make_unique<SingleInstanceGuard>(SingleInstanceGuard::keyForCurrentUser());
    if (!instanceGuard->tryAcquire()) {
#ifdef Q_OS_WIN
        const QString user = QStringLiteral("同一 Windows 登录用户");
#else
        const QString user = QStringLiteral("同一系统登录用户");
#endif
        showInformation(QStringLiteral("NIMBARA 已在运行"),
                        user + QStringLiteral("只允许打开一个 NIMBARA 主控端。\n"
                                              "请切换到已打开的窗口后继续管理主机。"));
        return 0;
    }

    if (!checkForUpdateAtStartup()) {
        return 0;
    }

    auto app = std::make_unique<App>();
    if (!app->initialize()) {
        showCritical(QStringLiteral("错误"), QStringLiteral("应用初始化失败，请检查日志"));
        app.reset();
        return 1;
    }

    auto masterPassword =
        std::make_unique<MasterPasswordActions>(app->crypto(), app->config(), app->database(), app->lock());
    if (isHeadless()) {
        // Nobody could answer the offer; automated starts go on without a master password.
        masterPassword->adoptKeyFileState();
        SPDLOG_INFO("无显示环境，跳过主密码设置提示");
    } else {
        masterPassword->offerInitialSetup(nullptr);
    }

    auto window = std::make_unique<MainWindow>(app->database(), app->config(), app->crypto());
    window->setAppLock(app->lock());
    window->setMasterPasswordActions(masterPassword.get());
    window->show();
    if (!hardened) {
        SPDLOG_WARN("进程保护未完全生效: {}", hardeningError);
    }
    SPDLOG_INFO("NIMBARA资产管理窗口启动完成");

    const int result = QApplication::exec();
    window.reset();
    masterPassword.reset();
    app.reset();
    instanceGuard.reset();
    return result;
}
