// MirelSSLSocketConnection: the shell that moves no bytes, and who owns its descriptor.
#include "MirelSSLSocketConnection.hpp"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "MirelServerSocket.hpp"
#include "TestSupport.hpp"

using MirelNet::MirelServerSocket;
using MirelNet::MirelSocketConnection;
using MirelNet::MirelSSLSocketConnection;
using MirelSupport::MirelException;
using MirelSupport::MirelSmartPointer;

namespace {

typedef MirelSmartPointer<MirelSSLSocketConnection> SSLConnection;
typedef MirelSmartPointer<MirelSocketConnection> PlainConnection;

int fdOf(MirelSocketConnection& connection) {
    return connection.getSocket() ? *static_cast<int*>(connection.getSocket()) : -1;
}

bool isOpenFd(int nFd) {
    return nFd >= 0 && ::fcntl(nFd, F_GETFD) != -1;
}

// True when the peer's side of the stream has ended within nTimeoutMs.
bool peerSeesEnd(int nPeer, int nTimeoutMs = 2000) {
    pollfd wait = {nPeer, POLLIN, 0};
    char c;
    return ::poll(&wait, 1, nTimeoutMs) == 1 && ::recv(nPeer, &c, 1, MSG_DONTWAIT) == 0;
}

// A plain client connected to a raw listener, with the accepted peer descriptor.
struct PlainPair {
    PlainPair() : nListen(mnettest::rawTcpListen(&nPort)), nPeer(-1) {
        spPlain = new MirelSocketConnection("127.0.0.1", nPort, false, false);
        spPlain->establish();
        nPeer = ::accept4(nListen, 0, 0, SOCK_CLOEXEC);
    }
    ~PlainPair() {
        ::close(nPeer);
        ::close(nListen);
    }
    int nPort;
    int nListen;
    int nPeer;
    PlainConnection spPlain;
};

int g_sslState;  // stands for an SSL handle; never dereferenced

void expectFailure(const std::function<void()>& fn, const char* pszText, int nCode) {
    try {
        fn();
        ADD_FAILURE() << "no exception, expected " << pszText;
    } catch (const MirelException& e) {
        EXPECT_EQ(pszText, e.getText());
        EXPECT_EQ(nCode, e.getCode());
    }
}

}  // namespace

TEST(MirelSSLSocketConnection, ClientFormEstablishesWithoutTrafficThenFailsWith107) {
    int nPort = 0;
    int nListen = mnettest::rawTcpListen(&nPort);
    int nFds = mnettest::countOpenFds();
    for (const char* pszHost : {"127.0.0.1", mnettest::kUnresolvableHost}) {
        SSLConnection spSSL(new MirelSSLSocketConnection(pszHost, nPort, false));
        spSSL->establish();
        EXPECT_EQ(nullptr, spSSL->getSocket());
        EXPECT_EQ("", spSSL->getServerName());
        EXPECT_EQ("0", spSSL->getPortName());
        expectFailure([&] { spSSL->transfer(1); }, "MirelConnection::put: transfer failed.",
                      ENOTCONN);
        expectFailure([&] { spSSL->receiveInt(); }, "MirelConnection::get: failed read", ENOTCONN);
    }
    EXPECT_EQ(nFds, mnettest::countOpenFds());
    pollfd wait = {nListen, POLLIN, 0};
    EXPECT_EQ(0, ::poll(&wait, 1, 100)) << "the SSL client connected";
    ::close(nListen);
}

TEST(MirelSSLSocketConnection, WithHandleWritesVanishAndReadsFailWithCodeZero) {
    PlainPair pair;
    SSLConnection spSSL(new MirelSSLSocketConnection(pair.spPlain, &g_sslState));
    spSSL->transfer(5);
    spSSL->transferACK();
    expectFailure([&] { spSSL->receiveShort(); }, "MirelConnection::get: failed read", 0);
    pollfd wait = {pair.nPeer, POLLIN, 0};
    EXPECT_EQ(0, ::poll(&wait, 1, 100)) << "bytes reached the wire";
}

TEST(MirelSSLSocketConnection, PeekWithHandleCopiesNothing) {
    PlainPair pair;
    SSLConnection spSSL(new MirelSSLSocketConnection(pair.spPlain, &g_sslState));
    char buffer[5] = {'u', 'u', 'u', 'u', 'u'};
    int nSize = 0;
    int nCode = 42;
    EXPECT_FALSE(spSSL->peekBytes(buffer, nSize, nCode));
    nSize = 5;
    EXPECT_TRUE(spSSL->peekBytes(buffer, nSize, nCode));
    EXPECT_EQ(5, nSize);
    EXPECT_EQ(42, nCode);
    EXPECT_EQ(0, std::memcmp(buffer, "uuuuu", 5));
}

