#pragma once

#include "storage/remote.h"

#include <QDialog>
#include <QList>
#include <QString>

class QLabel;
class QPlainTextEdit;
class QProcess;
class QPushButton;

// Runs one command on many Linux hosts over ssh, at most 8 at a time, and shows every host's output
// and a running tally.
class BatchSshDialog : public QDialog
{
    Q_OBJECT
public:
    static constexpr int kMaxRunning = 8;

    BatchSshDialog(const QList<Remote>& hosts, const QString& command, QWidget* parent = nullptr);
    ~BatchSshDialog() override;

    void launchNext();
    void onProcessDone(QProcess* process, const Remote& host);

    int running() const { return m_running; }
    int finished() const { return m_finished; }
    int succeeded() const { return m_succeeded; }
    int total() const { return m_total; }

private:
    void updateStatus();

    QList<Remote> m_pending;
    QString m_command;
    QPlainTextEdit* m_output = nullptr;
    QLabel* m_status = nullptr;
    QPushButton* m_close = nullptr;
    int m_running = 0;
    int m_finished = 0;
    int m_succeeded = 0;
    int m_total = 0;
};
