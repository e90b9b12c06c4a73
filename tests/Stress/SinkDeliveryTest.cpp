// What the sink promises its senders, tried the way a loaded process meets it: every
// notification whose remoteNotify returned normally arrives whole, however many large ones come
// at once; notifications sent one after another arrive in that order; a siege of silent
// connections leaves the process its own descriptors; a callback may release the sink.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "MirelLibraryCallbackSink.hpp"
#include "MirelPipeServer.hpp"
#include "MirelProxyDependent.hpp"
#include "TestSupport.hpp"

using MirelNet::MirelConnection;
using MirelNet::MirelLibraryCallbackSink;
using MirelNet::MirelNotificationCallback;
using MirelNet::MirelProxyDependent;
using MirelSupport::MirelException;
using MirelSupport::MirelNotification;
using MirelSupport::MirelSmartPointer;
using MirelSupport::MirelString;

namespace {

// Sends the notification's id as a long, then a string of nSize bytes that repeat the id.
class SizedProxy : public MirelProxyDependent {
public:
    SizedProxy(const MirelString& sAddress, long nHandle, std::size_t nSize)
        : MirelProxyDependent(sAddress, nHandle), m_nSize(nSize) {}
    void addContent(MirelConnection& client, const MirelNotification& notification) override {
        client.transfer(static_cast<long>(notification.getId()));
        client.transfer(MirelString(m_nSize, static_cast<char>('a' + notification.getId() % 26)));
    }

private:
    std::size_t m_nSize;
};

// Records the ids of whole messages in the order they arrive; a message whose string is not
// what its id says counts as cut.
class SizedReader : public MirelNotificationCallback {
public:
    explicit SizedReader(int nId) : MirelNotificationCallback(nId) {}
    std::vector<long> ids() {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_ids;
    }
    int cut() { return m_nCut; }

protected:
    void doCallback(MirelSmartPointer<MirelConnection>& spConnection) override {
        long nId = spConnection->receiveLong();
        MirelString s = spConnection->receiveString();
        if (s.find_first_not_of(static_cast<char>('a' + nId % 26)) != MirelString::npos) {
            ++m_nCut;
        }
        std::lock_guard<std::mutex> guard(m_mutex);
        m_ids.push_back(nId);
    }

private:
    std::mutex m_mutex;  // guards m_ids
    std::vector<long> m_ids;
    std::atomic<int> m_nCut{0};
};

class SinkDelivery : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        if (std::string(GetParam()) == "pipe") {
            MNET_REQUIRE_SHARED_DIR();
        }
        ::setenv("QVINTF_CALLB_CONN_TYPE", GetParam(), 1);
        m_spSink = new MirelLibraryCallbackSink("delivery");
        m_spReader = new SizedReader(3);
        m_spSink->getCallbackContainer().add(
            MirelSmartPointer<MirelNotificationCallback>(m_spReader.operator->()));
    }
    MirelSmartPointer<MirelLibraryCallbackSink> m_spSink;
    MirelSmartPointer<SizedReader> m_spReader;
};

}  // namespace

