#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "MirelLogging.hpp"
#include "MirelUDPSocketConnection.hpp"
#include "TestSupport.hpp"

using MirelSupport::MirelLogging;
using MirelSupport::MirelSmartPointer;
using MirelSupport::MirelString;
using mnettest::Bytes;
using mnettest::hex;

namespace {

typedef MirelNet::MirelUDPSocketConnection UdpConnection;

// A datagram socket on 127.0.0.1, on a port the system picks.
class UdpReceiver {
public:
    UdpReceiver() : m_nFd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)), m_nPort(0) {
        sockaddr_in address;
        std::memset(&address, 0, sizeof address);
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t nLength = sizeof address;
        if (m_nFd >= 0 &&
            ::bind(m_nFd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            ::getsockname(m_nFd, reinterpret_cast<sockaddr*>(&address), &nLength) == 0) {
            m_nPort = ntohs(address.sin_port);
        }
    }
    ~UdpReceiver() { ::close(m_nFd); }

    int port() const { return m_nPort; }

    // The next datagram; false when none arrived within nTimeoutMs.
    bool receive(Bytes* pDatagram, int nTimeoutMs = 5000) {
        pollfd waiting = {m_nFd, POLLIN, 0};
        if (::poll(&waiting, 1, nTimeoutMs) != 1) {
            return false;
        }
        std::vector<unsigned char> data(70000);
        ssize_t nCount = ::recv(m_nFd, data.data(), data.size(), 0);
        if (nCount < 0) {
            return false;
        }
        pDatagram->assign(data.begin(), data.begin() + nCount);
        return true;
    }

    // Proves that nothing came before: a marker datagram sent now must be the next to arrive.
    bool nextIsMarker() {
        UdpConnection marker("127.0.0.1", m_nPort, false);
        marker.transfer(static_cast<short>(0x7e7e));
        Bytes datagram;
        return marker.transmit() && receive(&datagram) && hex(datagram) == "7e 7e";
    }

private:
    int m_nFd;
    int m_nPort;
};

using mnettest::LogCapture;

class MirelUDPSocketConnection : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(0, m_receiver.port()); }

    // The datagram that arrives, as hex, or "none".
    std::string received() {
        Bytes datagram;
        return m_receiver.receive(&datagram) ? hex(datagram) : "none";
    }

    UdpReceiver m_receiver;
};

}  // namespace

TEST_F(MirelUDPSocketConnection, IntAndShortArriveAsOneDatagram) {
    UdpConnection connection("127.0.0.1", m_receiver.port(), false);
    connection.transfer(5);
    connection.transfer(static_cast<short>(1));
    EXPECT_TRUE(connection.transmit());
    EXPECT_EQ("00 00 00 05 00 01", received());
}

TEST_F(MirelUDPSocketConnection, TransmitKeepsBufferSoRepeatsAndLaterWritesAppend) {
    UdpConnection connection("127.0.0.1", m_receiver.port(), false);
    connection.transfer(static_cast<short>(-2));
    EXPECT_TRUE(connection.transmit());
    EXPECT_TRUE(connection.transmit());
    connection.transfer(true);
    EXPECT_TRUE(connection.transmit());
    EXPECT_EQ("ff fe", received());
    EXPECT_EQ("ff fe", received());
    EXPECT_EQ("ff fe 00 01", received());
}

TEST_F(MirelUDPSocketConnection, EmptyConnectionSendsNothingAndLogsSendFailure) {
    LogCapture log;
    UdpConnection connection("127.0.0.1", m_receiver.port(), false);
    EXPECT_FALSE(connection.transmit());
    EXPECT_NE(std::string::npos,
              log.text().find(
                  "MirelUDPSocketConnection::transmit: failed to send data (rc:90) to 127.0.0.1"))
        << log.text();
    EXPECT_TRUE(m_receiver.nextIsMarker());
}

TEST_F(MirelUDPSocketConnection, DatagramLargerThanSystemAllowsFails) {
    LogCapture log;
    UdpConnection connection("127.0.0.1", m_receiver.port(), false);
    std::vector<char> payload(70000, 'x');
    connection.put(payload.data(), static_cast<int>(payload.size()));
    EXPECT_FALSE(connection.transmit());
    EXPECT_NE(std::string::npos, log.text().find("failed to send data (rc:90) to 127.0.0.1"))
        << log.text();
    EXPECT_TRUE(m_receiver.nextIsMarker());
}

