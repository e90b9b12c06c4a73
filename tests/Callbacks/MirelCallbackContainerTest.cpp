#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "MirelCallbackContainer.hpp"
#include "MirelCriticalSection.hpp"
#include "TestSupport.hpp"

using MirelNet::MirelCallbackContainer;
using MirelNet::MirelConnection;
using MirelNet::MirelNotificationCallback;
using MirelSupport::MirelCriticalSection;
using MirelSupport::MirelObjectBase;
using MirelSupport::MirelSmartPointer;

namespace {

typedef MirelSmartPointer<MirelNotificationCallback> CallbackPtr;

// Records its own destruction; doCallback runs whatever the test hands it.
class ProbeCallback : public MirelNotificationCallback {
public:
    explicit ProbeCallback(int nId, std::atomic<bool>* pDestroyed = 0)
        : MirelNotificationCallback(nId), m_pDestroyed(pDestroyed) {}
    ~ProbeCallback() {
        if (m_pDestroyed) {
            *m_pDestroyed = true;
        }
    }

    std::function<void()> m_onCallback;

protected:
    void doCallback(MirelSmartPointer<MirelConnection>&) override {
        if (m_onCallback) {
            m_onCallback();
        }
    }

private:
    std::atomic<bool>* m_pDestroyed;
};

int countOf(MirelNotificationCallback* pCallback) {
    return static_cast<MirelObjectBase*>(pCallback)->refCount();
}

// Runs fn on a thread of its own: a deadlock ends the program with a failure instead of
// blocking it until the CTest time-out.
void runBounded(const std::function<void()>& fn, int nTimeoutMs = 5000) {
    std::shared_ptr<std::atomic<bool> > pDone = std::make_shared<std::atomic<bool> >(false);
    std::thread worker([fn, pDone] {
        fn();
        *pDone = true;
    });
    if (!mnettest::waitUntil([pDone] { return pDone->load(); }, nTimeoutMs)) {
        std::fprintf(stderr, "deadlock: the operation did not finish within %d ms\n", nTimeoutMs);
        std::fflush(0);
        std::_Exit(1);
    }
    worker.join();
}

}  // namespace