// Together far past the sink's 64 MiB budget: the sink pushes back instead of dropping, so a
// sender either returns normally and is delivered whole, or fails.
TEST_P(SinkDelivery, EveryLargeNotificationThatReturnsIsDeliveredWhole) {
    // A sanitizer build may be too slow for the sink's 5 s per sender: senders may then fail
    // (and are told), but none that returned may go missing.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
    const bool bAllMustReturn = false;
#else
    const bool bAllMustReturn = true;
#endif
    ::setenv("MIREL_NOTIFY_TIMEOUT_MS", "60000", 1);
    const int kSenders = 20;
    const std::size_t kSize = 4u << 20;
    std::mutex mutex;
    std::vector<long> returned;
    std::vector<std::thread> senders;
    for (int i = 0; i < kSenders; ++i) {
        senders.emplace_back([&, i] {
            SizedProxy proxy(m_spSink->getCallbackAddress(), 3, kSize);
            try {
                proxy.remoteNotify(MirelNotification(i));
                std::lock_guard<std::mutex> guard(mutex);
                returned.push_back(i);
            } catch (const MirelException& e) {
                std::printf("sender %d failed: %s (%d)\n", i, e.getText().c_str(), e.getCode());
            }
        });
    }
    for (std::thread& sender : senders) {
        sender.join();
    }
    ::unsetenv("MIREL_NOTIFY_TIMEOUT_MS");
    auto delivered = [&](long nId) {
        std::vector<long> ids = m_spReader->ids();
        return std::find(ids.begin(), ids.end(), nId) != ids.end();
    };
    for (long nId : returned) {
        EXPECT_TRUE(mnettest::waitUntil([&] { return delivered(nId); }, 20000))
            << "notification " << nId << " returned normally and was not delivered";
    }
    if (bAllMustReturn) {
        EXPECT_EQ(kSenders, static_cast<int>(returned.size()))
            << "nothing holds the sink: no sender should fail";
    }
    EXPECT_EQ(0, m_spReader->cut());
}