TEST_F(MirelUDPSocketConnection, EmptyWriteSendsEmptyDatagram) {
    UdpConnection connection("127.0.0.1", m_receiver.port(), false);
    connection.put(0, 0);
    EXPECT_TRUE(connection.transmit());
    EXPECT_EQ("", received());
}

TEST_F(MirelUDPSocketConnection, IdentifyOnDottedAddressStillSends) {
    LogCapture log;
    UdpConnection connection("127.0.0.1", m_receiver.port(), true);
    connection.transfer(1);
    EXPECT_TRUE(connection.transmit());
    EXPECT_EQ("00 00 00 01", received());
    EXPECT_NE(std::string::npos,
              log.text().find("MirelUDPSocketConnection::transmit: using gethostbyaddr."));
}

TEST_F(MirelUDPSocketConnection, LocalhostIsResolvedByName) {
    UdpConnection connection("localhost", m_receiver.port(), false);
    connection.transfer(MirelString("ab"));
    EXPECT_TRUE(connection.transmit());
    EXPECT_EQ("00 00 00 02 61 62", received());
}

// Port 0 keeps this test off the network even if malformed text were ever taken as the
// broadcast address again: the system then refuses the send with 22 instead.
TEST_F(MirelUDPSocketConnection, MalformedDottedAddressIsRefusedNotBroadcast) {
    for (const char* pszName : {"127.0.0.256", "", "1.2.3.4.5"}) {
        LogCapture log;
        UdpConnection connection(pszName, 0, false);
        connection.transfer(1);
        EXPECT_FALSE(connection.transmit()) << pszName;
        EXPECT_NE(std::string::npos,
                  log.text().find(std::string("failed to send data (rc:89) to ") + pszName))
            << log.text();
    }
}

// Before, an unresolvable name sent to 0.0.0.0 (this machine) and port 65536 + p reached p.
TEST_F(MirelUDPSocketConnection, UnresolvableHostOrPortOutOfRangeSendsNothing) {
    struct Case {
        const char* pszHost;
        int nPort;
        int nCode;
    };
    for (const Case& c :
         {Case{mnettest::kUnresolvableHost, m_receiver.port(), EHOSTUNREACH},
          Case{"127.0.0.1", m_receiver.port() + 65536, EINVAL}, Case{"127.0.0.1", -1, EINVAL}}) {
        LogCapture log;
        UdpConnection connection(c.pszHost, c.nPort, false);
        connection.transfer(1);
        EXPECT_FALSE(connection.transmit()) << c.pszHost << ":" << c.nPort;
        EXPECT_NE(std::string::npos, log.text().find("failed to send data (rc:" +
                                                     std::to_string(c.nCode) + ") to " + c.pszHost))
            << log.text();
    }
    EXPECT_TRUE(m_receiver.nextIsMarker());
}

TEST_F(MirelUDPSocketConnection, TransmitLeavesNoSocketOpen) {
    int nBefore = mnettest::countOpenFds();
    UdpConnection sent("127.0.0.1", m_receiver.port(), true);
    sent.transfer(3);
    EXPECT_TRUE(sent.transmit());
    UdpConnection oversized("127.0.0.1", m_receiver.port(), false);
    std::vector<char> payload(70000, 'y');
    oversized.put(payload.data(), static_cast<int>(payload.size()));
    EXPECT_FALSE(oversized.transmit());
    UdpConnection malformed("1.2.3.4.5", 0, false);
    malformed.transfer(3);
    EXPECT_FALSE(malformed.transmit());
    EXPECT_EQ(nBefore, mnettest::countOpenFds());
}

TEST_F(MirelUDPSocketConnection, TypedWritesWorkThroughSmartPointer) {
    MirelSmartPointer<UdpConnection> sp(new UdpConnection("127.0.0.1", m_receiver.port(), false));
    sp->transfer(5);
    sp->transfer(MirelString("x"));
    EXPECT_TRUE(sp->transmit());
    EXPECT_EQ("00 00 00 05 00 00 00 01 78", received());
    EXPECT_EQ("127.0.0.1", sp->getRemoteName());
}
