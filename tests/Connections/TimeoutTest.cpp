// Time-outs of connections (setTimeout) and of server waits (setWaitTimeout), over TCP and
// pipes: a peer that never answers, stalls in the middle of a value or never accepts costs the
// caller the time-out and 110, after which the connection starts afresh.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "MirelPipeConnection.hpp"
#include "MirelPipeServer.hpp"
#include "MirelServerSocket.hpp"
#include "MirelSocketConnection.hpp"
#include "TestSupport.hpp"

using MirelNet::MirelConnection;
using MirelNet::MirelIPCServer;
using MirelNet::MirelPipeConnection;
using MirelNet::MirelPipeServer;
using MirelNet::MirelServerSocket;
using MirelNet::MirelSocketConnection;
using MirelSupport::MirelException;
using MirelSupport::MirelSmartPointer;
using mnettest::Bytes;

namespace {

const int kTimeoutMs = 300;
// Well under what a hang would take, well over a slow machine's scheduling.
const double kLatestMs = 1500;

// What action threw and after how many milliseconds.
MirelException timed(const std::function<void()>& action, double* pdMs) {
    auto start = std::chrono::steady_clock::now();
    MirelException e = mnettest::catchOf(action);
    *pdMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    return e;
}

#define EXPECT_TIMED_OUT(pszText, action)                                       \
    do {                                                                        \
        double dMs = 0;                                                         \
        MirelException e = timed(action, &dMs);                                 \
        EXPECT_EQ(std::string(pszText), e.getText());                           \
        EXPECT_EQ(ETIMEDOUT, e.getCode());                                      \
        EXPECT_TRUE(dMs >= kTimeoutMs - 50 && dMs < kLatestMs) << dMs << " ms"; \
    } while (0)

// A raw listener of either transport, and client and accepted connections to it.
class Transport : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        m_bPipe = std::string(GetParam()) == "pipe";
        if (m_bPipe) {
            std::string sWhy;
            if (!mnettest::sharedServiceDirUsable(&sWhy)) {
                GTEST_SKIP() << sWhy;
            }
            m_nListener = mnettest::rawUnixListen(m_pipe.sPath);
        } else {
            m_nListener = mnettest::rawTcpListen(&m_nPort);
        }
        ASSERT_GE(m_nListener, 0);
    }
    void TearDown() override {
        if (m_nListener >= 0) {
            ::close(m_nListener);
        }
    }
    MirelConnection* client() {
        if (m_bPipe) {
            return new MirelPipeConnection(m_pipe.sName);
        }
        return new MirelSocketConnection("127.0.0.1", m_nPort, false, false);
    }
    void setTimeout(MirelConnection& connection, int nMs) {
        if (m_bPipe) {
            static_cast<MirelPipeConnection&>(connection).setTimeout(nMs);
        } else {
            static_cast<MirelSocketConnection&>(connection).setTimeout(nMs);
        }
    }
    int getTimeout(MirelConnection& connection) {
        return m_bPipe ? static_cast<MirelPipeConnection&>(connection).getTimeout()
                       : static_cast<MirelSocketConnection&>(connection).getTimeout();
    }
    int acceptRaw() { return ::accept4(m_nListener, nullptr, nullptr, SOCK_CLOEXEC); }
    MirelConnection* accepted(int nFd) {
        if (m_bPipe) {
            return new MirelPipeConnection(&nFd, 1);
        }
        return new MirelSocketConnection(nFd, "peer", nullptr, false);
    }
    const char* establishFailed() const {
        return m_bPipe ? "MirelPipeConnection::establish: connection request failed."
                       : "MirelSocketConnection::establish: connection request failed.";
    }

    bool m_bPipe = false;
    mnettest::PipeName m_pipe{"timeout"};
    int m_nPort = 0;
    int m_nListener = -1;
};

}  // namespace

// A request whose answer never comes; the next request reconnects and is answered.
TEST_P(Transport, ClientWaitingForAnAnswerFailsAndReconnects) {
    MirelSmartPointer<MirelConnection> spClient(client());
    setTimeout(*spClient, kTimeoutMs);  // before the first connect
    spClient->transfer(7);
    int nFirst = acceptRaw();
    EXPECT_EQ("00 00 00 07", mnettest::hex(mnettest::rawReceive(nFirst, 4)));
    EXPECT_TIMED_OUT("MirelConnection::get: failed read", [&] { spClient->receiveShort(); });
    EXPECT_TRUE(mnettest::rawReceive(nFirst, 1, 2000).empty()) << "the client has hung up";
    ::close(nFirst);

    spClient->transfer(8);
    int nSecond = acceptRaw();
    EXPECT_EQ("00 00 00 08", mnettest::hex(mnettest::rawReceive(nSecond, 4)));
    ASSERT_TRUE(mnettest::rawSendAll(nSecond, mnettest::bigEndian(9)));
    EXPECT_EQ(9, spClient->receiveInt());
    EXPECT_EQ(kTimeoutMs, getTimeout(*spClient)) << "kept across re-establishment";
    ::close(nSecond);
}

