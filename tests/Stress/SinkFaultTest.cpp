// The callback sink against senders that misbehave, alone and under load, over the pipe, TCP
// and UDP: senders that vanish or reset in the middle of a message, that connect and stay
// silent for a while, datagrams of 0, 3 and 65507 bytes, unregistered handles, callbacks that
// throw. After each of them a good message must still be delivered.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "MirelLibraryCallbackSink.hpp"
#include "TestSupport.hpp"

using MirelNet::MirelLibraryCallbackSink;
using MirelSupport::MirelSmartPointer;
using mnettest::Bytes;

namespace {

// The largest UDP payload over IPv4: 65535 less the IP and UDP headers.
const std::size_t kLargestDatagram = 65507;

using mnettest::callbackMessage;
using mnettest::Recorder;

Bytes prefix(const Bytes& bytes, std::size_t nCount) {
    return Bytes(bytes.begin(), bytes.begin() + static_cast<long>(nCount));
}

using mnettest::connectTo;
using mnettest::Endpoint;
using mnettest::endpointOf;
using mnettest::sendMessage;

bool sendPartly(const Endpoint& endpoint, const Bytes& bytes, std::size_t nCount, int nPauseMs,
                bool bReset) {
    int nFd = connectTo(endpoint);
    if (nFd < 0) {
        return false;
    }
    bool bSent = nCount == 0 || mnettest::rawSendAll(nFd, prefix(bytes, nCount));
    if (nPauseMs > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(nPauseMs));
    }
    if (bReset) {
        mnettest::rawReset(nFd);
    } else {
        ::close(nFd);
    }
    return bSent;
}

// A bad sender: its name and what it does; false when it could not even send.
typedef std::pair<std::string, std::function<bool(const Endpoint&)> > BadSender;

// Ids 0 (good), 1 (throws a MirelException) and 2 (throws something else) are registered;
// everything else is not.
std::vector<BadSender> badSenders(const Endpoint& endpoint) {
    std::vector<BadSender> senders;
    const Bytes good = callbackMessage(0, -7);
    for (long nHandle :
         {-1L, static_cast<long>(INT_MIN), static_cast<long>(INT_MAX), 99L, 65536L}) {
        senders.push_back(BadSender("unregistered handle " + std::to_string(nHandle),
                                    [nHandle](const Endpoint& to) {
                                        return sendMessage(to, callbackMessage(nHandle, 5));
                                    }));
    }
    senders.push_back(BadSender("callback throws a MirelException", [](const Endpoint& to) {
        return sendMessage(to, callbackMessage(1, 11));
    }));
    senders.push_back(BadSender("callback throws another exception", [](const Endpoint& to) {
        return sendMessage(to, callbackMessage(2, 12));
    }));
    if (endpoint.datagrams()) {
        senders.push_back(BadSender("datagram of 0 bytes",
                                    [](const Endpoint& to) { return sendMessage(to, Bytes()); }));
        senders.push_back(BadSender("datagram of 3 bytes", [](const Endpoint& to) {
            return sendMessage(to, Bytes(3, 0));
        }));
        senders.push_back(BadSender("datagram of the handle alone", [good](const Endpoint& to) {
            return sendMessage(to, prefix(good, 4));
        }));
        senders.push_back(BadSender("datagram of 65507 bytes to nobody", [](const Endpoint& to) {
            Bytes bytes = callbackMessage(99, 1);
            bytes.resize(kLargestDatagram, 0xA5);
            return sendMessage(to, bytes);
        }));
        return senders;
    }
    senders.push_back(BadSender("connects and leaves without a byte", [good](const Endpoint& to) {
        return sendPartly(to, good, 0, 0, false);
    }));
    senders.push_back(BadSender("vanishes inside the handle", [good](const Endpoint& to) {
        return sendPartly(to, good, 3, 0, false);
    }));
    senders.push_back(BadSender("vanishes after the handle", [good](const Endpoint& to) {
        return sendPartly(to, good, 4, 0, false);
    }));
    senders.push_back(
        BadSender("vanishes inside the content while the sink waits",
                  [good](const Endpoint& to) { return sendPartly(to, good, 6, 30, false); }));
    senders.push_back(BadSender("resets right after connecting", [good](const Endpoint& to) {
        return sendPartly(to, good, 0, 0, true);
    }));
    senders.push_back(
        BadSender("resets inside the handle while the sink waits",
                  [good](const Endpoint& to) { return sendPartly(to, good, 2, 30, true); }));
    senders.push_back(
        BadSender("resets inside the content while the sink waits",
                  [good](const Endpoint& to) { return sendPartly(to, good, 5, 30, true); }));
    senders.push_back(BadSender("connects and stays silent for 300 ms", [good](const Endpoint& to) {
        return sendPartly(to, good, 0, 300, false);
    }));
    return senders;
}