// Each call returns before the next begins; large and small ones alternate, so a small one
// would overtake a large one that the sink is still reading.
TEST_P(SinkDelivery, NotificationsSentOneAfterAnotherArriveInThatOrder) {
    const int kCount = 40;
    for (int i = 0; i < kCount; ++i) {
        SizedProxy proxy(m_spSink->getCallbackAddress(), 3, i % 2 == 0 ? 1536u << 10 : 10u);
        proxy.remoteNotify(MirelNotification(i));
    }
    ASSERT_TRUE(mnettest::waitUntil(
        [&] { return static_cast<int>(m_spReader->ids().size()) == kCount; }, 20000));
    std::vector<long> ids = m_spReader->ids();
    for (int i = 0; i < kCount; ++i) {
        EXPECT_EQ(i, ids[static_cast<std::size_t>(i)]) << "at position " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Transports, SinkDelivery, ::testing::Values("pipe", "socket"));

// An application near its descriptor limit embeds a TCP sink; another process holds 600 silent
// connections to it. The sink keeps the top quarter of the limit free, so the application's own
// openings all succeed.
TEST(SinkDescriptors, AnApplicationKeepsItsDescriptorsWhileSilentPeersCrowdItsSink) {
    int report[2];
    ASSERT_EQ(0, ::pipe(report));
    mnettest::ChildProcess application([&report](std::string& sReport) {
        ::close(report[0]);
        rlimit limit = {1024, 1024};
        if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) {
            return 2;
        }
        std::vector<int> held;
        while (held.size() < 700) {
            held.push_back(::open("/dev/null", O_RDONLY | O_CLOEXEC));
        }
        ::setenv("QVINTF_CALLB_CONN_TYPE", "socket", 1);
        MirelSmartPointer<MirelLibraryCallbackSink> spSink(new MirelLibraryCallbackSink("app"));
        std::string sAddress = spSink->getCallbackAddress() + "\n";
        if (::write(report[1], sAddress.data(), sAddress.size()) < 0) {
            return 3;
        }
        int nFailed = 0;
        for (int i = 0; i < 120; ++i) {
            int nFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
            nFailed += nFd < 0 ? 1 : 0;
            ::close(nFd);
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
        sReport = std::to_string(nFailed) + " of 120 openings failed";
        return nFailed == 0 ? 0 : 1;
    });
    ::close(report[1]);
    std::string sAddress;
    char c = 0;
    while (::read(report[0], &c, 1) == 1 && c != '\n') {
        sAddress += c;
    }
    ::close(report[0]);
    ASSERT_FALSE(sAddress.empty()) << "the application did not start its sink";
    mnettest::Endpoint endpoint = mnettest::endpointOf(sAddress);
    std::vector<int> peers;
    for (int i = 0; i < 600; ++i) {
        peers.push_back(mnettest::connectTo(endpoint));
    }
    std::string sReport;
    EXPECT_EQ(0, application.wait(&sReport, 30000)) << sReport;
    for (int nFd : peers) {
        ::close(nFd);
    }
}

namespace {

// Holds the only reference to its sink and lets it go while it runs.
class SinkReleaser : public MirelNotificationCallback {
public:
    explicit SinkReleaser(int nId) : MirelNotificationCallback(nId) {}
    MirelSmartPointer<MirelLibraryCallbackSink> m_spSink;

protected:
    void doCallback(MirelSmartPointer<MirelConnection>& spConnection) override {
        spConnection->receiveLong();
        m_spSink = static_cast<MirelLibraryCallbackSink*>(0);
    }
};

}  // namespace

// The sink outlives the callback that released it and then goes: its endpoint file with it.
TEST(SinkLifecycle, ACallbackMayReleaseTheSinksLastReference) {
    MNET_REQUIRE_SHARED_DIR();
    ::setenv("QVINTF_CALLB_CONN_TYPE", "pipe", 1);
    MirelSmartPointer<SinkReleaser> spReleaser(new SinkReleaser(1));
    std::string sAddress;
    {
        MirelSmartPointer<MirelLibraryCallbackSink> spSink(new MirelLibraryCallbackSink("self"));
        spSink->getCallbackContainer().add(
            MirelSmartPointer<MirelNotificationCallback>(spReleaser.operator->()));
        sAddress = spSink->getCallbackAddress();
        spReleaser->m_spSink = spSink;
    }
    std::string sPath = MirelNet::MirelPipeServer::getFullPipeName(sAddress.substr(5));
    ASSERT_EQ(0, ::access(sPath.c_str(), F_OK));
    MirelProxyDependent(sAddress, 1).remoteNotify(MirelNotification(1));
    EXPECT_TRUE(spReleaser->wait(5000));
    EXPECT_TRUE(mnettest::waitUntil([&] { return ::access(sPath.c_str(), F_OK) != 0; }))
        << "the sink was not destroyed";
}

namespace {

// Removes itself from the container while it runs; its destructor asks another thread to use
// the container, which must not wait for the lock of the delivery.
class SelfRemover : public MirelNotificationCallback {
public:
    SelfRemover(int nId, MirelNet::MirelCallbackContainer& container, std::atomic<int>& nFree)
        : MirelNotificationCallback(nId), m_container(container), m_nFree(nFree) {}
    ~SelfRemover() override {
        std::atomic<bool> bDone(false);
        std::thread other([&] {
            m_container.getNewId();
            bDone = true;
        });
        m_nFree = mnettest::waitUntil([&] { return bDone.load(); }, 2000) ? 1 : 0;
        other.join();
    }

protected:
    void doCallback(MirelSmartPointer<MirelConnection>& spConnection) override {
        spConnection->receiveLong();
        m_container.remove(getId());
    }

private:
    MirelNet::MirelCallbackContainer& m_container;
    std::atomic<int>& m_nFree;
};

}  // namespace

TEST(SinkLifecycle, ACallbackThatRemovesItselfGoesAfterTheContainersLock) {
    ::setenv("QVINTF_CALLB_CONN_TYPE", "socket", 1);
    MirelSmartPointer<MirelLibraryCallbackSink> spSink(new MirelLibraryCallbackSink("remover"));
    std::atomic<int> nFree(-1);
    spSink->getCallbackContainer().add(MirelSmartPointer<MirelNotificationCallback>(
        new SelfRemover(4, spSink->getCallbackContainer(), nFree)));
    MirelProxyDependent(spSink->getCallbackAddress(), 4).remoteNotify(MirelNotification(1));
    ASSERT_TRUE(mnettest::waitUntil([&] { return nFree.load() >= 0; }, 10000));
    EXPECT_EQ(1, nFree.load()) << "the callback was destroyed under the container's lock";
}
