// The clock and sleep seam, events, locks and threads, alone and from several threads at once.
#include <gtest/gtest.h>

#include <atomic>

#include "EvDebug.h"
#include "NxClock.h"
#include "NxSync.h"

TEST(ClockTest, FakeClockRecordsSleepsAndNests) {
    INxClock* real = &NxClock::Get();
    {
        CFakeClock fake(1000);
        EXPECT_EQ(NxClock::Now(), 1000);
        WZSLEEP(10000);
        NxClock::Sleep(1500);
        EXPECT_EQ(NxClock::Now(), 1011);
        EXPECT_EQ(NxClock::NowMs(), 1011500u);
        EXPECT_EQ(fake.Sleeps(), (std::vector<uint32_t>{10000, 1500}));
        fake.Advance(500);
        EXPECT_EQ(NxClock::Now(), 1012);
        EXPECT_EQ(fake.Sleeps().size(), 2u) << "advancing is not sleeping";
        {
            CFakeClock inner(5);
            EXPECT_EQ(NxClock::Now(), 5);
            WZSLEEP(1);
            EXPECT_EQ(inner.Sleeps().size(), 1u);
        }
        EXPECT_EQ(fake.Sleeps().size(), 2u);
        fake.SetNow(2000);
        EXPECT_EQ(NxClock::Now(), 2000);
    }
    EXPECT_EQ(&NxClock::Get(), real);
    EXPECT_GT(NxClock::Now(), 1600000000);
}

TEST(EventTest, WaitUnderFakeClockNeverBlocks) {
    CFakeClock fake(100);
    NxEvent event;
    EXPECT_FALSE(event.wait(30000));
    EXPECT_EQ(NxClock::NowMs(), 130000u) << "a timed-out wait moves the fake time on";
    EXPECT_TRUE(fake.Sleeps().empty()) << "waits are not reported as sleeps";
    EXPECT_FALSE(event.wait(0));
    EXPECT_EQ(NxClock::NowMs(), 130000u);

    event.set();
    EXPECT_TRUE(event.wait(30000));
    EXPECT_TRUE(event.wait(30000)) << "manual reset: stays set";
    EXPECT_EQ(NxClock::NowMs(), 130000u);
    event.reset();
    EXPECT_FALSE(event.wait(1));

    NxEvent autoReset(false);
    autoReset.set();
    EXPECT_TRUE(autoReset.wait(10));
    EXPECT_FALSE(autoReset.wait(10)) << "auto reset: one wait consumes the event";
}

TEST(EventTest, LoopStopsWhenAnotherThreadSetsTheEvent) {
    // The shape of a service thread: wake on a period until told to stop.
    CFakeClock fake(0);
    NxEvent stop;
    std::atomic<int> rounds{0};
    NxThread worker;
    ASSERT_TRUE(worker.start([&]() {
        while (!stop.wait(30000)) ++rounds;
    }));
    while (rounds.load() < 3) {
    }
    stop.set();
    worker.join();
    EXPECT_FALSE(worker.running());
    EXPECT_GE(rounds.load(), 3);
    EXPECT_GE(NxClock::NowMs(), 90000u);
}

TEST(SyncTest, CriticalSectionIsRecursiveAndGuardAcceptsNull) {
    NxCriticalSection cs;
    ASSERT_TRUE(cs.enter());
    ASSERT_TRUE(cs.enter(false)) << "the owner may enter again";
    std::atomic<int> tried{-1};
    NxEvent triedIt;
    NxThread other;
    ASSERT_TRUE(other.start([&]() {
        tried = cs.enter(false) ? 1 : 0;
        triedIt.set();
    }));
    EXPECT_TRUE(triedIt.wait(-1)) << "a real wait sees a set from another thread";
    other.join();
    EXPECT_EQ(tried.load(), 0) << "another thread must not get a held lock";
    cs.leave();
    cs.leave();
    { NxCriticalSectionLock nothing(nullptr); }
}

TEST(SyncTest, ClockLogAndLockAreSafeFromSeveralThreads) {
    CFakeClock fake(0);
    EvLogCapture capture;
    NxCriticalSection cs;
    int counter = 0;
    NxThread threads[4];
    for (NxThread& t : threads) {
        ASSERT_TRUE(t.start([&]() {
            EvDebug log;
            for (int i = 0; i < 10000; ++i) {
                NxCriticalSectionLock guard(&cs);
                ++counter;
            }
            for (int i = 0; i < 1000; ++i) {
                WZSLEEP(1);
                log.Debug("t", "line %d", i);
            }
        }));
    }
    for (int i = 0; i < 50; ++i) {
        EvLogCapture shortLived;
    }
    for (NxThread& t : threads) t.join();
    EXPECT_EQ(counter, 40000);
    EXPECT_EQ(fake.Sleeps().size(), 4000u);
    EXPECT_EQ(NxClock::NowMs(), 4000u);
    EXPECT_EQ(capture.Count("line "), 4000u);
}

TEST(SyncTest, ThreadStartsOnceAndJoinsOnDestruction) {
    std::atomic<int> runs{0};
    {
        NxThread t;
        EXPECT_FALSE(t.running());
        EXPECT_FALSE(t.start(nullptr));
        ASSERT_TRUE(t.start([&]() { ++runs; }));
        EXPECT_TRUE(t.running());
        EXPECT_FALSE(t.start([&]() { ++runs; })) << "a running thread cannot be started twice";
    }
    EXPECT_EQ(runs.load(), 1);
    NxThread again;
    ASSERT_TRUE(again.start([&]() { throw std::runtime_error("escaped"); }));
    again.join();  // an escaping exception is logged, not fatal
    ASSERT_TRUE(again.start([&]() { ++runs; }));
    again.join();
    EXPECT_EQ(runs.load(), 2);
}
