#pragma once

#include "storage/remote.h"

#include <QDialog>
#include <QList>
#include <QString>

#include <map>
#include <memory>

class QLabel;
class QPlainTextEdit;
class QProcess;
class QPushButton;

// Runs one command on many Linux hosts over ssh, at most 8 at a time. Each host's output is shown as
// one block (header, what it printed, why it ended) when the host is done, in the order hosts finish;
// a tally follows the last one. "停止" (or closing the window) ends the running ssh processes and
// starts no more.
class BatchSshDialog : public QDialog
{
    Q_OBJECT
public:
    static constexpr int kMaxRunning = 8;

    BatchSshDialog(const QList<Remote>& hosts, const QString& command, QWidget* parent = nullptr);
    ~BatchSshDialog() override;

    void launchNext();
    void onProcessDone(QProcess* process, const Remote& host);
    // Ends the running processes (counted as stopped) and drops the hosts not yet started.
    void stop();

    int running() const { return m_running; }
    // Hosts done in any way: succeeded, failed or stopped.
    int finished() const { return m_finished; }
    int succeeded() const { return m_succeeded; }
    int stopped() const { return m_stopped; }
    int failed() const { return m_finished - m_succeeded - m_stopped; }
    int total() const { return m_total; }

public slots:
    void reject() override;

private:
    struct Run;

    void startHost(const QString& ssh, const Remote& host);
    void report(const Remote& host, const QString& body, const QString& result);
    void collect(QProcess* process, bool standardError);
    void updateStatus();
    void finishIfDone();

    QList<Remote> m_pending;
    QString m_command;
    QPlainTextEdit* m_output = nullptr;
    QLabel* m_status = nullptr;
    QPushButton* m_close = nullptr;
    QPushButton* m_stop = nullptr;
    std::map<QProcess*, std::unique_ptr<Run>> m_runs;
    bool m_stopping = false;
    bool m_done = false;
    int m_running = 0;
    int m_finished = 0;
    int m_succeeded = 0;
    int m_stopped = 0;
    int m_total = 0;
};
