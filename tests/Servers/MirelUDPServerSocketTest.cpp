#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <thread>

#include "MirelUDPServerSocket.hpp"
#include "MirelUDPSocketConnection.hpp"
#include "TestSupport.hpp"

using MirelNet::MirelConnection;
using MirelNet::MirelUDPServerSocket;
using MirelSupport::MirelException;
using MirelSupport::MirelSmartPointer;
using mnettest::Bytes;

namespace {

bool sendDatagram(int nPort, const Bytes& bytes, const char* pszFrom = 0) {
    int nFd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (pszFrom) {
        sockaddr_in local;
        std::memset(&local, 0, sizeof local);
        local.sin_family = AF_INET;
        ::inet_pton(AF_INET, pszFrom, &local.sin_addr);
        if (::bind(nFd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
            ::close(nFd);
            return false;
        }
    }
    sockaddr_in to;
    std::memset(&to, 0, sizeof to);
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(nPort));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ssize_t n =
        ::sendto(nFd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    ::close(nFd);
    return n == static_cast<ssize_t>(bytes.size());
}

// A server on a free loopback port, waited on by a background thread.
struct UdpFixture : ::testing::Test {
    void open(unsigned int nBufferSize = 65536, const char* pszBind = "127.0.0.1") {
        m_nPort = mnettest::freeUdpPort();
        ASSERT_GT(m_nPort, 0);
        m_spServer = new MirelUDPServerSocket(m_nPort, pszBind, nBufferSize);
    }
    std::future<MirelSmartPointer<MirelConnection> > waitAsync(bool bIdentify = false) {
        MirelUDPServerSocket* pServer = m_spServer;
        auto result = std::async(
            std::launch::async, [pServer, bIdentify] { return pServer->waitForClient(bIdentify); });
        EXPECT_TRUE(mnettest::waitUntil([pServer] { return pServer->isInitialized(); }));
        return result;
    }
    int m_nPort = 0;
    MirelSmartPointer<MirelUDPServerSocket> m_spServer;
};

}  // namespace

TEST_F(UdpFixture, DatagramBecomesBufferConnectionWithExactlyItsBytes) {
    open();
    auto result = waitAsync();
    ASSERT_TRUE(sendDatagram(m_nPort, {0, 0, 0, 2, 0, 7}));
    ASSERT_EQ(std::future_status::ready, result.wait_for(std::chrono::seconds(5)));
    MirelSmartPointer<MirelConnection> spConnection = result.get();
    ASSERT_TRUE(spConnection);
    EXPECT_EQ("MirelBufferConnection", spConnection->getClassName());
    EXPECT_TRUE(spConnection->getLocalAccess());
    EXPECT_EQ(2, spConnection->receiveInt());
    EXPECT_EQ(7, spConnection->receiveShort());
    EXPECT_THROW(spConnection->receiveShort(), MirelException);
}

TEST_F(UdpFixture, TypedValuesFromTheUdpConnectionArriveInOneDatagram) {
    open();
    auto result = waitAsync();
    MirelSmartPointer<MirelNet::MirelUDPSocketConnection> spSender(
        new MirelNet::MirelUDPSocketConnection("127.0.0.1", m_nPort, false));
    spSender->transfer(5L);
    spSender->transfer(MirelSupport::MirelString("content"));
    ASSERT_TRUE(spSender->transmit());
    ASSERT_EQ(std::future_status::ready, result.wait_for(std::chrono::seconds(5)));
    MirelSmartPointer<MirelConnection> spConnection = result.get();
    ASSERT_TRUE(spConnection);
    EXPECT_EQ(5L, spConnection->receiveLong());
    EXPECT_EQ("content", spConnection->receiveString());
}

TEST_F(UdpFixture, LongDatagramIsCutToTheBufferSize) {
    open(4);
    auto result = waitAsync();
    ASSERT_TRUE(sendDatagram(m_nPort, {1, 2, 3, 4, 5, 6}));
    MirelSmartPointer<MirelConnection> spConnection = result.get();
    ASSERT_TRUE(spConnection);
    char bytes[8];
    long nError = 0;
    EXPECT_EQ(4, spConnection->receive(bytes, 8, &nError, false));
}

TEST_F(UdpFixture, EmptyDatagramAndZeroBufferEndTheWaitEmptyWithoutException) {
    open();
    auto result = waitAsync();
    ASSERT_TRUE(sendDatagram(m_nPort, {}));
    EXPECT_FALSE(result.get());
    // The server stays open for the next datagram.
    auto next = waitAsync();
    ASSERT_TRUE(sendDatagram(m_nPort, {0, 1}));
    ASSERT_TRUE(next.get());

    MirelSmartPointer<MirelUDPServerSocket> spZero(
        new MirelUDPServerSocket(mnettest::freeUdpPort(), "127.0.0.1", 0));
    int nPort = spZero->getPort();
    MirelUDPServerSocket* pZero = spZero;
    auto zero = std::async(std::launch::async, [pZero] { return pZero->waitForClient(false); });
    ASSERT_TRUE(mnettest::waitUntil([pZero] { return pZero->isInitialized(); }));
    ASSERT_TRUE(sendDatagram(nPort, {9, 9, 9}));
    EXPECT_FALSE(zero.get());
}

TEST_F(UdpFixture, SenderOtherThan127001HasNoLocalAccess) {
    open(65536, "*");
    auto result = waitAsync();
    if (!sendDatagram(m_nPort, {0, 3}, "127.0.0.2")) {
        m_spServer->close();
        GTEST_SKIP() << "127.0.0.2 is not usable as a source address here";
    }
    MirelSmartPointer<MirelConnection> spConnection = result.get();
    ASSERT_TRUE(spConnection);
    EXPECT_FALSE(spConnection->getLocalAccess());
}

TEST_F(UdpFixture, CloseFromAnotherThreadEndsTheWaitWhateverTheBinding) {
    for (const char* pszBind : {"127.0.0.1", "*"}) {
        open(65536, pszBind);
        auto result = waitAsync();
        m_spServer->close();
        ASSERT_EQ(std::future_status::ready, result.wait_for(std::chrono::seconds(5))) << pszBind;
        EXPECT_FALSE(result.get());
        EXPECT_FALSE(m_spServer->isInitialized());
    }
    // Port 0: the system picks the port, which nobody could send a wake-up datagram to.
    MirelSmartPointer<MirelUDPServerSocket> spAny(new MirelUDPServerSocket(0, "127.0.0.1", 1024));
    MirelUDPServerSocket* pAny = spAny;
    auto any = std::async(std::launch::async, [pAny] { return pAny->waitForClient(false); });
    ASSERT_TRUE(mnettest::waitUntil([pAny] { return pAny->isInitialized(); }));
    spAny->close();
    ASSERT_EQ(std::future_status::ready, any.wait_for(std::chrono::seconds(5)));
    EXPECT_FALSE(any.get());
}

TEST_F(UdpFixture, ReopensOnTheSamePortAfterClose) {
    open();
    auto first = waitAsync();
    m_spServer->close();
    EXPECT_FALSE(first.get());
    auto second = waitAsync();
    ASSERT_TRUE(sendDatagram(m_nPort, {0, 0, 0, 1}));
    MirelSmartPointer<MirelConnection> spConnection = second.get();
    ASSERT_TRUE(spConnection);
    EXPECT_EQ(1, spConnection->receiveInt());
}

TEST_F(UdpFixture, DestroyingTheServerWhileAThreadWaitsIsSafe) {
    open();
    auto result = waitAsync();
    m_spServer =
        static_cast<MirelUDPServerSocket*>(0);  // last reference: close and wait for the waiter
    ASSERT_EQ(std::future_status::ready, result.wait_for(std::chrono::seconds(5)));
    EXPECT_FALSE(result.get());
}

TEST_F(UdpFixture, ShutDownEndsTheWaitAndLaterWaitsReturnAtOnce) {
    open();
    auto result = waitAsync();
    m_spServer->shutDown();
    ASSERT_EQ(std::future_status::ready, result.wait_for(std::chrono::seconds(5)));
    EXPECT_FALSE(result.get());
    MirelUDPServerSocket* pServer = m_spServer;
    auto later =
        std::async(std::launch::async, [pServer] { return pServer->waitForClient(false); });
    ASSERT_EQ(std::future_status::ready, later.wait_for(std::chrono::seconds(5)))
        << "a wait after shutDown blocked";
    EXPECT_FALSE(later.get());
    EXPECT_FALSE(m_spServer->isInitialized());
}

TEST(MirelUDPServerSocket, BindFailureComesBackAsTheInitText) {
    int nHolder = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(0, ::bind(nHolder, reinterpret_cast<sockaddr*>(&address), sizeof address));
    socklen_t nLength = sizeof address;
    ::getsockname(nHolder, reinterpret_cast<sockaddr*>(&address), &nLength);
    MirelSmartPointer<MirelUDPServerSocket> sp(
        new MirelUDPServerSocket(ntohs(address.sin_port), "127.0.0.1", 16));
    try {
        sp->waitForClient(false);
        ADD_FAILURE() << "no exception";
    } catch (const MirelException& e) {
        EXPECT_EQ("MirelUDPServerSocket::init: failed to bind socket.", e.getText());
        EXPECT_EQ(EADDRINUSE, e.getCode());
    }
    EXPECT_FALSE(sp->isInitialized());
    ::close(nHolder);
}

TEST(MirelUDPServerSocket, NoDescriptorLeaksOverManyRounds) {
    int nBefore = mnettest::countOpenFds();
    for (int i = 0; i < 200; ++i) {
        MirelSmartPointer<MirelUDPServerSocket> sp(
            new MirelUDPServerSocket(mnettest::freeUdpPort(), "127.0.0.1", 64));
        int nPort = sp->getPort();
        MirelUDPServerSocket* p = sp;
        auto result = std::async(std::launch::async, [p] { return p->waitForClient(false); });
        ASSERT_TRUE(mnettest::waitUntil([p] { return p->isInitialized(); }));
        if (i % 2 == 0) {
            sendDatagram(nPort, {1});
        }
        sp->close();
        result.get();
    }
    EXPECT_EQ(nBefore, mnettest::countOpenFds());
}
