#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "MirelBufferConnection.hpp"
#include "MirelProxyDependent.hpp"
#include "MirelSocketConnection.hpp"
#include "TestSupport.hpp"

using MirelNet::MirelBufferConnection;
using MirelNet::MirelProxyDependent;
using MirelSupport::MirelNotification;
using MirelSupport::MirelSmartPointer;

TEST(MirelProxyDependent, KeepsRemoteNameAndSignedHandle) {
    MirelSmartPointer<MirelProxyDependent> spProxy(new MirelProxyDependent("pipe:qvintf1a2b", -1));
    EXPECT_EQ("pipe:qvintf1a2b", spProxy->getRemoteName());
    EXPECT_EQ(-1, spProxy->getDependentHandle());
    EXPECT_EQ("MirelProxyDependent", spProxy->getClassName());
}

TEST(MirelProxyDependent, DefaultContentIsTheNotificationIdAsOneBigEndianLong) {
    MirelSmartPointer<MirelProxyDependent> spProxy(
        new MirelProxyDependent("udp:127.0.0.1:5023", 7));
    MirelBufferConnection buffer;
    spProxy->addContent(buffer, MirelNotification(0x01020304L));
    spProxy->addContent(buffer, MirelNotification(-2));
    EXPECT_EQ(mnettest::hex({1, 2, 3, 4, 0xff, 0xff, 0xff, 0xfe}),
              mnettest::hex(mnettest::bytesOf(buffer)));
}

// The count lives in the second base; a pointer that counted on the first would corrupt it.
TEST(MirelProxyDependent, SmartPointerCountsOnTheObjectBase) {
    MirelProxyDependent* pProxy = new MirelProxyDependent("socket:localhost:5023", 3);
    MirelSmartPointer<MirelProxyDependent> spFirst(pProxy);
    {
        MirelSmartPointer<MirelProxyDependent> spSecond(spFirst);
        EXPECT_EQ(2, pProxy->refCount());
    }
    EXPECT_EQ(1, pProxy->refCount());
    EXPECT_EQ(3, spFirst->getDependentHandle());
}

// remoteNotify against raw peers on loopback and real socket files.