TEST(MirelSSLSocketConnection, DisconnectForgetsHandleAndClosesTheSocket) {
    PlainPair pair;
    SSLConnection spSSL(new MirelSSLSocketConnection(pair.spPlain, &g_sslState));
    spSSL->disconnect();
    long nError = 0;
    EXPECT_EQ(-1, spSSL->transfer("x", 1, &nError));
    EXPECT_EQ(ENOTCONN, nError);
    char buffer[1];
    int nSize = 1;
    int nCode = 0;
    EXPECT_FALSE(spSSL->peekBytes(buffer, nSize, nCode));
    EXPECT_EQ(ENOTCONN, nCode);
    EXPECT_EQ(0, nSize);
    EXPECT_TRUE(peerSeesEnd(pair.nPeer));
    spSSL->establish();
    EXPECT_EQ(nullptr, spSSL->getSocket()) << "a later establish opens nothing";
}

TEST(MirelSSLSocketConnection, WrappingFormTakesTheSocketOverAndClosesItOnce) {
    PlainPair pair;
    int nFd = fdOf(*pair.spPlain);
    SSLConnection spSSL(new MirelSSLSocketConnection(pair.spPlain, &g_sslState));
    EXPECT_EQ(nFd, fdOf(*spSSL));
    EXPECT_EQ(nullptr, pair.spPlain->getSocket());
    EXPECT_EQ("127.0.0.1", spSSL->getRemoteName());
    EXPECT_EQ("127.0.0.1", spSSL->getServerName());
    EXPECT_EQ("0", spSSL->getPortName());
    long nError = 0;
    EXPECT_EQ(0, pair.spPlain->transfer("x", 1, &nError)) << "the wrapped connection still writes";
    EXPECT_EQ(ENOTCONN, nError);

    pair.spPlain->disconnect();
    EXPECT_TRUE(isOpenFd(nFd)) << "the wrapped connection closed the shared descriptor";
    spSSL = nullptr;
    EXPECT_TRUE(peerSeesEnd(pair.nPeer));
    int nReused = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    pair.spPlain = nullptr;  // last reference to the wrapped connection
    EXPECT_TRUE(isOpenFd(nReused)) << "the descriptor number was closed a second time";
    ::close(nReused);
}

TEST(MirelSSLSocketConnection, WrappingAConnectionWithoutSocketLeavesNoDescriptor) {
    int nFds = mnettest::countOpenFds();
    PlainConnection spPlain(new MirelSocketConnection("127.0.0.1", 1, false, false));
    SSLConnection spSSL(new MirelSSLSocketConnection(spPlain, &g_sslState));
    EXPECT_EQ(nullptr, spSSL->getSocket());
    spSSL->transfer(1);
    SSLConnection spEmpty(new MirelSSLSocketConnection(PlainConnection(), nullptr));
    EXPECT_EQ("", spEmpty->getRemoteName());
    expectFailure([&] { spEmpty->transfer(1); }, "MirelConnection::put: transfer failed.",
                  ENOTCONN);
    EXPECT_EQ(nFds, mnettest::countOpenFds());
}

TEST(MirelSSLSocketConnection, AcceptedFormOwnsItsDescriptorAndReportsItsServerPort) {
    int nPort = 0;
    int nListen = mnettest::rawTcpListen(&nPort);
    int nRemote = mnettest::rawTcpConnect(nPort);
    int nAccepted = ::accept4(nListen, 0, 0, SOCK_CLOEXEC);
    MirelSmartPointer<MirelServerSocket> spServer(new MirelServerSocket(4711, 5, "127.0.0.1"));
    {
        SSLConnection spSSL(new MirelSSLSocketConnection(nAccepted, "peer", spServer, false));
        EXPECT_EQ(nAccepted, fdOf(*spSSL));
        EXPECT_EQ("4711", spSSL->getPortName());
        expectFailure([&] { spSSL->transfer(1); }, "MirelConnection::put: transfer failed.",
                      ENOTCONN);
    }
    EXPECT_TRUE(peerSeesEnd(nRemote));
    ::close(nRemote);
    ::close(nListen);
}
