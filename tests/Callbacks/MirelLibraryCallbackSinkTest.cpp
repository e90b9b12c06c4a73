// The sink end to end: real senders written on raw sockets, one per transport.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "MirelLibraryCallbackSink.hpp"
#include "MirelPipeConnection.hpp"
#include "TestSupport.hpp"

using MirelNet::MirelConnection;
using MirelNet::MirelLibraryCallbackSink;
using MirelNet::MirelNotificationCallback;
using MirelNet::MirelPipeConnection;
using MirelSupport::MirelException;
using MirelSupport::MirelSmartPointer;
using mnettest::Bytes;

namespace {

const char* const kClosing = "MirelLibraryCallbackSink::~MirelLibraryCallbackSink: closing socket";

using mnettest::callbackMessage;
using mnettest::connectTo;
using mnettest::Endpoint;
using mnettest::endpointOf;
using mnettest::Recorder;
using mnettest::sendMessage;

class SinkTest : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        if (std::string(GetParam()) == "pipe") {
            MNET_REQUIRE_SHARED_DIR();
        }
        ::setenv("QVINTF_CALLB_CONN_TYPE", GetParam(), 1);
        m_spSink = new MirelLibraryCallbackSink("sinktest");
        m_endpoint = endpointOf(m_spSink->getCallbackAddress());
    }
    MirelSmartPointer<Recorder> add(int nId, Recorder::Throw eThrow = Recorder::NONE) {
        return mnettest::addRecorder(m_spSink->getCallbackContainer(), nId, eThrow);
    }
    // Sends one message and waits until the recorder saw it.
    void deliver(MirelSmartPointer<Recorder>& spRecorder, long nContent) {
        int nBefore = spRecorder->count();
        ASSERT_TRUE(sendMessage(m_endpoint, callbackMessage(spRecorder->getId(), nContent)));
        ASSERT_TRUE(mnettest::waitUntil([&] { return spRecorder->count() > nBefore; }));
        EXPECT_EQ(nContent, spRecorder->values().back());
    }
    MirelSmartPointer<MirelLibraryCallbackSink> m_spSink;
    Endpoint m_endpoint;
};

}  // namespace

TEST_P(SinkTest, DeliversToExactlyTheRegisteredCallbackAndSetsItsEvent) {
    int nId = m_spSink->getCallbackContainer().getNewId();
    MirelSmartPointer<Recorder> spTarget = add(nId);
    MirelSmartPointer<Recorder> spOther = add(m_spSink->getCallbackContainer().getNewId());
    ASSERT_TRUE(sendMessage(m_endpoint, callbackMessage(nId, 4711)));
    EXPECT_TRUE(spTarget->wait(5000));
    EXPECT_EQ(std::vector<long>{4711}, spTarget->values());
    EXPECT_EQ(0, spOther->count());
    EXPECT_FALSE(spOther->wait(0));
}

TEST_P(SinkTest, KeepsServingAfterEveryKindOfBadSender) {
    mnettest::LogCapture log;
    MirelSmartPointer<Recorder> spGood = add(1);
    MirelSmartPointer<Recorder> spThrowsMirel = add(2, Recorder::MIREL);
    MirelSmartPointer<Recorder> spThrowsOther = add(3, Recorder::OTHER);
    deliver(spGood, 1);
    ASSERT_TRUE(sendMessage(m_endpoint, callbackMessage(99, 5)));  // nobody registered under 99
    deliver(spGood, 2);
    deliver(spThrowsMirel, 3);
    EXPECT_FALSE(spThrowsMirel->wait(0));  // not set when doCallback throws
    deliver(spThrowsOther, 4);
    deliver(spGood, 5);
    ASSERT_TRUE(sendMessage(m_endpoint, Bytes{0, 0}));  // a short message
    deliver(spGood, 6);
    if (m_endpoint.sType == "udp") {
        ASSERT_TRUE(sendMessage(m_endpoint, Bytes{}));  // an empty datagram
        ASSERT_TRUE(sendMessage(m_endpoint, Bytes{}));
    } else {
        int nSilent = connectTo(m_endpoint);  // connects and sends nothing
        ASSERT_GE(nSilent, 0);
        ::close(nSilent);
        int nReset = connectTo(m_endpoint);  // resets inside the content
        ASSERT_GE(nReset, 0);
        ASSERT_TRUE(mnettest::rawSendAll(nReset, Bytes{0, 0, 0, 1, 0}));
        mnettest::rawReset(nReset);
    }
    deliver(spGood, 7);
    EXPECT_EQ(5, spGood->count());
}

