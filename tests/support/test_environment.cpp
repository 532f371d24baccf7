#include "support/test_environment.h"

#include "platform/data_protection.h"

#ifndef Q_OS_WIN
#include "platform/user_data_protection.h"
#endif

#include <QTcpServer>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>

ScopedEnvironment::~ScopedEnvironment()
{
    for (qsizetype i = m_saved.size() - 1; i >= 0; --i) {
        const Saved& saved = m_saved[i];
        if (saved.wasSet) {
            qputenv(saved.name.constData(), saved.value);
        } else {
            qunsetenv(saved.name.constData());
        }
    }
}

void ScopedEnvironment::remember(const char* name)
{
    m_saved.append({QByteArray(name), qgetenv(name), qEnvironmentVariableIsSet(name)});
}

void ScopedEnvironment::set(const char* name, const QString& value)
{
    remember(name);
    qputenv(name, value.toLocal8Bit());
}

void ScopedEnvironment::unset(const char* name)
{
    remember(name);
    qunsetenv(name);
}

namespace {

struct Layout
{
    QString home, config, data, tmp;
};

Layout makeLayout(const QString& root)
{
    Layout layout{root + QStringLiteral("/home"), root + QStringLiteral("/home/.config"),
                  root + QStringLiteral("/home/.local/share"), root + QStringLiteral("/tmp")};
    for (const QString& dir : {layout.home, layout.config, layout.data, layout.tmp}) {
        QDir().mkpath(dir);
    }
    return layout;
}

} // namespace

QProcessEnvironment isolatedEnvironment(const QString& root)
{
    const Layout layout = makeLayout(root);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), layout.home);
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), layout.config);
    env.insert(QStringLiteral("XDG_DATA_HOME"), layout.data);
    env.insert(QStringLiteral("TMPDIR"), layout.tmp);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.remove(QStringLiteral("XDG_RUNTIME_DIR"));
    return env;
}

void isolateProcess(ScopedEnvironment& env, const QString& root)
{
    const Layout layout = makeLayout(root);
    env.set("HOME", layout.home);
    env.set("XDG_CONFIG_HOME", layout.config);
    env.set("XDG_DATA_HOME", layout.data);
    env.set("TMPDIR", layout.tmp);
}

void isolateSettings(const QString& directory)
{
#if defined(Q_OS_WIN)
    QSettings::setDefaultFormat(QSettings::IniFormat);
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, directory);
#else
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, directory);
#endif
}

std::unique_ptr<IDataProtection> userProtectionBelow(const QString& directory, const QString& user)
{
#if defined(Q_OS_WIN)
    Q_UNUSED(directory);
    Q_UNUSED(user);
    return createDataProtection();
#else
    const QString machineFile = QDir(directory).filePath(QStringLiteral("machine-id"));
    if (!QFileInfo::exists(machineFile)) {
        writeFile(machineFile, "0123456789abcdef0123456789abcdef\n");
    }
    return std::make_unique<UserDataProtection>(UserDataProtection::Identity{
        QDir(directory).filePath(QStringLiteral("config-") + user), {machineFile}, 1000});
#endif
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString& path, const QByteArray& content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        file.write(content);
    }
}

quint16 freeLoopbackPort()
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    const quint16 port = server.serverPort();
    server.close();
    return port;
}
