#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "MirelCriticalSection.hpp"
#include "MirelEvent.hpp"
#include "MirelException.hpp"
#include "MirelThread.hpp"

using namespace MirelSupport;

namespace {

struct Worker : MirelThread {
    explicit Worker(int nMode) : MirelThread("worker"), m_nMode(nMode) {}
    int run() override {
        if (m_nMode == 1) {
            throw MirelException(MirelString("worker failed."), 5);
        }
        if (m_nMode == 2) {
            throw 42;
        }
        while (m_nMode == 3 && !isStopRequested()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return 7;
    }
    int m_nMode;
};

}  // namespace

TEST(MirelThread, RunsBodyOnNewThreadAndWaitJoinsIt) {
    MirelSmartPointer<Worker> sp(new Worker(0));
    EXPECT_TRUE(sp->start());
    EXPECT_TRUE(sp->wait(5000));
    EXPECT_EQ(7, sp->getExitCode());
    EXPECT_FALSE(sp->isRunning());
}

TEST(MirelThread, AnEscapingExceptionEndsOnlyThatThread) {
    for (int nMode : {1, 2}) {
        MirelSmartPointer<Worker> sp(new Worker(nMode));
        ASSERT_TRUE(sp->start());
        EXPECT_TRUE(sp->wait(5000));
        EXPECT_EQ(-1, sp->getExitCode());
    }
}

TEST(MirelThread, WaitTimesOutWhileRunningAndStopEndsCooperativeBody) {
    MirelSmartPointer<Worker> sp(new Worker(3));
    ASSERT_TRUE(sp->start());
    EXPECT_FALSE(sp->start());
    EXPECT_FALSE(sp->wait(20));
    sp->stop();
    EXPECT_TRUE(sp->wait(5000));
}

TEST(MirelEvent, ManualResetWakesEveryWaiterUntilReset) {
    MirelEvent event;
    EXPECT_FALSE(event.wait(10));
    std::atomic<int> nWoken(0);
    std::thread a([&] { nWoken += event.wait(5000); });
    std::thread b([&] { nWoken += event.wait(-1); });
    event.set();
    a.join();
    b.join();
    EXPECT_EQ(2, nWoken.load());
    EXPECT_TRUE(event.wait(0));
    event.reset();
    EXPECT_FALSE(event.wait(0));
}

TEST(MirelCriticalSection, IsReentrantForTheHolderAndExcludesOthers) {
    MirelCriticalSectionObject lock;
    MirelCriticalSection outer(lock, true);
    { MirelCriticalSection inner(lock, true); }
    std::atomic<bool> bTaken(false);
    std::thread other([&] { bTaken = lock.tryLock(); });
    other.join();
    EXPECT_FALSE(bTaken.load());
    outer.unlock();
    std::thread later([&] {
        MirelCriticalSection guard(lock, true);
        bTaken = true;
    });
    later.join();
    EXPECT_TRUE(bTaken.load());
}