namespace {

using MirelSupport::MirelException;
using MirelSupport::MirelString;
using mnettest::Bytes;

// A datagram socket on a loopback port the system picked.
struct UdpReceiver {
    UdpReceiver() {
        m_nFd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in address;
        std::memset(&address, 0, sizeof address);
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(m_nFd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        socklen_t nLength = sizeof address;
        ::getsockname(m_nFd, reinterpret_cast<sockaddr*>(&address), &nLength);
        m_nPort = ntohs(address.sin_port);
    }
    ~UdpReceiver() { ::close(m_nFd); }
    // One datagram, or nothing within nTimeoutMs.
    Bytes receive(int nTimeoutMs = 2000) {
        pollfd wait = {m_nFd, POLLIN, 0};
        if (::poll(&wait, 1, nTimeoutMs) <= 0) {
            return Bytes();
        }
        unsigned char buffer[2048];
        ssize_t n = ::recv(m_nFd, buffer, sizeof buffer, 0);
        return n > 0 ? Bytes(buffer, buffer + n) : Bytes();
    }
    int m_nFd;
    int m_nPort;
};

// A listener whose first client is read to its end.
struct TcpPeer {
    TcpPeer() { m_nListener = mnettest::rawTcpListen(&m_nPort); }
    ~TcpPeer() { ::close(m_nListener); }
    bool hasClient(int nTimeoutMs) {
        pollfd wait = {m_nListener, POLLIN, 0};
        return ::poll(&wait, 1, nTimeoutMs) > 0;
    }
    Bytes readClient(std::size_t nMost = 64) {
        if (!hasClient(2000)) {
            return Bytes();
        }
        int nClient = ::accept(m_nListener, 0, 0);
        Bytes bytes = mnettest::rawReceive(nClient, nMost, 2000);  // stops at the sender's close
        ::close(nClient);
        return bytes;
    }
    int m_nListener;
    int m_nPort = 0;
};

// Content of several values, among them a temporary string that is gone before the message
// leaves; optionally it fails after writing them.
class RecordProxy : public MirelProxyDependent {
public:
    RecordProxy(const std::string& sAddress, bool bFail)
        : MirelProxyDependent(sAddress, 8), m_bFail(bFail) {}
    void addContent(MirelNet::MirelConnection& client,
                    const MirelNotification& notification) override {
        client.transfer(static_cast<int>(notification.getId()));
        client.transfer(MirelString(3000, 'z') + "!");
        client.transferACK();
        if (m_bFail) {
            throw MirelException(MirelString("RecordProxy: refused."), 1);
        }
    }

private:
    bool m_bFail;
};

void notify(const std::string& sAddress, long nHandle, long nId) {
    MirelSmartPointer<MirelProxyDependent> spProxy(new MirelProxyDependent(sAddress, nHandle));
    spProxy->remoteNotify(MirelNotification(nId));
}

}  // namespace

TEST(MirelProxyDependentRemoteNotify, UdpSendsOneDatagramOfHandleThenId) {
    UdpReceiver receiver;
    notify("udp:127.0.0.1:" + std::to_string(receiver.m_nPort), 7, 0x01020304);
    EXPECT_EQ("00 00 00 07 01 02 03 04", mnettest::hex(receiver.receive()));
    notify("udp:localhost:" + std::to_string(receiver.m_nPort), -1, 2);
    EXPECT_EQ("ff ff ff ff 00 00 00 02", mnettest::hex(receiver.receive()));
}

TEST(MirelProxyDependentRemoteNotify, SocketWritesHandleThenIdWithoutHandshakeAndCloses) {
    TcpPeer peer;
    std::thread sender([&] { notify("socket:127.0.0.1:" + std::to_string(peer.m_nPort), 3, 9); });
    EXPECT_EQ("00 00 00 03 00 00 00 09", mnettest::hex(peer.readClient()));
    sender.join();
    std::thread byName(
        [&] { notify("socket:localhost:" + std::to_string(peer.m_nPort) + "x7", 4, 1); });
    EXPECT_EQ("00 00 00 04 00 00 00 01", mnettest::hex(peer.readClient()));
    byName.join();
}

TEST(MirelProxyDependentRemoteNotify, PipeReachesTheNamedEndpointAndSkipsTheSeparatorUnread) {
    MNET_REQUIRE_SHARED_DIR();
    std::string sName = mnettest::uniqueName("proxy");
    int nListener = mnettest::rawUnixListen(mnettest::kSharedServiceDir + sName);
    ASSERT_GE(nListener, 0);
    for (const std::string& sAddress : {"pipe:" + sName, "pipeX" + sName}) {
        notify(sAddress, 5, 6);  // the backlog holds the connection until it is accepted
        int nClient = ::accept(nListener, 0, 0);
        EXPECT_EQ("00 00 00 05 00 00 00 06", mnettest::hex(mnettest::rawReceive(nClient, 64, 2000)))
            << sAddress;
        ::close(nClient);
    }
    ::close(nListener);
    ::unlink((mnettest::kSharedServiceDir + sName).c_str());
}

TEST(MirelProxyDependentRemoteNotify, UnknownOrIncompleteNamesSendNothingAndRaiseNothing) {
    TcpPeer peer;
    UdpReceiver receiver;
    std::string sTcpPort = std::to_string(peer.m_nPort);
    for (const std::string& sAddress :
         {std::string("tcp:127.0.0.1:") + sTcpPort, std::string("socket:127.0.0.1"),
          std::string("socket"), std::string("udp"), std::string("ssl"), std::string("udp:"),
          std::string(""), std::string("so")}) {
        EXPECT_NO_THROW(notify(sAddress, 1, 1)) << sAddress;
    }
    EXPECT_FALSE(peer.hasClient(100));
    EXPECT_TRUE(receiver.receive(100).empty());
}

TEST(MirelProxyDependentRemoteNotify, PipeNameAloneFailsLikeAnEmptyPipeName) {
    for (const char* pszAddress : {"pipe", "pipe:"}) {
        try {
            notify(pszAddress, 1, 1);
            ADD_FAILURE() << "no exception for " << pszAddress;
        } catch (const MirelException& e) {
            EXPECT_EQ("MirelPipeConnection::establish: connection request failed.", e.getText())
                << pszAddress;
            EXPECT_NE(0, e.getCode());
        }
    }
}

TEST(MirelProxyDependentRemoteNotify,
     GoneRemoteThrowsTheConnectionFailureAndTheNextCallTriesAgain) {
    int nPort = mnettest::freeTcpPort();
    std::string sAddress = "socket:127.0.0.1:" + std::to_string(nPort);
    try {
        notify(sAddress, 1, 1);
        ADD_FAILURE() << "no exception";
    } catch (const MirelException& e) {
        EXPECT_EQ("MirelSocketConnection::establish: connection request failed.", e.getText());
        EXPECT_EQ(ECONNREFUSED, e.getCode());
    }
    // The remote comes back on the same port: the next call starts from scratch and arrives.
    int nListener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(nPort));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(nListener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::listen(nListener, 4) == 0) {
        notify(sAddress, 2, 3);
        int nClient = ::accept(nListener, 0, 0);
        EXPECT_EQ("00 00 00 02 00 00 00 03",
                  mnettest::hex(mnettest::rawReceive(nClient, 64, 2000)));
        ::close(nClient);
    }
    ::close(nListener);
    MNET_REQUIRE_SHARED_DIR();
    try {
        notify("pipe:" + mnettest::uniqueName("gone"), 1, 1);
        ADD_FAILURE() << "no exception";
    } catch (const MirelException& e) {
        EXPECT_EQ("MirelPipeConnection::establish: connection request failed.", e.getText());
        EXPECT_EQ(ENOENT, e.getCode());
    }
}

