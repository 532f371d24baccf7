#include "platform/process_hardening.h"
#include "support/process_inspector.h"

#include <QTest>

#include <cerrno>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// A forked child that optionally hardens itself, reports what it then sees of itself, and waits
// until the parent has looked at it from outside.
struct Child
{
    pid_t pid = -1;
    int report = -1;  // child → parent
    int release = -1; // parent → child

    static Child start(bool harden, mode_t umaskBefore)
    {
        int up[2];
        int down[2];
        if (::pipe2(up, O_CLOEXEC) != 0 || ::pipe2(down, O_CLOEXEC) != 0) {
            return {};
        }
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::close(up[0]);
            ::close(down[1]);
            ProcessInspector::becomePeer();
            ::umask(umaskBefore);
            char state[3] = {'-', '-', '-'};
            if (harden) {
                ProcessHardening::apply();
            }
            rlimit core{};
            ::getrlimit(RLIMIT_CORE, &core);
            state[0] = ::prctl(PR_GET_DUMPABLE) == 0 ? 'N' : 'D';
            state[1] = core.rlim_cur == 0 && core.rlim_max == 0 ? 'Z' : 'C';
            const mode_t mask = ::umask(0);
            state[2] = mask == 077 ? 'P' : 'O';
            (void)::write(up[1], state, sizeof state);
            char go = 0;
            (void)::read(down[0], &go, 1);
            ::_exit(0);
        }
        ::close(up[1]);
        ::close(down[0]);
        return {pid, up[0], down[1]};
    }

    QByteArray state() const
    {
        char buffer[3];
        qsizetype got = 0;
        while (got < 3) {
            const ssize_t n = ::read(report, buffer + got, static_cast<size_t>(3 - got));
            if (n <= 0) {
                break;
            }
            got += n;
        }
        return QByteArray(buffer, got);
    }

    void finish()
    {
        ::close(release);
        ::close(report);
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
};

} // namespace

class TestProcessHardening : public QObject
{
    Q_OBJECT

private slots:
    void hardenedProcessCannotBeDumpedOrRead()
    {
        Child control = Child::start(false, 022);
        QVERIFY(control.pid > 0);
        QCOMPARE(control.state().left(1), QByteArray("D"));
        const ProcessInspector::PeerAccess controlAccess = ProcessInspector::peerAccess(control.pid);
        control.finish();
        if (controlAccess == ProcessInspector::PeerAccess::Unknown) {
            QSKIP("cannot look at a process as a peer would");
        }
        // The probe can tell: an ordinary process of the same user is readable.
        QCOMPARE(controlAccess, ProcessInspector::PeerAccess::Readable);

        Child hardened = Child::start(true, 022);
        QVERIFY(hardened.pid > 0);
        const QByteArray state = hardened.state();
        const long long softCore = ProcessInspector::coreLimit(hardened.pid);
        const long long hardCore = ProcessInspector::coreLimit(hardened.pid, true);
        const ProcessInspector::PeerAccess access = ProcessInspector::peerAccess(hardened.pid);
        hardened.finish();

        QCOMPARE(state, QByteArray("NZP"));
        QCOMPARE(softCore, 0LL);
        QCOMPARE(hardCore, 0LL);
        QCOMPARE(access, ProcessInspector::PeerAccess::Refused);
    }

    void publicFilesFollowTheUsersOwnUmask()
    {
        // This process was never hardened: its umask now is the one it started with.
        const mode_t current = ::umask(0);
        ::umask(current);
        QCOMPARE(ProcessHardening::originalUmask(), current);
        QCOMPARE(ProcessHardening::publicFileMode(), mode_t(0666 & ~current));
    }
};

QTEST_GUILESS_MAIN(TestProcessHardening)
#include "test_process_hardening.moc"
