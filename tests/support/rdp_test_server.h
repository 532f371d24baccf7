#pragma once

#include "support/test_environment.h"

#include <QByteArray>
#include <QColor>
#include <QList>
#include <QPoint>
#include <QProcess>
#include <QSize>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

struct _XDisplay;

// A private X display (Xvfb) that the test paints and watches: the desktop an RDP shadow server shares.
class TestXDisplay
{
public:
    // What reached the display's root window through the server's input injection.
    struct InputSeen
    {
        enum Type { ButtonDown, ButtonUp, KeyDown, KeyUp };
        Type type;
        unsigned detail; // button number or key code
    };

    TestXDisplay() = default;
    ~TestXDisplay();
    TestXDisplay(const TestXDisplay&) = delete;
    TestXDisplay& operator=(const TestXDisplay&) = delete;

    bool start(QString* error, const QSize& size = QSize(1024, 768));
    void stop();
    QString name() const { return m_name; }

    // Fills the whole screen with one colour.
    bool paint(const QColor& color);
    QPoint pointer() const;
    // The colour of one pixel of the root window (what a client drawing on this display shows).
    QColor pixel(const QPoint& at) const;
    unsigned keycode(unsigned long keysym) const;
    // Button and key events seen since the last call, oldest first.
    QList<InputSeen> takeInput();

private:
    QProcess m_xvfb;
    QString m_name;
    _XDisplay* m_display = nullptr;
};

// One freerdp-shadow-cli serving a display on a free loopback port, with a home of its own (it keeps
// its certificate there).
class TestRdpServer
{
public:
    TestRdpServer() = default;
    ~TestRdpServer();
    TestRdpServer(const TestRdpServer&) = delete;
    TestRdpServer& operator=(const TestRdpServer&) = delete;

    bool start(const QString& displayName, const QStringList& arguments, QString* error);
    void stop();
    quint16 port() const { return m_port; }
    // Path of a file in the server's home, for SAM files and the like.
    QString homeFile(const QString& name) const { return m_home.filePath(name); }
    QByteArray log() const;

private:
    QTemporaryDir m_home;
    QProcess m_process;
    quint16 m_port = 0;
};

// FreeRDP logs to the console at warning level and above; silenced unless WLOG_LEVEL asks otherwise.
void silenceFreeRdpLog(ScopedEnvironment& env);

// One line of a SAM file as FreeRDP's NTLM reads it: user, domain, no LM hash, the NT hash (MD4 of the
// UTF-16LE password).
QByteArray samEntry(const QString& user, const QString& domain, const QString& password);
