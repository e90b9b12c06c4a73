#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "MirelProxyDependentContainer.hpp"
#include "TestSupport.hpp"

using MirelNet::MirelProxyDependent;
using MirelSupport::MirelCriticalSection;
using MirelSupport::MirelSmartPointer;

namespace {

typedef MirelSmartPointer<MirelProxyDependent> ProxyPtr;
typedef MirelNet::MirelProxyDependentContainer Registry;

ProxyPtr proxy(const std::string& sName, long hDependent) {
    return ProxyPtr(new MirelProxyDependent(sName, hDependent));
}

bool before(const std::string& sLeft, long hLeft, const std::string& sRight, long hRight) {
    return MirelProxyDependentIdentifier(sLeft, hLeft) <
           MirelProxyDependentIdentifier(sRight, hRight);
}

// Waits for every worker, failing instead of hanging when one does not finish.
void finishAll(std::vector<std::future<void> >& workers) {
    for (std::future<void>& worker : workers) {
        ASSERT_EQ(std::future_status::ready, worker.wait_for(std::chrono::seconds(20)));
        worker.get();
    }
}

// Every case starts and ends without a registry.
class MirelProxyDependentContainer : public ::testing::Test {
protected:
    void SetUp() override { Registry::deleteInstance(); }
    void TearDown() override { Registry::deleteInstance(); }

    Registry& registry() { return Registry::getInstance(); }
};

}  // namespace

TEST(MirelProxyDependentIdentifier, NamesOrderAsUnsignedBytesShorterFirst) {
    EXPECT_TRUE(before("pipe:a", 0, "pipe:b", 0));
    EXPECT_TRUE(before("pipe:b", 0, "pipe:ba", 0));
    EXPECT_FALSE(before("pipe:ba", 0, "pipe:b", 0));
    EXPECT_TRUE(before("pipe:Z", 0, "pipe:a", 0));
    EXPECT_TRUE(before("pipe:\x7f", 0, "pipe:\x80", 0));
    EXPECT_FALSE(before("pipe:\x80", 0, "pipe:\x7f", 0));
    // The name decides before the handle does.
    EXPECT_TRUE(before("pipe:a", 9, "pipe:b", -9));
}

TEST(MirelProxyDependentIdentifier, EqualNamesOrderBySignedHandle) {
    EXPECT_TRUE(before("udp:h:1", -1, "udp:h:1", 2));
    EXPECT_FALSE(before("udp:h:1", 2, "udp:h:1", -1));
    EXPECT_FALSE(before("udp:h:1", 2, "udp:h:1", 2));
    MirelProxyDependentIdentifier empty;
    EXPECT_EQ("", empty.m_sRemoteName);
    EXPECT_EQ(0, empty.m_hDependent);
}

TEST_F(MirelProxyDependentContainer, InstanceLivesUntilDeletedThenStartsEmpty) {
    Registry& first = registry();
    EXPECT_EQ(0, first.size());
    EXPECT_EQ(&first, &registry());
    ProxyPtr spProxy = proxy("pipe:a", 1);
    first.add(spProxy);
    EXPECT_EQ(2, spProxy->refCount());

    Registry::deleteInstance();
    EXPECT_EQ(1, spProxy->refCount());
    EXPECT_EQ(0, registry().size());
    Registry::deleteInstance();
    Registry::deleteInstance();
}

TEST_F(MirelProxyDependentContainer, AddingUnderAnExistingKeyReplacesAndReleases) {
    ProxyPtr spFirst = proxy("socket:127.0.0.1:5023", 4);
    ProxyPtr spSecond = proxy("socket:127.0.0.1:5023", 4);
    registry().add(spFirst);
    registry().add(spFirst);
    EXPECT_EQ(2, spFirst->refCount());
    registry().add(spSecond);
    EXPECT_EQ(1, registry().size());
    EXPECT_EQ(1, spFirst->refCount());
    EXPECT_EQ(2, spSecond->refCount());
    EXPECT_TRUE(registry().lookup("socket:127.0.0.1:5023", 4) == spSecond);
}

TEST_F(MirelProxyDependentContainer, LookupAndRemoveNeedNameAndHandle) {
    ProxyPtr spProxy = proxy("pipe:a", 1);
    registry().add(spProxy);
    EXPECT_FALSE(registry().lookup("pipe:a", 2));
    EXPECT_FALSE(registry().lookup("pipe:b", 1));
    registry().remove("pipe:a", 2);
    registry().remove("pipe:", 1);
    EXPECT_EQ(1, registry().size());
    ProxyPtr spFound = registry().lookup("pipe:a", 1);
    EXPECT_TRUE(spFound == spProxy);
    EXPECT_EQ(3, spProxy->refCount());
    registry().remove("pipe:a", 1);
    EXPECT_EQ(0, registry().size());
    EXPECT_EQ(2, spProxy->refCount());
}