// Callback addresses come from clients: an unresolvable host or an endpoint outside the shared
// directory fails like any other connection failure, and nothing is sent anywhere.
TEST(MirelProxyDependentRemoteNotify, AddressesThatLeadNowhereFailWithoutSending) {
    TcpPeer peer;
    UdpReceiver receiver;
    const std::string sHost = mnettest::kUnresolvableHost;
    MirelException e = mnettest::catchOf(
        [&] { notify("socket:" + sHost + ":" + std::to_string(peer.m_nPort), 1, 1); });
    EXPECT_EQ("MirelSocketConnection::establish: could not find host.", e.getText());
    EXPECT_EQ(EHOSTUNREACH, e.getCode());
    // A datagram that is never sent is a failure too, with the code transmit logs.
    const char* const kNotSent = "MirelUDPSocketConnection::transmit: failed to send data.";
    e = mnettest::catchOf(
        [&] { notify("udp:" + sHost + ":" + std::to_string(receiver.m_nPort), 1, 1); });
    EXPECT_EQ(kNotSent, e.getText());
    EXPECT_EQ(EHOSTUNREACH, e.getCode());
    e = mnettest::catchOf(
        [&] { notify("udp:127.0.0.1:" + std::to_string(receiver.m_nPort + 65536), 1, 1); });
    EXPECT_EQ(kNotSent, e.getText());
    EXPECT_EQ(EINVAL, e.getCode());
    e = mnettest::catchOf([&] { notify("udp:127.0.0.256:5023", 1, 1); });
    EXPECT_EQ(kNotSent, e.getText());
    EXPECT_EQ(EDESTADDRREQ, e.getCode());
    e = mnettest::catchOf([&] { notify("pipe:../../../../../../../tmp/other.sock", 1, 1); });
    EXPECT_EQ("MirelPipeConnection::establish: connection request failed.", e.getText());
    EXPECT_EQ(EINVAL, e.getCode());
    EXPECT_FALSE(peer.hasClient(100));
    EXPECT_TRUE(receiver.receive(100).empty());
}

