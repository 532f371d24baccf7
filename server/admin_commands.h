#pragma once

#include <QHash>
#include <QIODevice>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

class AccountServer;

// The command line: `serve` and the operator's commands on users, teams, devices and update
// announcements. Every command prints one line of English on failure and returns non-zero.
class AdminCommands
{
public:
    // Where the commands write; the real program passes standard output and error.
    using Output = std::function<void(const QString& line)>;

    AdminCommands(Output out, Output err);
    ~AdminCommands(); // stops a server that `serve` started

    // `arguments` without the program name. Returns the exit code; `serve` returns only when the
    // server could not start (the caller runs the event loop otherwise, see wantsEventLoop()).
    int run(const QStringList& arguments);
    bool wantsEventLoop() const { return m_serving; }

    static QString usage();

private:
    struct Options
    {
        QString group;
        QString verb;
        QHash<QString, QString> values;
    };

    bool parse(const QStringList& arguments, Options* options, QString* error) const;
    int serve(const Options& options);
    int userCommand(const Options& options);
    int teamCommand(const Options& options);
    int deviceCommand(const Options& options);
    int updateCommand(const Options& options);
    int fail(const QString& reason, int code = 1);

    Output m_out;
    Output m_err;
    bool m_serving = false;
    std::unique_ptr<AccountServer> m_server;
};