TEST_P(SinkTest, DestroyingTheSinkWhileItWaitsEndsPromptly) {
    auto start = std::chrono::steady_clock::now();
    m_spSink = static_cast<MirelLibraryCallbackSink*>(0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

TEST_P(SinkTest, DestroyingTheSinkWhileACallbackRunsWaitsForIt) {
    mnettest::LogCapture log;
    MirelSmartPointer<Recorder> spSlow = add(5);
    spSlow->hold();
    ASSERT_TRUE(sendMessage(m_endpoint, callbackMessage(5, 55)));
    ASSERT_TRUE(spSlow->waitHeld());
    std::atomic<int> nRecordedAtReturn(-1);
    {
        mnettest::Background destroy([&] {
            m_spSink = static_cast<MirelLibraryCallbackSink*>(0);
            nRecordedAtReturn = spSlow->count();
        });
        // The destructor has begun: the callback it must wait for is let go only now.
        bool bClosing = log.waitFor(kClosing);
        spSlow->resume();
        EXPECT_TRUE(bClosing);
        EXPECT_TRUE(destroy.finish());
    }
    EXPECT_EQ(1, nRecordedAtReturn.load()) << "the destructor returned before the callback";
    EXPECT_EQ(std::vector<long>{55}, spSlow->values());
    EXPECT_TRUE(spSlow->wait(0));
}

TEST_P(SinkTest, ConcurrentSendersAreAllDeliveredOnce) {
    const int kSenders = 8;
    const int kEach = 200;
    const bool bDatagrams = m_endpoint.sType == "udp";
    std::vector<MirelSmartPointer<Recorder> > recorders;
    for (int i = 0; i < kSenders; ++i) {
        recorders.push_back(add(100 + i));
    }
    std::vector<std::thread> senders;
    std::atomic<int> nFailures(0);
    for (int i = 0; i < kSenders; ++i) {
        senders.emplace_back([&, i] {
            for (int n = 0; n < kEach; ++n) {
                if (!sendMessage(m_endpoint, callbackMessage(100 + i, n))) {
                    ++nFailures;
                } else if (bDatagrams &&
                           !mnettest::waitUntil([&] { return recorders[i]->count() > n; })) {
                    ++nFailures;  // over UDP each sender waits for its delivery before the next
                }
            }
        });
    }
    for (auto& sender : senders) {
        sender.join();
    }
    EXPECT_EQ(0, nFailures.load());
    for (int i = 0; i < kSenders; ++i) {
        ASSERT_TRUE(mnettest::waitUntil([&] { return recorders[i]->count() >= kEach; }, 20000))
            << i;
        std::vector<long> values = recorders[i]->values();
        std::set<long> distinct(values.begin(), values.end());
        EXPECT_EQ(static_cast<std::size_t>(kEach), values.size());
        EXPECT_EQ(static_cast<std::size_t>(kEach), distinct.size());
        EXPECT_EQ(0, *distinct.begin());
        EXPECT_EQ(kEach - 1, *distinct.rbegin());
    }
}

// Datagrams sent as fast as possible may be dropped by the system when the sink falls behind:
// report what arrived; every one that arrived must be whole and delivered once.
TEST_P(SinkTest, DatagramFloodDeliversWhatArrivesOnce) {
    if (m_endpoint.sType != "udp") {
        GTEST_SKIP() << "stream senders are covered without loss above";
    }
    const int kSenders = 8;
    const int kEach = 200;
    std::vector<MirelSmartPointer<Recorder> > recorders;
    for (int i = 0; i < kSenders; ++i) {
        recorders.push_back(add(200 + i));
    }
    MirelSmartPointer<Recorder> spMarker = add(299);
    std::vector<std::thread> senders;
    for (int i = 0; i < kSenders; ++i) {
        senders.emplace_back([&, i] {
            for (int n = 0; n < kEach; ++n) {
                sendMessage(m_endpoint, callbackMessage(200 + i, n));
            }
        });
    }
    for (auto& sender : senders) {
        sender.join();
    }
    // The sink takes datagrams in order: once a marker sent last is delivered, so is every
    // datagram that arrived before it. The marker itself may be dropped; it is sent again.
    bool bDrained = false;
    for (int nTry = 0; nTry < 25 && !bDrained; ++nTry) {
        sendMessage(m_endpoint, callbackMessage(299, nTry));
        bDrained = mnettest::waitUntil([&] { return spMarker->count() > 0; }, 200);
    }
    ASSERT_TRUE(bDrained) << "the sink did not drain its queue";
    int nArrived = 0;
    for (int i = 0; i < kSenders; ++i) {
        std::vector<long> values = recorders[i]->values();
        std::set<long> distinct(values.begin(), values.end());
        EXPECT_EQ(values.size(), distinct.size()) << "a datagram was delivered twice";
        for (long n : values) {
            EXPECT_TRUE(n >= 0 && n < kEach) << n;
        }
        nArrived += static_cast<int>(values.size());
    }
    std::printf("datagram flood: %d of %d delivered\n", nArrived, kSenders * kEach);
    EXPECT_GT(nArrived, 0);
}

TEST_P(SinkTest, SenderToAnUnknownHandleSeesItsMessageTakenWhole) {
    if (m_endpoint.sType == "udp") {
        GTEST_SKIP() << "a datagram has no later writes";
    }
    mnettest::LogCapture log;
    int nFd = connectTo(m_endpoint);
    ASSERT_GE(nFd, 0);
    Bytes bytes = callbackMessage(404, 1);
    ASSERT_TRUE(mnettest::rawSendAll(nFd, Bytes(bytes.begin(), bytes.begin() + 4)));
    ASSERT_TRUE(mnettest::rawSendAll(nFd, Bytes(bytes.begin() + 4, bytes.end())));
    ::shutdown(nFd, SHUT_WR);
    EXPECT_TRUE(log.waitFor("MirelLibraryCallbackSink::run: unable to find callback"));
    char c;
    ssize_t n;
    do {
        n = ::recv(nFd, &c, 1, 0);
    } while (n < 0 && errno == EINTR);
    EXPECT_EQ(0, n) << "the sink reset the connection: " << std::strerror(errno);
    ::close(nFd);
}

TEST_P(SinkTest, SilentSenderHoldsTheSinkOnlyForAFewSeconds) {
    if (m_endpoint.sType == "udp") {
        GTEST_SKIP() << "a datagram cannot hold the sink";
    }
    mnettest::LogCapture log;
    MirelSmartPointer<Recorder> spGood = add(1);
    int nSilent = connectTo(m_endpoint);  // stays open and sends nothing
    ASSERT_GE(nSilent, 0);
    // The sink has taken it and waits again, now on it too.
    EXPECT_TRUE(log.waitFor("MirelLibraryCallbackSink::run: waiting for data"));
    ASSERT_TRUE(sendMessage(m_endpoint, callbackMessage(1, 42)));
    EXPECT_TRUE(spGood->wait(15000));
    ::close(nSilent);
}

// A stream message is delivered once its sender has closed it, so one that ends later goes
// later, whichever connected first.
TEST_P(SinkTest, MessagesAreDeliveredInTheOrderTheyEnd) {
    if (m_endpoint.datagrams()) {
        GTEST_SKIP() << "a datagram ends as it arrives";
    }
    MirelSmartPointer<Recorder> spRecorder = add(6);
    int nFirst = connectTo(m_endpoint);
    ASSERT_GE(nFirst, 0);
    ASSERT_TRUE(mnettest::rawSendAll(nFirst, callbackMessage(6, 1)));
    deliver(spRecorder, 2);
    EXPECT_EQ(std::vector<long>{2}, spRecorder->values());
    ::shutdown(nFirst, SHUT_WR);
    ASSERT_TRUE(mnettest::waitUntil([&] { return spRecorder->count() == 2; }));
    EXPECT_EQ((std::vector<long>{2, 1}), spRecorder->values());
    ::close(nFirst);
}

namespace {

// Reads the handle's long and keeps the connection for later.
class Keeper : public MirelNotificationCallback {
public:
    explicit Keeper(int nId) : MirelNotificationCallback(nId) {}
    MirelSmartPointer<MirelConnection> m_spKept;

protected:
    void doCallback(MirelSmartPointer<MirelConnection>& spConnection) override {
        spConnection->receiveLong();
        m_spKept = spConnection;
    }
};

}  // namespace

// A callback that keeps its connection reads the rest of the message later, from the bytes
// received, never from the network; past them a read fails as data that ended.
TEST_P(SinkTest, AKeptConnectionServesTheRestOfTheMessageFromMemory) {
    MirelSmartPointer<Keeper> spKeeper(new Keeper(7));
    m_spSink->getCallbackContainer().add(
        MirelSmartPointer<MirelNotificationCallback>(spKeeper.operator->()));
    Bytes bytes = callbackMessage(7, 70);
    Bytes more = callbackMessage(71, 72);
    bytes.insert(bytes.end(), more.begin(), more.end());
    ASSERT_TRUE(sendMessage(m_endpoint, bytes));
    ASSERT_TRUE(spKeeper->wait(5000));
    ASSERT_TRUE(spKeeper->m_spKept);
    EXPECT_EQ(71, spKeeper->m_spKept->receiveLong());
    EXPECT_EQ(72, spKeeper->m_spKept->receiveLong());
    MirelException e = mnettest::catchOf([&] { spKeeper->m_spKept->receiveLong(); });
    EXPECT_EQ("MirelConnection::get: failed read", e.getText());
    EXPECT_EQ(0, e.getCode());
}

INSTANTIATE_TEST_SUITE_P(Transports, SinkTest, ::testing::Values("pipe", "socket", "udp"));

namespace {

// Reads who sent the message from the connection it came on.
class SenderReader : public MirelNotificationCallback {
public:
    explicit SenderReader(int nId) : MirelNotificationCallback(nId) {}
    bool m_bKnown = false;
    int m_nPid = -1;
    unsigned int m_nUid = 12345;
    unsigned int m_nGid = 12345;

protected:
    void doCallback(MirelSmartPointer<MirelConnection>& spConnection) override {
        spConnection->receiveLong();
        MirelConnection* pConnection = spConnection;
        if (MirelPipeConnection* pPipe = dynamic_cast<MirelPipeConnection*>(pConnection)) {
            m_bKnown = pPipe->getPeerCredentials(m_nPid, m_nUid, m_nGid);
        }
    }
};

}  // namespace

// The sender has closed before the callback runs: what the sink names was taken at accept.
TEST(MirelLibraryCallbackSink, APipeCallbackNamesTheSendersProcessUserAndGroup) {
    MNET_REQUIRE_SHARED_DIR();
    ::setenv("QVINTF_CALLB_CONN_TYPE", "pipe", 1);
    MirelSmartPointer<MirelLibraryCallbackSink> spSink(new MirelLibraryCallbackSink("who"));
    MirelSmartPointer<SenderReader> spReader(new SenderReader(3));
    spSink->getCallbackContainer().add(
        MirelSmartPointer<MirelNotificationCallback>(spReader.operator->()));
    ASSERT_TRUE(sendMessage(endpointOf(spSink->getCallbackAddress()), callbackMessage(3, 1)));
    ASSERT_TRUE(spReader->wait(5000));
    EXPECT_TRUE(spReader->m_bKnown);
    EXPECT_EQ(::getpid(), spReader->m_nPid);
    EXPECT_EQ(::geteuid(), spReader->m_nUid);
    EXPECT_EQ(::getegid(), spReader->m_nGid);

    // A client connection has no peer to name; its outputs stay as they were.
    MirelPipeConnection client(spSink->getCallbackAddress().substr(5));
    int nPid = -1;
    unsigned int nUid = 7;
    unsigned int nGid = 7;
    EXPECT_FALSE(client.getPeerCredentials(nPid, nUid, nGid));
    EXPECT_EQ(-1, nPid);
    EXPECT_EQ(7u, nUid);
    EXPECT_EQ(7u, nGid);
}

// TCP and UDP sinks cannot name their senders, and say so once as they start.
TEST(MirelLibraryCallbackSink, NetworkSinksSayOnceThatTheyCannotNameSenders) {
    mnettest::LogCapture log(5);
    for (const char* pszType : {"socket", "udp"}) {
        ::setenv("QVINTF_CALLB_CONN_TYPE", pszType, 1);
        MirelSmartPointer<MirelLibraryCallbackSink> spSink(new MirelLibraryCallbackSink("open"));
        std::string sRecord = std::string("a ") + pszType + " sink cannot name its senders";
        EXPECT_TRUE(log.waitFor(sRecord, 1)) << pszType;
        spSink = 0;
        EXPECT_EQ(1, log.count(sRecord)) << pszType;
    }
}

TEST(MirelLibraryCallbackSink, DefaultIsAPipeNamedAfterTheProcess) {
    MNET_REQUIRE_SHARED_DIR();
    ::unsetenv("QVINTF_CALLB_CONN_TYPE");
    MirelSmartPointer<MirelLibraryCallbackSink> spSink(new MirelLibraryCallbackSink("default"));
    char szExpected[64];
    std::snprintf(szExpected, sizeof szExpected, "pipe:qvintf%x",
                  static_cast<unsigned int>(::getpid()));
    EXPECT_EQ(szExpected, spSink->getCallbackAddress());
    struct stat info;
    EXPECT_EQ(0,
              ::stat((std::string(mnettest::kSharedServiceDir) + (szExpected + 5)).c_str(), &info));
    EXPECT_TRUE(S_ISSOCK(info.st_mode));
    EXPECT_EQ(5023, spSink->getCallbackSocket());
}

TEST(MirelLibraryCallbackSink, UnrecognisedTypesFallBackToThePipe) {
    MNET_REQUIRE_SHARED_DIR();
    for (const char* pszType : {"tcp", "ssl", "Pipe", "UDP", "SOCKET", ""}) {
        ::setenv("QVINTF_CALLB_CONN_TYPE", pszType, 1);
        MirelSmartPointer<MirelLibraryCallbackSink> spSink(
            new MirelLibraryCallbackSink("fallback"));
        EXPECT_EQ("pipe:", spSink->getCallbackAddress().substr(0, 5)) << pszType;
    }
}

TEST(MirelLibraryCallbackSink, MovesToTheNextPortWhen5023IsTaken) {
    for (const char* pszType : {"socket", "udp"}) {
        // Hold 5023 on the loopback address the sink binds to. Another test's sink may have it
        // for a moment and then let it go, which would leave it to this sink: wait for it a
        // while; a process that keeps it makes the sink move all the same.
        int nHolder =
            ::socket(AF_INET, std::string(pszType) == "udp" ? SOCK_DGRAM : SOCK_STREAM, 0);
        sockaddr_in address;
        std::memset(&address, 0, sizeof address);
        address.sin_family = AF_INET;
        address.sin_port = htons(5023);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        mnettest::waitUntil(
            [&] {
                return ::bind(nHolder, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
            },
            2000);
        ::setenv("QVINTF_CALLB_CONN_TYPE", pszType, 1);
        MirelSmartPointer<MirelLibraryCallbackSink> spSink(new MirelLibraryCallbackSink("ports"));
        int nPort = spSink->getCallbackSocket();
        EXPECT_GT(nPort, 5023) << pszType;
        std::string sAddress = spSink->getCallbackAddress();
        EXPECT_EQ(std::string(pszType) + ":127.0.0.1:" + std::to_string(nPort), sAddress);
        MirelSmartPointer<Recorder> spRecorder =
            mnettest::addRecorder(spSink->getCallbackContainer(), 0);
        ASSERT_TRUE(sendMessage(endpointOf(sAddress), callbackMessage(0, 1)));
        EXPECT_TRUE(spRecorder->wait(5000)) << pszType;
        ::close(nHolder);
    }
}

// Runs body in a child process and returns its exit status (-1 when it did not end in time).
int inChild(const std::function<int()>& body) {
    return mnettest::runInChild([&](std::string&) { return body(); }, 0);
}

TEST(MirelLibraryCallbackSink, ConstructorThrowsWhenTheSharedServiceDirectoryIsMissing) {
    // A private mount namespace hides the directory from the child only.
    int nResult = inChild([] {
        if (::unshare(CLONE_NEWNS) != 0 || ::mount(0, "/", 0, MS_REC | MS_PRIVATE, 0) != 0 ||
            ::mount("tmpfs", "/opt/mirel/pelnix/var/lib/corvane", "tmpfs", 0, 0) != 0) {
            return 77;
        }
        ::unsetenv("QVINTF_CALLB_CONN_TYPE");
        try {
            MirelSmartPointer<MirelLibraryCallbackSink> spSink(
                new MirelLibraryCallbackSink("nodir"));
            return 1;
        } catch (const MirelException& e) {
            return e.getText() == "MirelPipeServer::init: failed to prepare pipe." &&
                           e.getCode() == ENOENT
                       ? 0
                       : 2;
        }
    });
    if (nResult == 77) {
        GTEST_SKIP()
            << "cannot hide the shared-service directory here (needs a private mount namespace)";
    }
    EXPECT_EQ(0, nResult);
}

TEST(MirelLibraryCallbackSink, ConstructorThrowsWhenTheFirstOpeningFails) {
    MNET_SKIP_WHERE_TYPE_CHECKS_NEED_DESCRIPTORS();
    int nResult = inChild([] {
        ::setenv("QVINTF_CALLB_CONN_TYPE", "socket", 1);
        // Almost no descriptor left: the server cannot open, with a code other than 98.
        int nOpen = mnettest::countOpenFds();
        rlimit limit;
        limit.rlim_cur = static_cast<rlim_t>(nOpen + 3);  // room below the highest open descriptor
        limit.rlim_max = limit.rlim_cur;
        std::vector<int> fillers;
        if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) {
            return 77;
        }
        for (int nFd; (nFd = ::dup(0)) >= 0;) {
            fillers.push_back(nFd);
        }
        // Two descriptors stay free, for the resolver and a sanitizer run-time's own checks
        // (which open a pipe); the server needs three (a wake-up pipe and its socket).
        for (int i = 0; i < 2 && !fillers.empty(); ++i) {
            ::close(fillers.back());
            fillers.pop_back();
        }
        try {
            MirelSmartPointer<MirelLibraryCallbackSink> spSink(
                new MirelLibraryCallbackSink("nofds"));
            return 1;
        } catch (const MirelException& e) {
            if (e.getText() == "MirelServerSocket::init: failed to create socket." &&
                e.getCode() == EMFILE) {
                return 0;
            }
            // Under an emulator the thread itself may not start without a descriptor: the
            // constructor must still throw rather than wait.
            if (e.getCode() == EAGAIN &&
                e.getText().find("cannot start thread") != std::string::npos) {
                return 0;
            }
            std::fprintf(stderr, "unexpected: %s (%d)\n", e.getText().c_str(), e.getCode());
            return 2;
        }
    });
    if (nResult == 77) {
        GTEST_SKIP() << "cannot lower the descriptor limit here";
    }
    EXPECT_EQ(0, nResult);
}
