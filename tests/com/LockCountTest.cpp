#include <gtest/gtest.h>

#include "com/AppLock.h"
#include "com/ClientLedger.h"

namespace {

struct CountedLock {
    CountedLock(bool userControl)
    {
        lock.SetUserControl(userControl);
        lock.SetEndOfRun([this] { ++ends; });
    }
    AppLock lock;
    int ends = 0;
};

const QString ClientA = QStringLiteral(":1.10");
const QString ClientB = QStringLiteral(":1.11");

}  // namespace

TEST(LockCount, ARunForClientsEndsOnceWhenTheLastLockGoes)
{
    CountedLock run(false);
    run.lock.Lock();
    run.lock.Lock();
    run.lock.Unlock();
    EXPECT_EQ(run.ends, 0);
    run.lock.Unlock();
    EXPECT_EQ(run.ends, 1);
    EXPECT_TRUE(run.lock.UserControl());
    // The rule fires once.
    run.lock.Lock();
    run.lock.Unlock();
    EXPECT_EQ(run.ends, 1);
}

TEST(LockCount, TheUsersRunNeverEndsByTheCount)
{
    CountedLock run(true);
    run.lock.Lock();
    run.lock.Unlock();
    run.lock.EndWhenIdle();
    EXPECT_EQ(run.ends, 0);
}

TEST(LockCount, EndWhenIdleEndsOnlyWithoutLocks)
{
    CountedLock run(false);
    run.lock.Lock();
    run.lock.EndWhenIdle();
    EXPECT_EQ(run.ends, 0);
    run.lock.Unlock();
    EXPECT_EQ(run.ends, 1);

    CountedLock idle(false);
    idle.lock.EndWhenIdle();
    EXPECT_EQ(idle.ends, 1);
}

TEST(ClientLedger, EachClientIsOneObjectUntilItLeaves)
{
    CountedLock run(false);
    ClientLedger ledger(run.lock);
    ledger.ObjectUsed(ClientA);
    ledger.ObjectUsed(ClientA);
    ledger.ObjectUsed(ClientB);
    EXPECT_EQ(run.lock.Count(), 2);
    ledger.ClientGone(ClientA);
    EXPECT_EQ(run.lock.Count(), 1);
    ledger.ClientGone(ClientA);
    EXPECT_EQ(run.lock.Count(), 1);
    EXPECT_EQ(run.ends, 0);
    ledger.ClientGone(ClientB);
    EXPECT_EQ(run.lock.Count(), 0);
    EXPECT_EQ(run.ends, 1);
    EXPECT_EQ(ledger.ClientCount(), 0);
}

TEST(ClientLedger, LocksLastUntilUnlockedOrUntilTheClientLeaves)
{
    CountedLock run(false);
    ClientLedger ledger(run.lock);
    ledger.ObjectUsed(ClientA);
    EXPECT_TRUE(ledger.LockServer(ClientA, true));
    EXPECT_TRUE(ledger.LockServer(ClientA, true));
    EXPECT_EQ(run.lock.Count(), 3);
    EXPECT_TRUE(ledger.LockServer(ClientA, false));
    EXPECT_EQ(ledger.Locks(ClientA), 1);
    // B holds nothing: its unlock must not take A's lock away.
    EXPECT_FALSE(ledger.LockServer(ClientB, false));
    EXPECT_EQ(run.lock.Count(), 2);
    ledger.ClientGone(ClientA);
    EXPECT_EQ(run.lock.Count(), 0);
    EXPECT_EQ(run.ends, 1);
}

TEST(ClientLedger, AClientWithOnlyALockIsForgottenWhenItUnlocks)
{
    CountedLock run(false);
    ClientLedger ledger(run.lock);
    ledger.LockServer(ClientA, true);
    EXPECT_TRUE(ledger.Knows(ClientA));
    EXPECT_FALSE(ledger.HoldsObject(ClientA));
    EXPECT_FALSE(ledger.LockServer(ClientA, false));
    EXPECT_FALSE(ledger.Knows(ClientA));
    EXPECT_EQ(run.ends, 1);
}
