// MirelSocketConnection over real loopback TCP, against raw-socket peers.
#include "MirelSocketConnection.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <thread>

#include "TestSupport.hpp"

using MirelNet::MirelSocketConnection;
using MirelSupport::MirelException;
using MirelSupport::MirelSmartPointer;
using MirelSupport::MirelString;
using mnettest::Bytes;
using mnettest::catchOf;

namespace {

const char* const kConnectFailed = "MirelSocketConnection::establish: connection request failed.";

typedef MirelSmartPointer<MirelSocketConnection> Connection;

Connection client(int nPort, const char* pszHost = "127.0.0.1", bool bIdentify = false) {
    return Connection(new MirelSocketConnection(pszHost, nPort, false, bIdentify));
}

int fdOf(MirelSocketConnection& connection) {
    return connection.getSocket() ? *static_cast<int*>(connection.getSocket()) : -1;
}

// A call that blocks (a typed read) fails instead of hanging when its peer stays silent.
void limitBlocking(MirelSocketConnection& connection) {
    timeval limit = {5, 0};
    ::setsockopt(fdOf(connection), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
}

// A raw listener on 127.0.0.1 (or all interfaces) with a bounded accept.
class Listener {
public:
    explicit Listener(bool bAllInterfaces = false) : m_nPort(0) {
        m_nFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address;
        std::memset(&address, 0, sizeof address);
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(bAllInterfaces ? INADDR_ANY : INADDR_LOOPBACK);
        socklen_t nLength = sizeof address;
        if (::bind(m_nFd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            ::listen(m_nFd, 16) == 0 &&
            ::getsockname(m_nFd, reinterpret_cast<sockaddr*>(&address), &nLength) == 0) {
            m_nPort = ntohs(address.sin_port);
        }
    }
    ~Listener() { ::close(m_nFd); }
    int port() const { return m_nPort; }
    int fd() const { return m_nFd; }
    // The next client, or -1 when none came within nTimeoutMs.
    int accept(int nTimeoutMs = 5000) {
        pollfd wait = {m_nFd, POLLIN, 0};
        if (::poll(&wait, 1, nTimeoutMs) != 1) {
            return -1;
        }
        return ::accept4(m_nFd, 0, 0, SOCK_CLOEXEC);
    }

private:
    int m_nFd;
    int m_nPort;
};

// A client connected to a raw peer through a Listener.
struct Pair {
    Pair() : spClient(client(listener.port())) {
        spClient->establish();
        nPeer = listener.accept();
        limitBlocking(*spClient);
    }
    ~Pair() { ::close(nPeer); }
    Listener listener;
    Connection spClient;
    int nPeer;
};

using mnettest::Background;

// SIGUSR1 with a handler that does not restart calls, so blocked calls see EINTR.
std::atomic<int> g_nSignals(0);
class InterruptingSignal {
public:
    InterruptingSignal() {
        struct sigaction action;
        std::memset(&action, 0, sizeof action);
        action.sa_handler = [](int) { ++g_nSignals; };
        ::sigaction(SIGUSR1, &action, &m_previous);
    }
    ~InterruptingSignal() { ::sigaction(SIGUSR1, &m_previous, 0); }

private:
    struct sigaction m_previous;
};

}  // namespace

TEST(MirelSocketConnection, TypedValuesTravelBigEndianInBothDirections) {
    Pair pair;
    pair.spClient->transfer(0x01020304);
    pair.spClient->transfer(static_cast<short>(-2));
    pair.spClient->transfer(true);
    pair.spClient->transfer(MirelSupport::MirelString("abc"));
    pair.spClient->transfer(MirelSupport::MirelString());
    pair.spClient->transferACK();
    pair.spClient->transferError();
    EXPECT_EQ("01 02 03 04 ff fe 00 01 00 00 00 03 61 62 63 00 00 00 00 00 01 00 00 00 01 ff ff",
              mnettest::hex(mnettest::rawReceive(pair.nPeer, 27)));

    ASSERT_TRUE(mnettest::rawSendAll(pair.nPeer,
                                     {0xff, 0xff, 0xff, 0xfe, 0x80, 0x00, 0, 0, 0, 2, 'h', 'i'}));
    EXPECT_EQ(-2, pair.spClient->receiveLong());
    EXPECT_EQ(-32768, pair.spClient->receiveShort());
    EXPECT_EQ("hi", pair.spClient->receiveString());
}

TEST(MirelSocketConnection, HandshakeSendsServiceLineAndProceedsOnPlus) {
    Listener listener;
    Connection spClient = client(listener.port());
    spClient->setServiceName("svc");
    int nPeer = -1;
    Background peer([&] {
        nPeer = listener.accept();
        EXPECT_EQ("73 76 63 0d 0a", mnettest::hex(mnettest::rawReceive(nPeer, 5)));
        mnettest::rawSendAll(nPeer, {'+'});
    });
    spClient->transfer(7);
    ASSERT_TRUE(peer.finish());
    EXPECT_EQ("00 00 00 07", mnettest::hex(mnettest::rawReceive(nPeer, 4)));
    ::close(nPeer);
}

TEST(MirelSocketConnection, HandshakeAnswerOtherThanPlusFailsWithCodeZeroAndClosesSocket) {
    Listener listener;
    Connection spClient = client(listener.port());
    spClient->setServiceName("svc");
    int nPeer = -1;
    Background peer([&] {
        nPeer = listener.accept();
        mnettest::rawReceive(nPeer, 5);
        mnettest::rawSendAll(nPeer, {'-'});
    });
    try {
        spClient->transfer(7);
        FAIL() << "handshake refusal not reported";
    } catch (const MirelException& e) {
        EXPECT_EQ("MirelConnection::connectToService: connection to remote service failed.",
                  e.getText());
        EXPECT_EQ(0, e.getCode());
    }
    ASSERT_TRUE(peer.finish());
    EXPECT_EQ(nullptr, spClient->getSocket());
    EXPECT_TRUE(mnettest::rawReceive(nPeer, 1, 2000).empty())
        << "no value may follow a refused handshake";
    ::close(nPeer);
}

TEST(MirelSocketConnection, WithoutServiceNameTheFirstBytesAreTheValue) {
    Pair pair;
    pair.spClient->transfer(static_cast<short>(5));
    EXPECT_EQ("00 05", mnettest::hex(mnettest::rawReceive(pair.nPeer, 2)));
}

TEST(MirelSocketConnection, RefusedConnectionThrowsWithErrnoAndLeavesNoSocket) {
    int nFds = mnettest::countOpenFds();
    Connection spClient = client(mnettest::freeTcpPort());
    try {
        spClient->transfer(1);
        FAIL() << "connect to a port without listener succeeded";
    } catch (const MirelException& e) {
        EXPECT_EQ("MirelSocketConnection::establish: connection request failed.", e.getText());
        EXPECT_EQ(ECONNREFUSED, e.getCode());
    }
    EXPECT_EQ(nullptr, spClient->getSocket());
    EXPECT_EQ(nFds, mnettest::countOpenFds());
}

TEST(MirelSocketConnection, IdentifyFailsForAddressWithoutReverseEntryBeforeConnecting) {
    Listener listener(true);
    int nFds = mnettest::countOpenFds();
    Connection spClient = client(listener.port(), "127.0.0.2", true);
    try {
        spClient->establish();
        FAIL() << "unknown address identified";
    } catch (const MirelException& e) {
        EXPECT_EQ("MirelSocketConnection::establish: could not find host.", e.getText());
    }
    EXPECT_EQ(nFds, mnettest::countOpenFds());
    EXPECT_EQ(-1, listener.accept(300)) << "a connect was attempted";
}

TEST(MirelSocketConnection, NamesAndKnownAddressesConnect) {
    Listener listener;
    const struct {
        const char* pszHost;
        bool bIdentify;
    } cases[] = {
        {"localhost", false}, {"localhost", true}, {"127.0.0.1", true}, {"127.0.0.1", false}};
    for (const auto& c : cases) {
        Connection spClient = client(listener.port(), c.pszHost, c.bIdentify);
        spClient->transfer(9);
        int nPeer = listener.accept();
        EXPECT_EQ("00 00 00 09", mnettest::hex(mnettest::rawReceive(nPeer, 4)))
            << c.pszHost << " " << c.bIdentify;
        ::close(nPeer);
    }
}

// A label longer than 63 bytes cannot be encoded in a query: the lookup fails at once, with
// no traffic. Before, such a name was connected to at the address 0, which is this machine.
TEST(MirelSocketConnection, UnresolvableNameFailsWithHostUnreachableAndConnectsNowhere) {
    Listener listener(true);
    for (bool bIdentify : {false, true}) {
        Connection spClient = client(listener.port(), mnettest::kUnresolvableHost, bIdentify);
        int nFdsBefore = mnettest::countOpenFds();
        MirelException e = catchOf([&] { spClient->transfer(3); });
        EXPECT_EQ("MirelSocketConnection::establish: could not find host.", e.getText());
        EXPECT_EQ(EHOSTUNREACH, e.getCode());
        EXPECT_EQ(0, spClient->getSocket());
        EXPECT_EQ(nFdsBefore, mnettest::countOpenFds());
    }
    EXPECT_EQ(-1, listener.accept(50));
}

// A port past 65535 used to wrap to its low 16 bits: 65536 + p reached port p.
TEST(MirelSocketConnection, PortOutsideTheRangeIsRefusedWithoutConnecting) {
    Listener listener;
    for (int nPort : {listener.port() + 65536, -1}) {
        Connection spClient = client(nPort);
        MirelException e = catchOf([&] { spClient->transfer(3); });
        EXPECT_EQ(kConnectFailed, e.getText());
        EXPECT_EQ(EINVAL, e.getCode());
        EXPECT_EQ(0, spClient->getSocket());
    }
    EXPECT_EQ(-1, listener.accept(50));
}

// The dotted text is checked as UDP checks it: inet_addr made this 255.255.255.255.
TEST(MirelSocketConnection, MalformedDottedAddressIsNotAHost) {
    Connection spClient = client(9, "127.0.0.256");
    MirelException e = catchOf([&] { spClient->transfer(3); });
    EXPECT_EQ("MirelSocketConnection::establish: could not find host.", e.getText());
    EXPECT_EQ(EDESTADDRREQ, e.getCode());
}

// Reads are served from what one receive took: values that straddle the read buffer's end,
// and a line that follows a value, come out whole and in order.
TEST(MirelSocketConnection, BufferedReadsKeepValuesAndLinesInOrder) {
    Pair pair;
    Bytes bytes = {0x00, 0x07, 0x00, 0x00, 0x0f, 0xfa};  // short 7, string of 4090 bytes
    bytes.insert(bytes.end(), 4090, 'q');
    for (unsigned char c : {0xff, 0xff, 0xff, 0xfe}) {  // int -2, across the 4096th byte
        bytes.push_back(c);
    }
    for (char c : std::string("line one\r\nrest")) {
        bytes.push_back(static_cast<unsigned char>(c));
    }
    ASSERT_TRUE(mnettest::rawSendAll(pair.nPeer, bytes));
    EXPECT_EQ(7, pair.spClient->receiveShort());
    EXPECT_EQ(std::string(4090, 'q'), pair.spClient->receiveString());
    EXPECT_EQ(-2, pair.spClient->receiveInt());
    char szLine[64];
    int nCode = -1;
    ASSERT_NE(nullptr, pair.spClient->getLine(szLine, sizeof szLine, nCode));
    EXPECT_STREQ("line one", szLine);
    char rest[4];
    EXPECT_EQ(4, pair.spClient->get(rest, 4));
    EXPECT_EQ(0, std::memcmp(rest, "rest", 4));
}

TEST(MirelSocketConnection, PrimitivesReportLengthsAndChunks) {
    Pair pair;
    long nError = -1;
    EXPECT_EQ(0, pair.spClient->transfer("x", 0, &nError));
    EXPECT_EQ(0, nError);
    char buffer[10];
    EXPECT_EQ(0, pair.spClient->receive(buffer, 0, &nError, true));
    EXPECT_EQ(0, nError);

    ASSERT_TRUE(mnettest::rawSendAll(pair.nPeer, {'a', 'b', 'c'}));
    EXPECT_EQ(3, pair.spClient->receive(buffer, sizeof buffer, &nError, false));
    EXPECT_EQ(0, std::memcmp(buffer, "abc", 3));

    ASSERT_TRUE(mnettest::rawSendAll(pair.nPeer, {'d', 'e'}));
    char peeked[4];
    int nSize = sizeof peeked;
    int nCode = -1;
    EXPECT_TRUE(pair.spClient->peekBytes(peeked, nSize, nCode));
    EXPECT_EQ(0, nCode);
    ASSERT_GE(nSize, 1);
    EXPECT_EQ('d', peeked[0]);
    ::shutdown(pair.nPeer, SHUT_WR);
    EXPECT_EQ(-1, pair.spClient->receive(buffer, 3, &nError, true))
        << "stream ended before 3 bytes";
    EXPECT_EQ(ENOTCONN, nError);
}

TEST(MirelSocketConnection, PeerClosingMakesReadsFailWith107AndPeekEmpty) {
    Pair pair;
    ::close(pair.nPeer);
    pair.nPeer = -1;
    char buffer[4];
    int nSize = sizeof buffer;
    int nCode = -1;
    EXPECT_FALSE(pair.spClient->peekBytes(buffer, nSize, nCode));
    EXPECT_EQ(0, nSize);
    EXPECT_EQ(0, nCode);
    try {
        pair.spClient->receiveInt();
        FAIL() << "read past the end of the stream";
    } catch (const MirelException& e) {
        EXPECT_EQ("MirelConnection::get: failed read", e.getText());
        EXPECT_EQ(ENOTCONN, e.getCode());
    }
}

TEST(MirelSocketConnection, WriteToVanishedPeerFailsWithEpipeInsteadOfKillingTheProcess) {
    void (*previous)(int) = ::signal(SIGPIPE, SIG_DFL);
    Pair pair;
    pair.spClient->transfer(1);
    ::close(pair.nPeer);
    pair.nPeer = -1;
    char cByte;
    int nSize = 1;
    int nCode = 0;
    pair.spClient->peekBytes(&cByte, nSize, nCode);  // returns once the end of the stream is in
    int nFailure = 0;
    for (int i = 0; i < 200 && nFailure == 0; ++i) {
        try {
            pair.spClient->transfer(i);
        } catch (const MirelException& e) {
            EXPECT_EQ("MirelConnection::put: transfer failed.", e.getText());
            nFailure = e.getCode();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(EPIPE, nFailure);
    ::signal(SIGPIPE, previous);
}

TEST(MirelSocketConnection, DisconnectIsRepeatableAndNextUseConnectsAgain) {
    Listener listener;
    Connection spClient = client(listener.port());
    spClient->disconnect();
    spClient->disconnect();
    EXPECT_EQ(-1, listener.accept(100)) << "disconnect without socket opened one";

    spClient->transfer(1);
    int nFirst = listener.accept();
    spClient->disconnect();
    EXPECT_EQ(nullptr, spClient->getSocket());
    EXPECT_TRUE(mnettest::rawReceive(nFirst, 5).size() == 4)
        << "the peer sees the value, then the end";
    spClient->transfer(2);
    int nSecond = listener.accept();
    EXPECT_EQ("00 00 00 02", mnettest::hex(mnettest::rawReceive(nSecond, 4)));
    ::close(nFirst);
    ::close(nSecond);
}

TEST(MirelSocketConnection, NameQueriesOfClientConnection) {
    Listener listener;
    Connection spClient = client(listener.port());
    EXPECT_EQ("", spClient->getServerName()) << "no socket yet";
    spClient->establish();
    EXPECT_EQ("127.0.0.1", spClient->getServerName());
    EXPECT_EQ("0", spClient->getPortName());
    ::close(listener.accept());
}

bool noDelayOn(int nFd) {
    int nValue = 0;
    socklen_t nLength = sizeof nValue;
    return ::getsockopt(nFd, IPPROTO_TCP, TCP_NODELAY, &nValue, &nLength) == 0 && nValue != 0;
}

TEST(MirelSocketConnection, NagleIsSwitchedOffBeforeTheSecondSendOnly) {
    Pair pair;
    EXPECT_FALSE(noDelayOn(fdOf(*pair.spClient))) << "established, nothing sent";
    pair.spClient->transfer(MirelString("one"));
    EXPECT_FALSE(noDelayOn(fdOf(*pair.spClient))) << "a first send is never held back";
    pair.spClient->transferACK();
    EXPECT_TRUE(noDelayOn(fdOf(*pair.spClient))) << "set before the second send";
    EXPECT_EQ("00 00 00 03 6f 6e 65 00 01 00 00",
              mnettest::hex(mnettest::rawReceive(pair.nPeer, 11)));

    int nRemote = mnettest::rawTcpConnect(pair.listener.port());
    Connection spAccepted(
        new MirelSocketConnection(pair.listener.accept(), "peer", nullptr, false));
    spAccepted->transfer(1);
    EXPECT_FALSE(noDelayOn(fdOf(*spAccepted)));
    spAccepted->transfer(2);
    EXPECT_TRUE(noDelayOn(fdOf(*spAccepted))) << "the accepted form too";
    ::close(nRemote);
}

TEST(MirelSocketConnection, AcceptedFormIsConnectedAndOwnsItsDescriptor) {
    Listener listener;
    int nRemote = mnettest::rawTcpConnect(listener.port());
    int nAccepted = listener.accept();
    {
        Connection spAccepted(new MirelSocketConnection(nAccepted, "peer", nullptr, false));
        EXPECT_EQ(nAccepted, fdOf(*spAccepted));
        EXPECT_EQ("peer", spAccepted->getRemoteName());
        EXPECT_EQ("0", spAccepted->getPortName());
        spAccepted->transfer(4);
    }
    EXPECT_EQ("00 00 00 04", mnettest::hex(mnettest::rawReceive(nRemote, 5)))
        << "value, then end of stream";
    ::close(nRemote);
}

TEST(MirelSocketConnection, SignalDuringBlockedReadDoesNotEndIt) {
    InterruptingSignal signalSetup;
    Pair pair;
    int nValue = 0;
    Background reader([&] {
        try {
            nValue = pair.spClient->receiveInt();
        } catch (const MirelException& e) {
            ADD_FAILURE() << e.getText() << " " << e.getCode();
        }
    });
    ASSERT_TRUE(reader.waitBlocked());
    int nBefore = g_nSignals;
    reader.interrupt();
    ASSERT_TRUE(mnettest::waitUntil([&] { return g_nSignals > nBefore; }));
    ASSERT_TRUE(mnettest::rawSendAll(pair.nPeer, {0, 0, 1, 0}));
    ASSERT_TRUE(reader.finish());
    EXPECT_EQ(256, nValue);
}

TEST(MirelSocketConnection, SignalDuringConnectLetsTheConnectionComplete) {
    InterruptingSignal signalSetup;
    // A listener with a full accept queue leaves the next connect blocked until room is made.
    int nListen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t nLength = sizeof address;
    ASSERT_EQ(0, ::bind(nListen, reinterpret_cast<sockaddr*>(&address), sizeof address));
    ASSERT_EQ(0, ::listen(nListen, 0));
    ASSERT_EQ(0, ::getsockname(nListen, reinterpret_cast<sockaddr*>(&address), &nLength));
    int nPort = ntohs(address.sin_port);
    int nFiller = mnettest::rawTcpConnect(nPort);

    Connection spClient = client(nPort);
    bool bOk = false;
    Background connector([&] {
        try {
            spClient->establish();
            bOk = true;
        } catch (const MirelException& e) {
            ADD_FAILURE() << e.getText() << " " << e.getCode();
        }
    });
    ASSERT_TRUE(connector.waitBlocked());
    int nBefore = g_nSignals;
    connector.interrupt();
    ASSERT_TRUE(mnettest::waitUntil([&] { return g_nSignals > nBefore; }));
    ASSERT_TRUE(connector.waitBlocked());  // back in its wait after the signal
    int nDrained = ::accept4(nListen, 0, 0, SOCK_CLOEXEC);
    ASSERT_TRUE(connector.finish(15000)) << "the interrupted connect never completed";
    EXPECT_TRUE(bOk);
    ::close(nDrained);
    ::close(nFiller);
    ::close(nListen);
}

// A connection that wraps another takes its descriptor with takeSocket; the values that the
// other had already received come along and are read first, in order.
namespace {

class Wrapper : public MirelSocketConnection {
public:
    explicit Wrapper(MirelSocketConnection& inner)
        : MirelSocketConnection(takeSocket(inner), "inner", nullptr, true) {}
};

}  // namespace

TEST(MirelSocketConnection, TakenSocketCarriesTheBytesReceivedBefore) {
    Pair pair;
    Bytes bytes;
    for (unsigned char c = 1; c <= 4; ++c) {
        bytes.insert(bytes.end(), {0, 0, 0, c});
    }
    ASSERT_TRUE(mnettest::rawSendAll(pair.nPeer, bytes));
    ASSERT_EQ(1, pair.spClient->receiveInt());  // takes all four ints into its buffer
    Wrapper wrapper(*pair.spClient);
    EXPECT_EQ(2, wrapper.receiveInt());
    EXPECT_EQ(3, wrapper.receiveInt());
    EXPECT_EQ(4, wrapper.receiveInt());
    wrapper.transfer(5);  // the same socket
    EXPECT_EQ("00 00 00 05", mnettest::hex(mnettest::rawReceive(pair.nPeer, 4)));
    EXPECT_EQ(ENOTCONN, catchOf([&] { pair.spClient->receiveInt(); }).getCode());
}
