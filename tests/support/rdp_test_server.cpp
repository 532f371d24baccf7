#include "support/rdp_test_server.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QFile>
#include <QHostAddress>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QTest>

// Xlib last: its macros (None, Bool, KeyPress, ...) collide with names in the Qt headers.
#include <X11/Xlib.h>

namespace {

constexpr int kStartTimeoutMs = 15000;

// A failed request (a BadAccess for an event mask another client holds, say) must not end the test.
int ignoreXError(Display*, XErrorEvent*)
{
    return 0;
}

} // namespace

TestXDisplay::~TestXDisplay()
{
    stop();
}

bool TestXDisplay::start(QString* error, const QSize& size)
{
    const QString program = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
    if (program.isEmpty()) {
        *error = QStringLiteral("Xvfb is not installed");
        return false;
    }
    // -displayfd picks a free display number and writes it to standard output.
    m_xvfb.setStandardErrorFile(QProcess::nullDevice());
    m_xvfb.start(program, {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-noreset"),
                           QStringLiteral("-screen"), QStringLiteral("0"),
                           QStringLiteral("%1x%2x24").arg(size.width()).arg(size.height()),
                           QStringLiteral("-nolisten"), QStringLiteral("tcp")});
    if (!m_xvfb.waitForStarted(kStartTimeoutMs)) {
        *error = QStringLiteral("Xvfb did not start: ") + m_xvfb.errorString();
        return false;
    }
    QByteArray output;
    const QDeadlineTimer deadline(kStartTimeoutMs);
    while (!output.contains('\n') && !deadline.hasExpired() && m_xvfb.state() == QProcess::Running) {
        m_xvfb.waitForReadyRead(100);
        output += m_xvfb.readAllStandardOutput();
    }
    bool ok = false;
    const int number = output.trimmed().toInt(&ok);
    if (!ok) {
        *error = QStringLiteral("Xvfb gave no display number");
        stop();
        return false;
    }
    m_name = QStringLiteral(":%1").arg(number);

    XSetErrorHandler(&ignoreXError);
    m_display = XOpenDisplay(m_name.toLatin1().constData());
    if (!m_display) {
        *error = QStringLiteral("cannot open display ") + m_name;
        stop();
        return false;
    }
    // Without a window manager the root window receives what the server injects.
    XSelectInput(m_display, DefaultRootWindow(m_display),
                 ButtonPressMask | ButtonReleaseMask | KeyPressMask | KeyReleaseMask);
    XSync(m_display, False);
    return true;
}

void TestXDisplay::stop()
{
    if (m_display) {
        XCloseDisplay(m_display);
        m_display = nullptr;
    }
    if (m_xvfb.state() != QProcess::NotRunning) {
        m_xvfb.kill();
        m_xvfb.waitForFinished(5000);
    }
}

bool TestXDisplay::paint(const QColor& color)
{
    if (!m_display) {
        return false;
    }
    // The 24-bit TrueColor visual takes the RGB value as its pixel.
    const Window root = DefaultRootWindow(m_display);
    XSetWindowBackground(m_display, root, color.rgb() & 0xFFFFFFU);
    XClearWindow(m_display, root);
    XSync(m_display, False);
    return true;
}

QColor TestXDisplay::pixel(const QPoint& at) const
{
    if (!m_display) {
        return {};
    }
    XImage* image =
        XGetImage(m_display, DefaultRootWindow(m_display), at.x(), at.y(), 1, 1, AllPlanes, ZPixmap);
    if (!image) {
        return {};
    }
    const unsigned long value = image->f.get_pixel(image, 0, 0);
    image->f.destroy_image(image);
    return QColor(static_cast<QRgb>(value & 0xFFFFFFU));
}