TEST(MirelCallbackContainer, IdsStartAtZeroWithoutGapsOrDuplicatesAcrossThreads) {
    MirelCallbackContainer container;
    const int kThreads = 4;
    const int kPerThread = 2000;
    std::vector<std::vector<int> > ids(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&container, &ids, t] {
            for (int i = 0; i < kPerThread; ++i) {
                ids[t].push_back(container.getNewId());
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    std::vector<int> all;
    for (const std::vector<int>& some : ids) {
        all.insert(all.end(), some.begin(), some.end());
    }
    std::sort(all.begin(), all.end());
    for (int i = 0; i < kThreads * kPerThread; ++i) {
        ASSERT_EQ(i, all[i]);
    }
    EXPECT_EQ(kThreads * kPerThread, container.getNewId());
}

TEST(MirelCallbackContainer, LookupOfUnknownOrRemovedIdIsEmpty) {
    MirelCallbackContainer container;
    EXPECT_FALSE(container.lookup(0));
    container.add(CallbackPtr(new ProbeCallback(4)));
    container.remove(5);
    EXPECT_TRUE(container.lookup(4));
    container.remove(4);
    EXPECT_FALSE(container.lookup(4));
    container.remove(4);
}

TEST(MirelCallbackContainer, AddingUnderTakenIdReplacesAndReleasesTheFirst) {
    MirelCallbackContainer container;
    std::atomic<bool> bFirstDestroyed(false);
    ProbeCallback* pKept = new ProbeCallback(7);
    CallbackPtr spKept(pKept);
    container.add(spKept);
    EXPECT_EQ(2, countOf(pKept));

    ProbeCallback* pSecond = new ProbeCallback(7);
    CallbackPtr spSecond(pSecond);
    container.add(spSecond);
    EXPECT_EQ(1, countOf(pKept));
    EXPECT_EQ(2, countOf(pSecond));
    EXPECT_TRUE(container.lookup(7) == spSecond);

    // An unreferenced entry dies with its replacement.
    container.add(CallbackPtr(new ProbeCallback(8, &bFirstDestroyed)));
    EXPECT_FALSE(bFirstDestroyed);
    container.add(CallbackPtr(new ProbeCallback(8)));
    EXPECT_TRUE(bFirstDestroyed);
}

TEST(MirelCallbackContainer, AddingSameCallbackTwiceKeepsOneReference) {
    MirelCallbackContainer container;
    ProbeCallback* pCallback = new ProbeCallback(2);
    CallbackPtr spCallback(pCallback);
    container.add(spCallback);
    container.add(spCallback);
    EXPECT_EQ(2, countOf(pCallback));
    container.remove(2);
    EXPECT_EQ(1, countOf(pCallback));
}

TEST(MirelCallbackContainer, AddIgnoresEmptyPointer) {
    MirelCallbackContainer container;
    container.add(CallbackPtr());
    EXPECT_EQ(0, container.getNewId());
    EXPECT_FALSE(container.lookup(0));
}

TEST(MirelCallbackContainer, LookupReturnsReferenceThatOutlivesRemove) {
    MirelCallbackContainer container;
    std::atomic<bool> bDestroyed(false);
    container.add(CallbackPtr(new ProbeCallback(11, &bDestroyed)));
    {
        CallbackPtr spFound = container.lookup(11);
        ASSERT_TRUE(spFound);
        EXPECT_EQ(2, countOf(spFound));
        container.remove(11);
        EXPECT_FALSE(bDestroyed);
        EXPECT_EQ(1, countOf(spFound));
        EXPECT_EQ(11, spFound->getId());
    }
    EXPECT_TRUE(bDestroyed);
}

TEST(MirelCallbackContainer, CallbackMayAddAndRemoveWhileCallerHoldsMutex) {
    MirelCallbackContainer container;
    ProbeCallback* pCallback = new ProbeCallback(container.getNewId());
    CallbackPtr spCallback(pCallback);
    container.add(spCallback);
    pCallback->m_onCallback = [&container] {
        container.add(CallbackPtr(new ProbeCallback(container.getNewId())));
        container.remove(0);
    };
    runBounded([&container] {
        MirelCriticalSection guard(container.mutex(), true);
        CallbackPtr spFound = container.lookup(0);
        MirelSmartPointer<MirelConnection> spNoConnection;
        spFound->callback(spNoConnection);
    });
    EXPECT_TRUE(pCallback->isSet());
    EXPECT_FALSE(container.lookup(0));
    EXPECT_TRUE(container.lookup(1));
}

TEST(MirelCallbackContainer, OtherThreadsAddWaitsWhileMutexIsHeld) {
    MirelCallbackContainer container;
    std::atomic<bool> bAdded(false);
    std::thread adder;
    {
        MirelCriticalSection guard(container.mutex(), true);
        adder = std::thread([&container, &bAdded] {
            container.add(CallbackPtr(new ProbeCallback(1)));
            bAdded = true;
        });
        EXPECT_FALSE(mnettest::waitUntil([&bAdded] { return bAdded.load(); }, 200));
        EXPECT_FALSE(container.lookup(1));
    }
    EXPECT_TRUE(mnettest::waitUntil([&bAdded] { return bAdded.load(); }, 5000));
    adder.join();
    EXPECT_TRUE(container.lookup(1));
}

TEST(MirelCallbackContainer, DestroyingContainerReleasesEveryCallback) {
    std::atomic<bool> bDestroyed[3] = {{false}, {false}, {false}};
    ProbeCallback* pKept = new ProbeCallback(5);
    CallbackPtr spKept(pKept);
    {
        MirelCallbackContainer container;
        for (int i = 0; i < 3; ++i) {
            container.add(CallbackPtr(new ProbeCallback(container.getNewId(), &bDestroyed[i])));
        }
        container.add(spKept);
        EXPECT_EQ(2, countOf(pKept));
    }
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(bDestroyed[i]) << "callback " << i;
    }
    EXPECT_EQ(1, countOf(pKept));
}