#if LONG_MAX > 0x7fffffffL
// A handle beyond an int is a key of its own, not its low 32 bits.
TEST_F(MirelProxyDependentContainer, HandleAboveTwoToThe31IsFoundAndRemovedByIt) {
    const long hAbove = 0x80000007L;
    const long hLowHalfIsFive = 0x100000005L;
    ProxyPtr spAbove = proxy("udp:127.0.0.1:5023", hAbove);
    ProxyPtr spWide = proxy("udp:127.0.0.1:5023", hLowHalfIsFive);
    ProxyPtr spFive = proxy("udp:127.0.0.1:5023", 5);
    registry().add(spAbove);
    registry().add(spWide);
    registry().add(spFive);
    EXPECT_EQ(3, registry().size());
    EXPECT_TRUE(registry().lookup("udp:127.0.0.1:5023", hAbove) == spAbove);
    EXPECT_TRUE(registry().lookup("udp:127.0.0.1:5023", hLowHalfIsFive) == spWide);
    EXPECT_TRUE(registry().lookup("udp:127.0.0.1:5023", 5) == spFive);
    EXPECT_EQ(hAbove, spAbove->getDependentHandleLong());

    registry().remove("udp:127.0.0.1:5023", hAbove);
    registry().remove("udp:127.0.0.1:5023", hLowHalfIsFive);
    EXPECT_EQ(1, registry().size());
    EXPECT_EQ(1, spAbove->refCount());
    EXPECT_EQ(1, spWide->refCount());
    EXPECT_TRUE(registry().lookup("udp:127.0.0.1:5023", 5) == spFive);
}
#endif

TEST_F(MirelProxyDependentContainer, PositionsFollowKeyOrderAndShiftAfterRemove) {
    registry().add(proxy("pipe:ba", 0));
    registry().add(proxy("pipe:a", 2));
    registry().add(proxy("pipe:a", -1));
    ASSERT_EQ(3, registry().size());
    EXPECT_EQ(-1, registry()[0]->getDependentHandle());
    EXPECT_EQ(2, registry()[1]->getDependentHandle());
    EXPECT_EQ("pipe:ba", registry()[2]->getRemoteName());

    registry().remove(0);
    ASSERT_EQ(2, registry().size());
    EXPECT_EQ(2, registry()[0]->getDependentHandle());
    EXPECT_EQ("pipe:ba", registry()[1]->getRemoteName());
}

TEST_F(MirelProxyDependentContainer, PositionsOutsideTheRegistryAreEmptyAndIgnored) {
    EXPECT_FALSE(registry()[0]);
    registry().remove(0);
    registry().add(proxy("pipe:a", 1));
    registry().add(ProxyPtr());
    EXPECT_EQ(1, registry().size());
    EXPECT_FALSE(registry()[1]);
    EXPECT_FALSE(registry()[-1]);
    registry().remove(1);
    registry().remove(-1);
    EXPECT_EQ(1, registry().size());
}

TEST_F(MirelProxyDependentContainer, ProxyRemovedByAnotherThreadStaysUsableWhileHeld) {
    registry().add(proxy("pipe:held", 5));
    ProxyPtr spHeld = registry()[0];
    std::future<void> remover =
        std::async(std::launch::async, [this] { registry().remove("pipe:held", 5); });
    ASSERT_EQ(std::future_status::ready, remover.wait_for(std::chrono::seconds(20)));
    EXPECT_EQ(0, registry().size());
    EXPECT_EQ(1, spHeld->refCount());
    EXPECT_EQ("pipe:held", spHeld->getRemoteName());
}

TEST_F(MirelProxyDependentContainer, ConcurrentFirstCallsShareOneInstance) {
    const int kThreads = 8;
    std::atomic<bool> go(false);
    std::vector<std::future<void> > workers;
    std::vector<Registry*> seen(kThreads, 0);
    for (int i = 0; i < kThreads; ++i) {
        workers.push_back(std::async(std::launch::async, [&go, &seen, i] {
            while (!go.load()) {
            }
            seen[i] = &Registry::getInstance();
        }));
    }
    go = true;
    finishAll(workers);
    for (int i = 0; i < kThreads; ++i) {
        EXPECT_EQ(&registry(), seen[i]) << "thread " << i;
    }
}

TEST_F(MirelProxyDependentContainer, ConcurrentAddRemoveAndWalkStayConsistent) {
    const int kThreads = 4;
    const int kPerThread = 100;
    std::atomic<bool> bDone(false);
    std::vector<std::future<void> > workers;
    for (int t = 0; t < kThreads; ++t) {
        workers.push_back(std::async(std::launch::async, [this, t] {
            std::string sName = "pipe:worker" + std::to_string(t);
            for (int i = 0; i < kPerThread; ++i) {
                registry().add(proxy(sName, i));
            }
            for (int i = 0; i < kPerThread; i += 2) {
                registry().remove(sName, i);
            }
        }));
    }
    // A walker that holds the lock across size() and the index accesses sees no gaps.
    std::future<int> walker = std::async(std::launch::async, [this, &bDone] {
        int nGaps = 0;
        while (!bDone.load()) {
            MirelCriticalSection hold(registry().getlock(), true);
            int nSize = registry().size();
            for (int i = 0; i < nSize; ++i) {
                nGaps += registry()[i] ? 0 : 1;
            }
            hold.unlock();
            std::this_thread::yield();
        }
        return nGaps;
    });
    finishAll(workers);
    bDone = true;
    ASSERT_EQ(std::future_status::ready, walker.wait_for(std::chrono::seconds(20)));
    EXPECT_EQ(0, walker.get());
    EXPECT_EQ(kThreads * kPerThread / 2, registry().size());
}