QPoint TestXDisplay::pointer() const
{
    if (!m_display) {
        return {};
    }
    Window root = 0;
    Window child = 0;
    int rootX = 0;
    int rootY = 0;
    int windowX = 0;
    int windowY = 0;
    unsigned mask = 0;
    XQueryPointer(m_display, DefaultRootWindow(m_display), &root, &child, &rootX, &rootY, &windowX, &windowY,
                  &mask);
    return {rootX, rootY};
}

unsigned TestXDisplay::keycode(unsigned long keysym) const
{
    return m_display ? XKeysymToKeycode(m_display, keysym) : 0;
}

QList<TestXDisplay::InputSeen> TestXDisplay::takeInput()
{
    QList<InputSeen> seen;
    if (!m_display) {
        return seen;
    }
    while (XPending(m_display) > 0) {
        XEvent event;
        XNextEvent(m_display, &event);
        switch (event.type) {
        case ButtonPress:
            seen.append({InputSeen::ButtonDown, event.xbutton.button});
            break;
        case ButtonRelease:
            seen.append({InputSeen::ButtonUp, event.xbutton.button});
            break;
        case KeyPress:
            seen.append({InputSeen::KeyDown, event.xkey.keycode});
            break;
        case KeyRelease:
            seen.append({InputSeen::KeyUp, event.xkey.keycode});
            break;
        default:
            break;
        }
    }
    return seen;
}

TestRdpServer::~TestRdpServer()
{
    stop();
}

bool TestRdpServer::start(const QString& displayName, const QStringList& arguments, QString* error)
{
    const QString program = QStandardPaths::findExecutable(QStringLiteral("freerdp-shadow-cli"));
    if (program.isEmpty()) {
        *error = QStringLiteral("freerdp-shadow-cli is not installed");
        return false;
    }
    if (!m_home.isValid()) {
        *error = QStringLiteral("no temporary home");
        return false;
    }
    m_port = freeLoopbackPort();

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), displayName);
    env.insert(QStringLiteral("HOME"), m_home.path());
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), m_home.filePath(QStringLiteral(".config")));
    env.remove(QStringLiteral("WLOG_LEVEL"));
    m_process.setProcessEnvironment(env);
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    m_process.setStandardOutputFile(m_home.filePath(QStringLiteral("shadow.log")));
    m_process.start(program, QStringList{QStringLiteral("/port:%1").arg(m_port),
                                         QStringLiteral("/bind-address:127.0.0.1")} +
                                 arguments);
    if (!m_process.waitForStarted(kStartTimeoutMs)) {
        *error = QStringLiteral("freerdp-shadow-cli did not start: ") + m_process.errorString();
        return false;
    }

    const QDeadlineTimer deadline(kStartTimeoutMs);
    while (!deadline.hasExpired()) {
        if (m_process.state() != QProcess::Running) {
            *error = QStringLiteral("freerdp-shadow-cli ended: ") + QString::fromLocal8Bit(log());
            return false;
        }
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, m_port);
        if (probe.waitForConnected(200)) {
            probe.abort();
            return true;
        }
        QTest::qWait(25);
    }
    *error = QStringLiteral("freerdp-shadow-cli does not listen: ") + QString::fromLocal8Bit(log());
    stop();
    return false;
}

void TestRdpServer::stop()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

QByteArray TestRdpServer::log() const
{
    QFile file(m_home.filePath(QStringLiteral("shadow.log")));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray samEntry(const QString& user, const QString& domain, const QString& password)
{
    QByteArray utf16;
    for (const QChar unit : password) {
        utf16.append(static_cast<char>(unit.unicode() & 0xFF));
        utf16.append(static_cast<char>(unit.unicode() >> 8));
    }
    const QByteArray hash = QCryptographicHash::hash(utf16, QCryptographicHash::Md4).toHex();
    return user.toUtf8() + ':' + domain.toUtf8() + "::" + hash + ":::\n";
}

void silenceFreeRdpLog(ScopedEnvironment& env)
{
    if (!qEnvironmentVariableIsSet("WLOG_LEVEL")) {
        env.set("WLOG_LEVEL", QStringLiteral("OFF"));
    }
}