TEST(MirelProxyDependentRemoteNotify, SslFormFailsItsFirstWriteWithoutTraffic) {
    TcpPeer peer;
    try {
        notify("ssl:127.0.0.1:" + std::to_string(peer.m_nPort), 1, 1);
        ADD_FAILURE() << "no exception";
    } catch (const MirelException& e) {
        EXPECT_EQ("MirelConnection::put: transfer failed.", e.getText());
        EXPECT_EQ(ENOTCONN, e.getCode());
    }
    EXPECT_FALSE(peer.hasClient(100));
}

TEST(MirelProxyDependentRemoteNotify, ContentOfSeveralValuesArrivesWholeAndInOrder) {
    TcpPeer peer;
    std::string sAddress = "socket:127.0.0.1:" + std::to_string(peer.m_nPort);
    std::thread sender([&] { RecordProxy(sAddress, false).remoteNotify(MirelNotification(6)); });
    Bytes expected = {0, 0, 0, 8, 0, 0, 0, 6, 0, 0, 0x0b, 0xb9};
    expected.insert(expected.end(), 3000, 'z');
    expected.insert(expected.end(), {'!', 0, 1, 0, 0});
    Bytes received = peer.readClient(8192);
    sender.join();
    EXPECT_EQ(mnettest::hex(expected), mnettest::hex(received));
}

// A message that cannot be completed is not started: the stream carries no half message.
TEST(MirelProxyDependentRemoteNotify, ContentThatFailsSendsNothingOnAStream) {
    TcpPeer peer;
    std::string sAddress = "socket:127.0.0.1:" + std::to_string(peer.m_nPort);
    MirelException e(MirelString(), 0);
    std::thread sender([&] {
        e = mnettest::catchOf(
            [&] { RecordProxy(sAddress, true).remoteNotify(MirelNotification(6)); });
    });
    Bytes received = peer.readClient(8192);
    sender.join();
    EXPECT_EQ("RecordProxy: refused.", e.getText());
    EXPECT_TRUE(received.empty()) << mnettest::hex(received);
}

