// IPv6 on every TCP and UDP path, over ::1: the library's clients against raw IPv6 peers, raw
// IPv6 clients against the library's servers bound to ::1 and to ::, callback addresses with a
// bracketed host, and a sink placed by MIREL_SINK_ADDRESS. Skipped where the machine has no
// IPv6 loopback.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "MirelLibraryCallbackSink.hpp"
#include "MirelProxyDependent.hpp"
#include "MirelServerSocket.hpp"
#include "MirelSocketConnection.hpp"
#include "MirelUDPServerSocket.hpp"
#include "MirelUDPSocketConnection.hpp"
#include "TestSupport.hpp"

using MirelNet::MirelConnection;
using MirelNet::MirelLibraryCallbackSink;
using MirelNet::MirelNotificationCallback;
using MirelNet::MirelProxyDependent;
using MirelNet::MirelServerSocket;
using MirelNet::MirelSocketConnection;
using MirelNet::MirelUDPServerSocket;
using MirelNet::MirelUDPSocketConnection;
using MirelSupport::MirelNotification;
using MirelSupport::MirelSmartPointer;
using mnettest::Bytes;

namespace {

sockaddr_in6 loopback6(int nPort) {
    sockaddr_in6 address;
    std::memset(&address, 0, sizeof address);
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(static_cast<uint16_t>(nPort));
    address.sin6_addr = in6addr_loopback;
    return address;
}

// A raw IPv6 socket of nType bound to ::1 with a port chosen by the system; -1 without IPv6.
int rawBind6(int nType, int* pnPort) {
    int nFd = ::socket(AF_INET6, nType | SOCK_CLOEXEC, 0);
    sockaddr_in6 address = loopback6(0);
    socklen_t nLength = sizeof address;
    if (nFd < 0 || ::bind(nFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(nFd, reinterpret_cast<sockaddr*>(&address), &nLength) != 0 ||
        (nType == SOCK_STREAM && ::listen(nFd, 8) != 0)) {
        if (nFd >= 0) {
            ::close(nFd);
        }
        return -1;
    }
    *pnPort = ntohs(address.sin6_port);
    return nFd;
}

int rawConnect6(int nType, int nPort) {
    int nFd = ::socket(AF_INET6, nType | SOCK_CLOEXEC, 0);
    sockaddr_in6 address = loopback6(nPort);
    if (::connect(nFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(nFd);
        return -1;
    }
    return nFd;
}

class IPv6 : public ::testing::Test {
protected:
    void SetUp() override {
        int nPort = 0;
        int nFd = rawBind6(SOCK_DGRAM, &nPort);
        if (nFd < 0) {
            GTEST_SKIP() << "this machine has no IPv6 loopback (::1)";
        }
        ::close(nFd);
    }
};

// Accepts one client of spServer on a thread, reads an int and answers it doubled.
void serveOnce(MirelServerSocket& server, bool* pbLocal) {
    MirelSmartPointer<MirelConnection> spClient = server.waitForClient(false);
    ASSERT_TRUE(spClient);
    *pbLocal = spClient->getLocalAccess();
    spClient->transfer(2 * spClient->receiveInt());
}

}  // namespace

TEST_F(IPv6, ALibraryClientTalksToARawServerByLiteralWithOrWithoutBrackets) {
    for (const char* pszHost : {"::1", "[::1]"}) {
        int nPort = 0;
        int nListener = rawBind6(SOCK_STREAM, &nPort);
        ASSERT_GE(nListener, 0);
        MirelSmartPointer<MirelSocketConnection> spClient(
            new MirelSocketConnection(pszHost, nPort, false, false));
        spClient->transfer(41);
        int nPeer = ::accept(nListener, 0, 0);
        EXPECT_EQ(mnettest::bigEndian(41), mnettest::rawReceive(nPeer, 4));
        ASSERT_TRUE(mnettest::rawSendAll(nPeer, mnettest::bigEndian(42)));
        EXPECT_EQ(42, spClient->receiveInt());
        EXPECT_EQ("::1", spClient->getServerName());
        ::close(nPeer);
        ::close(nListener);
    }
}

TEST_F(IPv6, RawClientsReachALibraryServerBoundToTheLoopbackOrToEveryInterface) {
    for (const char* pszBind : {"::1", "[::1]", "::"}) {
        int nPort = mnettest::freeTcpPort();
        MirelSmartPointer<MirelServerSocket> spServer(new MirelServerSocket(nPort, 4, pszBind));
        bool bLocal = false;
        mnettest::Background serve([&] { serveOnce(*spServer, &bLocal); });
        int nFd = -1;
        ASSERT_TRUE(mnettest::waitUntil([&] {
            return (nFd = rawConnect6(SOCK_STREAM, nPort)) >= 0;
        })) << pszBind;
        ASSERT_TRUE(mnettest::rawSendAll(nFd, mnettest::bigEndian(21)));
        EXPECT_EQ(mnettest::bigEndian(42), mnettest::rawReceive(nFd, 4));
        EXPECT_TRUE(serve.finish());
        EXPECT_TRUE(bLocal) << "::1 is this machine";
        ::close(nFd);
    }
    // "::" takes IPv4 clients too.
    int nPort = mnettest::freeTcpPort();
    MirelSmartPointer<MirelServerSocket> spServer(new MirelServerSocket(nPort, 4, "::"));
    bool bLocal = false;
    mnettest::Background serve([&] { serveOnce(*spServer, &bLocal); });
    int nFd = -1;
    ASSERT_TRUE(mnettest::waitUntil([&] { return (nFd = mnettest::rawTcpConnect(nPort)) >= 0; }));
    ASSERT_TRUE(mnettest::rawSendAll(nFd, mnettest::bigEndian(5)));
    EXPECT_EQ(mnettest::bigEndian(10), mnettest::rawReceive(nFd, 4));
    EXPECT_TRUE(serve.finish());
    EXPECT_TRUE(bLocal) << "127.0.0.1 reaches :: as a mapped loopback address";
    ::close(nFd);
}

TEST_F(IPv6, CloseWakesAWaitOnAnIPv6Server) {
    MirelSmartPointer<MirelServerSocket> spServer(
        new MirelServerSocket(mnettest::freeTcpPort(), 4, "::1"));
    MirelSmartPointer<MirelConnection> spClient;
    mnettest::Background wait([&] { spClient = spServer->waitForClient(false); });
    ASSERT_TRUE(wait.waitBlocked());
    spServer->close();
    EXPECT_TRUE(wait.finish(2000));
    EXPECT_FALSE(spClient);
}

TEST_F(IPv6, DatagramsTravelBothWays) {
    int nPort = 0;
    int nReceiver = rawBind6(SOCK_DGRAM, &nPort);
    MirelSmartPointer<MirelUDPSocketConnection> spSender(
        new MirelUDPSocketConnection("[::1]", nPort, false));
    spSender->transfer(7);
    ASSERT_TRUE(spSender->transmit());
    EXPECT_EQ(mnettest::bigEndian(7), mnettest::rawReceive(nReceiver, 4));
    ::close(nReceiver);

    int nServerPort = mnettest::freeUdpPort();
    MirelSmartPointer<MirelUDPServerSocket> spServer(
        new MirelUDPServerSocket(nServerPort, "::1", 65536));
    MirelSmartPointer<MirelConnection> spDatagram;
    mnettest::Background wait([&] { spDatagram = spServer->waitForClient(false); });
    ASSERT_TRUE(wait.waitBlocked());
    int nFd = rawConnect6(SOCK_DGRAM, nServerPort);
    ASSERT_TRUE(mnettest::rawSendAll(nFd, mnettest::bigEndian(9)));
    ASSERT_TRUE(wait.finish());
    ASSERT_TRUE(spDatagram);
    EXPECT_EQ(9, spDatagram->receiveInt());
    EXPECT_TRUE(spDatagram->getLocalAccess());
    ::close(nFd);
}

TEST_F(IPv6, ASinkPlacedOnTheLoopbackReceivesBracketedCallbackAddresses) {
    ::setenv("MIREL_SINK_ADDRESS", "::1", 1);
    for (const char* pszType : {"socket", "udp"}) {
        ::setenv("QVINTF_CALLB_CONN_TYPE", pszType, 1);
        MirelSmartPointer<MirelLibraryCallbackSink> spSink(new MirelLibraryCallbackSink("six"));
        MirelSmartPointer<mnettest::Recorder> spRecorder =
            mnettest::addRecorder(spSink->getCallbackContainer(), 3);
        std::string sAddress = spSink->getCallbackAddress();
        EXPECT_EQ(std::string(pszType) + ":[::1]:", sAddress.substr(0, std::strlen(pszType) + 7));
        MirelProxyDependent(sAddress, 3).remoteNotify(MirelNotification(77));
        EXPECT_TRUE(mnettest::waitUntil([&] { return spRecorder->saw(77); })) << sAddress;
    }
    ::unsetenv("MIREL_SINK_ADDRESS");
}

// An IPv6 host without brackets, or with one bracket only, is no address: nothing is sent.
TEST_F(IPv6, MalformedIPv6CallbackAddressesSendNothing) {
    int nPort = 0;
    int nListener = rawBind6(SOCK_STREAM, &nPort);
    std::string sPort = std::to_string(nPort);
    for (std::string sAddress : {"socket:::1:" + sPort, "socket:[::1:" + sPort}) {
        MirelProxyDependent(sAddress, 1).remoteNotify(MirelNotification(1));
    }
    pollfd ready = {nListener, POLLIN, 0};
    EXPECT_EQ(0, ::poll(&ready, 1, 100)) << "a connection arrived";
    ::close(nListener);
}

// A name with IPv6 addresses only: tried like any other, in the resolver's order.
TEST_F(IPv6, AHostNameThatResolvesToIPv6IsReached) {
    const char* pszName = "ip6-localhost";
    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET6;
    addrinfo* pList = 0;
    if (::getaddrinfo(pszName, 0, &hints, &pList) != 0) {
        GTEST_SKIP() << pszName << " names no IPv6 address here (the hosts file lacks it)";
    }
    ::freeaddrinfo(pList);
    int nPort = 0;
    int nListener = rawBind6(SOCK_STREAM, &nPort);
    MirelSmartPointer<MirelSocketConnection> spClient(
        new MirelSocketConnection(pszName, nPort, false, false));
    spClient->transfer(3);
    int nPeer = ::accept(nListener, 0, 0);
    EXPECT_EQ(mnettest::bigEndian(3), mnettest::rawReceive(nPeer, 4));
    ::close(nPeer);
    ::close(nListener);
}