class SinkFault : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        if (std::string(GetParam()) == "pipe") {
            MNET_REQUIRE_SHARED_DIR();
        }
        ::setenv("QVINTF_CALLB_CONN_TYPE", GetParam(), 1);
        m_spSink = new MirelLibraryCallbackSink("sinkfault");
        m_endpoint = endpointOf(m_spSink->getCallbackAddress());
        m_spGood = add(0, Recorder::NONE);
        m_spThrowsMirel = add(1, Recorder::MIREL);
        m_spThrowsOther = add(2, Recorder::STANDARD);
    }
    MirelSmartPointer<Recorder> add(int nId, Recorder::Throw eThrow) {
        return mnettest::addRecorder(m_spSink->getCallbackContainer(), nId, eThrow);
    }
    // Sends a good message to recorder nId and waits for it; a datagram is sent again when it
    // did not arrive within a second (the system may drop one when the socket's queue is full).
    bool deliver(Recorder& recorder, long nContent) {
        for (int nTry = 0; nTry < (m_endpoint.datagrams() ? 5 : 1); ++nTry) {
            if (!sendMessage(m_endpoint, callbackMessage(recorder.getId(), nContent))) {
                return false;
            }
            if (mnettest::waitUntil([&] { return recorder.saw(nContent); },
                                    m_endpoint.datagrams() ? 1000 : 5000)) {
                return true;
            }
        }
        return false;
    }

    MirelSmartPointer<MirelLibraryCallbackSink> m_spSink;
    Endpoint m_endpoint;
    MirelSmartPointer<Recorder> m_spGood;
    MirelSmartPointer<Recorder> m_spThrowsMirel;
    MirelSmartPointer<Recorder> m_spThrowsOther;
};

class DatagramSinkFault : public SinkFault {};

}  // namespace

TEST_P(SinkFault, EveryBadSenderIsFollowedByADelivery) {
    long nContent = 1000;
    for (const BadSender& bad : badSenders(m_endpoint)) {
        EXPECT_TRUE(bad.second(m_endpoint)) << bad.first << ": could not send";
        ++nContent;
        EXPECT_TRUE(deliver(*m_spGood, nContent)) << "nothing delivered after: " << bad.first;
    }
    // Only the good messages reached the good callback; the throwing ones ran once each.
    std::vector<long> values = m_spGood->values();
    ASSERT_FALSE(values.empty());
    EXPECT_EQ(1001, values.front());
    EXPECT_EQ(nContent, values.back());
    for (long nValue : values) {
        EXPECT_NE(-7, nValue) << "a cut message was delivered";
    }
    EXPECT_EQ(std::vector<long>{11}, m_spThrowsMirel->values());
    EXPECT_EQ(std::vector<long>{12}, m_spThrowsOther->values());
}