// Sinks that would hold a sender: a TCP listener whose accept queue is full (backlog 0, one
// connection queued: the system drops further connection requests), a pipe listener that never
// accepts (backlog 0, one connection queued: connect blocks) and a TCP listener that takes the
// connection but never reads it. remoteNotify fails with 110 by its deadline.
namespace {

struct HeldSinks {
    HeldSinks() : m_sPipeName(mnettest::uniqueName("held")) {
        m_nTcp = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address;
        std::memset(&address, 0, sizeof address);
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t nLength = sizeof address;
        ::bind(m_nTcp, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(m_nTcp, 0);
        ::getsockname(m_nTcp, reinterpret_cast<sockaddr*>(&address), &nLength);
        m_sTcp = "socket:127.0.0.1:" + std::to_string(ntohs(address.sin_port));
        m_nTcpQueued = mnettest::rawTcpConnect(ntohs(address.sin_port));
        m_nUnread = mnettest::rawTcpListen(&m_nUnreadPort);
        if (mnettest::sharedServiceDirUsable(0)) {
            m_nPipe = mnettest::rawUnixListen(mnettest::kSharedServiceDir + m_sPipeName);
            ::listen(m_nPipe, 0);
            m_nPipeQueued = mnettest::rawUnixConnect(mnettest::kSharedServiceDir + m_sPipeName);
        }
    }
    ~HeldSinks() {
        for (int nFd : {m_nTcp, m_nTcpQueued, m_nUnread, m_nPipe, m_nPipeQueued}) {
            if (nFd >= 0) {
                ::close(nFd);
            }
        }
        ::unlink((mnettest::kSharedServiceDir + m_sPipeName).c_str());
    }
    bool ready() const { return m_nTcpQueued >= 0 && m_nUnread >= 0; }
    bool pipeReady() const { return m_nPipeQueued >= 0; }
    std::string pipeAddress() const { return "pipe:" + m_sPipeName; }
    std::string unreadAddress() const {
        return "socket:127.0.0.1:" + std::to_string(m_nUnreadPort);
    }

    std::string m_sPipeName;
    std::string m_sTcp;
    int m_nTcp = -1;
    int m_nTcpQueued = -1;
    int m_nUnread = -1;
    int m_nUnreadPort = 0;
    int m_nPipe = -1;
    int m_nPipeQueued = -1;
};

// Content of 16 MiB: more than a peer that never reads can take into its buffers.
class LargeContentProxy : public MirelProxyDependent {
public:
    LargeContentProxy(const std::string& sAddress) : MirelProxyDependent(sAddress, 1) {}
    void addContent(MirelNet::MirelConnection& client, const MirelNotification&) override {
        client.transfer(MirelString(16u << 20, 'x'));
    }
};

// What one remoteNotify throws, and after how many milliseconds.
MirelException heldFailure(MirelProxyDependent& proxy, double* pdMs) {
    auto start = std::chrono::steady_clock::now();
    MirelException e = mnettest::catchOf([&] { proxy.remoteNotify(MirelNotification(1)); });
    *pdMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    return e;
}

MirelException heldFailure(const std::string& sAddress, double* pdMs) {
    MirelSmartPointer<MirelProxyDependent> spProxy(new MirelProxyDependent(sAddress, 1));
    return heldFailure(*spProxy, pdMs);
}

}  // namespace

TEST(MirelProxyDependentDeadline, SinksThatHoldTheSenderFailWith110ByTheDeadline) {
    HeldSinks sinks;
    ASSERT_TRUE(sinks.ready());
    ::setenv("MIREL_NOTIFY_TIMEOUT_MS", "300", 1);
    double dMs = 0;
    MirelException e = heldFailure(sinks.m_sTcp, &dMs);
    EXPECT_EQ("MirelSocketConnection::establish: connection request failed.", e.getText());
    EXPECT_EQ(ETIMEDOUT, e.getCode());
    EXPECT_TRUE(dMs >= 250 && dMs < 5000) << dMs << " ms";
    LargeContentProxy large(sinks.unreadAddress());
    e = heldFailure(large, &dMs);
    EXPECT_EQ("MirelConnection::put: transfer failed.", e.getText());
    EXPECT_EQ(ETIMEDOUT, e.getCode());
    EXPECT_TRUE(dMs >= 250 && dMs < 5000) << "connect and send share one deadline: " << dMs;
    if (sinks.pipeReady()) {
        e = heldFailure(sinks.pipeAddress(), &dMs);
        EXPECT_EQ("MirelPipeConnection::establish: connection request failed.", e.getText());
        EXPECT_EQ(ETIMEDOUT, e.getCode());
        EXPECT_TRUE(dMs >= 250 && dMs < 5000) << dMs << " ms";
    }
    ::unsetenv("MIREL_NOTIFY_TIMEOUT_MS");
}

// The default deadline is 5 s; a setting that is not a number of milliseconds from 1 to 600000
// leaves it so (and a sink that accepts is reached as before).
TEST(MirelProxyDependentDeadline, DefaultAppliesWhenTheSettingIsBad) {
    HeldSinks sinks;
    ASSERT_TRUE(sinks.ready());
    TcpPeer peer;
    for (const char* pszBad : {"0", "-300", "300ms", "", "600001", "99999999999"}) {
        ::setenv("MIREL_NOTIFY_TIMEOUT_MS", pszBad, 1);
        std::thread sender(
            [&] { notify("socket:127.0.0.1:" + std::to_string(peer.m_nPort), 8, 9); });
        EXPECT_EQ("00 00 00 08 00 00 00 09", mnettest::hex(peer.readClient())) << pszBad;
        sender.join();
    }
    double dTcpMs = 0;
    double dPipeMs = 0;
    MirelException pipeFailure(MirelString("not run"), -1);
    std::thread pipe([&] {
        if (sinks.pipeReady()) {
            pipeFailure = heldFailure(sinks.pipeAddress(), &dPipeMs);
        }
    });
    MirelException e = heldFailure(sinks.m_sTcp, &dTcpMs);
    pipe.join();
    EXPECT_EQ(ETIMEDOUT, e.getCode());
    EXPECT_TRUE(dTcpMs >= 4500 && dTcpMs < 10000) << dTcpMs << " ms";
    if (sinks.pipeReady()) {
        EXPECT_EQ(ETIMEDOUT, pipeFailure.getCode());
        EXPECT_TRUE(dPipeMs >= 4500 && dPipeMs < 10000) << dPipeMs << " ms";
    }
    ::unsetenv("MIREL_NOTIFY_TIMEOUT_MS");
}

// The deadline belongs to the notification's own connection: one that addContent opens and
// keeps is not bounded by it, during the call or after.
namespace {

class SideConnectionProxy : public MirelProxyDependent {
public:
    SideConnectionProxy(const std::string& sAddress, int nSidePort)
        : MirelProxyDependent(sAddress, 1), m_nSidePort(nSidePort) {}
    void addContent(MirelNet::MirelConnection& client,
                    const MirelNotification& notification) override {
        m_spSide = new MirelNet::MirelSocketConnection("127.0.0.1", m_nSidePort, false, false);
        m_spSide->transfer(1);
        MirelProxyDependent::addContent(client, notification);
    }
    int m_nSidePort;
    MirelSmartPointer<MirelNet::MirelSocketConnection> m_spSide;
};

}  // namespace

TEST(MirelProxyDependentDeadline, ConnectionsThatAddContentOpensKeepNoDeadline) {
    TcpPeer peer;
    TcpPeer side;
    ::setenv("MIREL_NOTIFY_TIMEOUT_MS", "300", 1);
    SideConnectionProxy proxy("socket:127.0.0.1:" + std::to_string(peer.m_nPort), side.m_nPort);
    std::thread sender([&] { proxy.remoteNotify(MirelNotification(2)); });
    EXPECT_EQ(8u, peer.readClient().size());
    sender.join();
    ::unsetenv("MIREL_NOTIFY_TIMEOUT_MS");
    ASSERT_TRUE(side.hasClient(2000));
    int nSide = ::accept(side.m_nListener, 0, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the deadline has passed
    // A reader that takes about 1.5 s for 16 MiB: the write blocks far beyond 300 ms.
    std::size_t nRead = 0;
    std::thread reader([&] {
        for (Bytes chunk; !(chunk = mnettest::rawReceive(nSide, 256 << 10, 2000)).empty();) {
            nRead += chunk.size();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    EXPECT_NO_THROW(proxy.m_spSide->transfer(MirelString(16u << 20, 'x')));
    proxy.m_spSide->disconnect();
    reader.join();
    EXPECT_EQ(4u + 4u + (16u << 20), nRead);
    ::close(nSide);
}

// The log says where each notification went and how it ended.
TEST(MirelProxyDependentRemoteNotify, LogsItsTargetAndItsOutcome) {
    UdpReceiver receiver;
    std::string sAddress = "udp:127.0.0.1:" + std::to_string(receiver.m_nPort);
    std::string sRefused = "socket:127.0.0.1:" + std::to_string(mnettest::freeTcpPort());
    mnettest::LogCapture log(7);
    notify(sAddress, 7, 1);
    EXPECT_EQ(1, log.count("MirelProxyDependent::remoteNotify: notifying " + sAddress));
    EXPECT_EQ(1, log.count("MirelProxyDependent::remoteNotify: sent to " + sAddress));
    EXPECT_EQ(111, mnettest::catchOf([&] { notify(sRefused, 7, 1); }).getCode());
    EXPECT_EQ(1, log.count("MirelProxyDependent::remoteNotify: " + sRefused +
                           " failed: MirelSocketConnection::establish: connection request "
                           "failed. (code 111)"));
}
