// The claim holds against other processes and dies with its holder.
#include "reader/claimlock.h"
#include "reader/opos.h"

#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

using namespace msr;

class TestClaimLock : public QObject {
    Q_OBJECT
    QTemporaryDir dir;

    // A child process that takes the lock, says so on a pipe, then waits to die.
    pid_t holdInChild(const QString &path)
    {
        int ready[2];
        if (pipe(ready) != 0)
            return -1;
        const pid_t pid = fork();
        if (pid == 0) {
            ClaimLock lock(path);
            const char ok = lock.acquire(0) == opos::OPOS_SUCCESS ? 'y' : 'n';
            if (write(ready[1], &ok, 1) != 1)
                _exit(1);
            pause();
            _exit(0);
        }
        char answer = 0;
        close(ready[1]);
        if (read(ready[0], &answer, 1) != 1 || answer != 'y')
            return -1;
        close(ready[0]);
        return pid;
    }

private slots:
    void anotherProcessIsRefusedUntilTheHolderIsKilled()
    {
        const QString path = dir.filePath("reader.lock");
        const pid_t holder = holdInChild(path);
        QVERIFY(holder > 0);

        ClaimLock lock(path);
        QCOMPARE(lock.acquire(0), opos::OPOS_E_TIMEOUT);
        QCOMPARE(lock.acquire(60), opos::OPOS_E_TIMEOUT);
        QVERIFY(!lock.held());

        kill(holder, SIGKILL);
        int status = 0;
        QCOMPARE(waitpid(holder, &status, 0), holder);
        QCOMPARE(lock.acquire(0), opos::OPOS_SUCCESS);
        QVERIFY(lock.held());
        QCOMPARE(lock.acquire(0), opos::OPOS_SUCCESS); // idempotent

        ClaimLock second(path);
        QCOMPARE(second.acquire(0), opos::OPOS_E_TIMEOUT);
        lock.release();
        QCOMPARE(second.acquire(0), opos::OPOS_SUCCESS);
    }

    void anUnusableFolderIsAFailureNotACrash()
    {
        ClaimLock lock(dir.filePath("missing/dir/reader.lock"));
        QCOMPARE(lock.acquire(0), opos::OPOS_E_FAILURE);
        QVERIFY(lock.lastError().contains("cannot open"));
    }
};

QTEST_GUILESS_MAIN(TestClaimLock)
#include "tst_claimlock.moc"