TEST_P(DatagramSinkFault, LargestDatagramIsDeliveredWhole) {
    Bytes bytes = callbackMessage(0, 4242);
    bytes.resize(kLargestDatagram, 0x5A);
    ASSERT_TRUE(sendMessage(m_endpoint, bytes));
    EXPECT_TRUE(mnettest::waitUntil([&] { return m_spGood->saw(4242); }));
    bytes.push_back(0);  // one byte more than the system carries
    int nFd = connectTo(m_endpoint);
    ASSERT_GE(nFd, 0);
    EXPECT_EQ(-1, ::send(nFd, bytes.data(), bytes.size(), 0));
    EXPECT_EQ(EMSGSIZE, errno);
    ::close(nFd);
    EXPECT_TRUE(deliver(*m_spGood, 4243));
}

TEST_P(SinkFault, BadSendersUnderLoadNeverStopTheSink) {
    // Good senders keep sending (at least kLeast messages each, at most kMost, which spares the
    // machine's ephemeral ports) until the bad sender has run through every kind kBadRounds times.
    const int kGoodSenders = 3;
    const int kLeast = 100;
    const int kMost = 300;
    const int kBadRounds = m_endpoint.datagrams() ? 20 : 2;
    std::vector<MirelSmartPointer<Recorder> > recorders;
    for (int i = 0; i < kGoodSenders; ++i) {
        recorders.push_back(add(10 + i, Recorder::NONE));
    }
    std::atomic<bool> bBadDone(false);
    std::atomic<int> nSendFailures(0);
    std::vector<int> sent(kGoodSenders, 0);
    std::vector<std::thread> threads;
    for (int i = 0; i < kGoodSenders; ++i) {
        threads.emplace_back([&, i] {
            for (int n = 0; n < kLeast || (n < kMost && !bBadDone); ++n) {
                bool bDone = false;
                // Datagrams may be dropped while large ones fill the queue: send again.
                for (int nTry = 0; !bDone && nTry < (m_endpoint.datagrams() ? 10 : 1); ++nTry) {
                    bDone = sendMessage(m_endpoint, callbackMessage(10 + i, n));
                    if (bDone && m_endpoint.datagrams()) {
                        bDone = mnettest::waitUntil([&] { return recorders[i]->saw(n); }, 500);
                    }
                }
                if (!bDone) {
                    ++nSendFailures;
                }
                sent[i] = n + 1;
            }
        });
    }
    const std::vector<BadSender> bad = badSenders(m_endpoint);
    threads.emplace_back([&] {
        for (int nRound = 0; nRound < kBadRounds; ++nRound) {
            for (const BadSender& sender : bad) {
                sender.second(m_endpoint);
            }
        }
        bBadDone = true;
    });
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(0, nSendFailures.load());
    for (int i = 0; i < kGoodSenders; ++i) {
        ASSERT_TRUE(mnettest::waitUntil([&] { return recorders[i]->count() >= sent[i]; }, 20000))
            << "sender " << i << ": " << recorders[i]->count() << " of " << sent[i];
        std::vector<long> values = recorders[i]->values();
        std::set<long> distinct(values.begin(), values.end());
        EXPECT_EQ(static_cast<std::size_t>(sent[i]), distinct.size()) << "sender " << i;
        EXPECT_EQ(0, *distinct.begin());
        EXPECT_EQ(sent[i] - 1, *distinct.rbegin());
        if (!m_endpoint.datagrams()) {
            EXPECT_EQ(static_cast<std::size_t>(sent[i]), values.size())
                << "sender " << i << ": delivered twice";
        }
    }
    EXPECT_TRUE(deliver(*m_spGood, 77)) << "the sink stopped serving";
    std::printf("%d bad senders among %d, %d and %d good messages\n",
                kBadRounds * static_cast<int>(bad.size()), sent[0], sent[1], sent[2]);
}

INSTANTIATE_TEST_SUITE_P(Transports, SinkFault, ::testing::Values("pipe", "socket", "udp"));
INSTANTIATE_TEST_SUITE_P(Udp, DatagramSinkFault, ::testing::Values("udp"));