// A client that stalls after half a value: the service's read ends, and the rest of the value
// that comes later is never read as the start of another.
TEST_P(Transport, AcceptedConnectionWhosePeerStallsMidValueFails) {
    int nPeer = m_bPipe ? mnettest::rawUnixConnect(m_pipe.sPath) : mnettest::rawTcpConnect(m_nPort);
    ASSERT_GE(nPeer, 0);
    MirelSmartPointer<MirelConnection> spService(accepted(acceptRaw()));
    setTimeout(*spService, kTimeoutMs);
    ASSERT_TRUE(mnettest::rawSendAll(nPeer, Bytes{0, 0}));
    EXPECT_TIMED_OUT("MirelConnection::get: failed read", [&] { spService->receiveInt(); });
    EXPECT_TRUE(mnettest::rawReceive(nPeer, 1, 2000).empty()) << "the service has hung up";
    mnettest::rawSendAll(nPeer, Bytes{0, 5, 0, 0});
    MirelException e = mnettest::catchOf([&] { spService->receiveInt(); });
    EXPECT_EQ(ENOTCONN, e.getCode()) << "read a value from the middle of the stream";
    ::close(nPeer);
}

// A listener whose accept queue is full holds a connect until the time-out.
TEST_P(Transport, ConnectToAFullAcceptQueueFails) {
    ASSERT_EQ(0, ::listen(m_nListener, 0));
    // One queued connection fills a queue of backlog 0.
    int nQueued =
        m_bPipe ? mnettest::rawUnixConnect(m_pipe.sPath) : mnettest::rawTcpConnect(m_nPort);
    ASSERT_GE(nQueued, 0);
    MirelSmartPointer<MirelConnection> spClient(client());
    setTimeout(*spClient, kTimeoutMs);
    EXPECT_TIMED_OUT(establishFailed(), [&] { spClient->transfer(1); });
    ::close(nQueued);
}

INSTANTIATE_TEST_SUITE_P(Transports, Transport, ::testing::Values("pipe", "socket"));

// A wait that sees no client ends with 110; the server stays open and the next wait serves.
TEST(ServerWaitTimeout, NoClientThrowsAndTheNextWaitServes) {
    int nPort = mnettest::freeTcpPort();
    ASSERT_GT(nPort, 0);
    MirelSmartPointer<MirelServerSocket> spTcp(new MirelServerSocket(nPort, 5, "127.0.0.1"));
    mnettest::PipeName pipe("waittimeout");
    MirelSmartPointer<MirelPipeServer> spPipe(new MirelPipeServer(pipe.sName));
    spTcp->setWaitTimeout(200);
    spPipe->setWaitTimeout(200);
    EXPECT_EQ(200, spTcp->getWaitTimeout());
    struct Case {
        MirelIPCServer* pServer;
        const char* pszText;
        std::function<int()> connect;
    };
    std::vector<Case> cases = {
        {spTcp.operator->(),
         "MirelServerSocket::waitForClient: no client within the wait time-out.",
         [&] { return mnettest::rawTcpConnect(nPort); }}};
    if (mnettest::sharedServiceDirUsable(nullptr)) {
        cases.push_back({spPipe.operator->(),
                         "MirelPipeServer::waitForClient: no client within the wait time-out.",
                         [&] { return mnettest::rawUnixConnect(pipe.sPath); }});
    }
    for (const Case& c : cases) {
        double dMs = 0;
        MirelException e = timed([&] { c.pServer->waitForClient(false); }, &dMs);
        EXPECT_EQ(std::string(c.pszText), e.getText());
        EXPECT_EQ(ETIMEDOUT, e.getCode());
        EXPECT_TRUE(dMs >= 150 && dMs < kLatestMs) << dMs << " ms";
        int nClient = c.connect();
        ASSERT_GE(nClient, 0);
        MirelSmartPointer<MirelConnection> spAccepted = c.pServer->waitForClient(false);
        EXPECT_TRUE(spAccepted) << c.pszText;
        ::close(nClient);
    }
}
