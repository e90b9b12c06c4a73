// MirelServerSocket over real loopback TCP: opening, waiting, closing from other threads.
#include "MirelServerSocket.hpp"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "MirelLogging.hpp"
#include "MirelSocketConnection.hpp"
#include "TestSupport.hpp"

using MirelNet::MirelConnection;
using MirelNet::MirelServerSocket;
using MirelNet::MirelSocketConnection;
using MirelSupport::MirelException;
using MirelSupport::MirelSmartPointer;

namespace {

// Lets a test open the server directly and see the open flag without blocking on it.
class TestServer : public MirelServerSocket {
public:
    explicit TestServer(int nPort, const char* pszBindAddress = "127.0.0.1", int nBacklog = 5)
        : MirelServerSocket(nPort, nBacklog, pszBindAddress) {}
    void open() { init(); }
    bool isOpen() const { return m_bInitialized; }
};
typedef MirelSmartPointer<TestServer> Server;
typedef MirelSmartPointer<MirelConnection> Connection;

using mnettest::Background;

// One waitForClient on its own thread, with its outcome.
struct Wait {
    explicit Wait(MirelServerSocket* pServer, bool bIdentify = false)
        : nCode(0), bThrew(false), background([this, pServer, bIdentify] {
              try {
                  spConnection = pServer->waitForClient(bIdentify);
              } catch (const MirelException& e) {
                  sText = e.getText();
                  nCode = e.getCode();
                  bThrew = true;
              }
          }) {}
    Connection spConnection;
    std::string sText;
    int nCode;
    bool bThrew;
    Background background;
};

// The wait for a client that is already pending; a wait that blocks ends the program.
Connection acceptPending(MirelServerSocket& server, bool bIdentify = false) {
    Wait wait(&server, bIdentify);
    wait.background.finish();
    EXPECT_FALSE(wait.bThrew) << wait.sText;
    return wait.spConnection;
}

// Waits until the waiting thread has logged (at level 5) that it is ready: it is then inside
// the wait, past the point where close could miss it.
void startWaiting(const mnettest::LogCapture& log) {
    ASSERT_TRUE(log.waitFor(" ready, accepting connections..."));
}

int socketFd(MirelConnection& connection) {
    void* pCell = dynamic_cast<MirelSocketConnection&>(connection).getSocket();
    return pCell ? *static_cast<int*>(pCell) : -1;
}

// A raw client whose source address is pszFrom.
int connectFrom(const char* pszFrom, int nPort) {
    int nFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = ::inet_addr(pszFrom);
    if (::bind(nFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(nFd);
        return -1;
    }
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(nPort));
    if (::connect(nFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(nFd);
        return -1;
    }
    return nFd;
}

using mnettest::DescriptorFiller;
typedef mnettest::LogCapture CapturedLog;

std::atomic<int> g_nSignals(0);

}  // namespace

TEST(MirelServerSocket, CloseFromAnotherThreadEndsWaitWithoutException) {
    const struct {
        const char* pszBindAddress;
        bool bFixedPort;
    } cases[] = {
        {"*", true}, {"127.0.0.1", true}, {"127.0.0.2", true}, {"127.0.0.1", false}, {"*", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.pszBindAddress) + (c.bFixedPort ? " fixed port" : " port 0"));
        CapturedLog log(5);
        Server spServer(
            new TestServer(c.bFixedPort ? mnettest::freeTcpPort() : 0, c.pszBindAddress));
        Wait wait(spServer);
        startWaiting(log);
        spServer->close();
        ASSERT_TRUE(wait.background.finish(2000)) << "close did not end the wait";
        EXPECT_FALSE(wait.bThrew) << wait.sText;
        EXPECT_FALSE(wait.spConnection);
        EXPECT_FALSE(spServer->isOpen());
    }
}

TEST(MirelServerSocket, DestroyingServerWhileAThreadWaitsLetsTheThreadLeaveFirst) {
    CapturedLog log(5);
    Server spServer(new TestServer(0));
    Wait wait(spServer);
    startWaiting(log);
    Background destroy([&] { spServer = nullptr; });
    ASSERT_TRUE(destroy.finish(2000)) << "destruction hung";
    ASSERT_TRUE(wait.background.finish(2000));
    EXPECT_FALSE(wait.bThrew);
    EXPECT_FALSE(wait.spConnection);
}

TEST(MirelServerSocket, ShutDownEndsTheWaitAndEveryLaterWaitWithoutOpeningAgain) {
    CapturedLog log(5);
    Server spServer(new TestServer(0));
    {
        Wait wait(spServer);
        startWaiting(log);
        spServer->shutDown();
        ASSERT_TRUE(wait.background.finish(2000)) << "shutDown did not end the wait";
        EXPECT_FALSE(wait.bThrew) << wait.sText;
        EXPECT_FALSE(wait.spConnection);
    }
    for (int i = 0; i < 3; ++i) {
        Wait later(spServer);
        ASSERT_TRUE(later.background.finish(2000)) << "a wait after shutDown blocked";
        EXPECT_FALSE(later.bThrew) << later.sText;
        EXPECT_FALSE(later.spConnection);
        EXPECT_FALSE(spServer->isOpen());
    }
    Background init([&] { spServer->waitForInit(); });
    EXPECT_TRUE(init.finish(2000)) << "waitForInit waits for an opening that never comes";
    spServer->close();
    spServer->shutDown();
}

TEST(MirelServerSocket, AcceptedConnectionCarriesValuesAndKnowsItsServer) {
    int nPort = mnettest::freeTcpPort();
    Server spServer(new TestServer(nPort));
    Wait wait(spServer);
    MirelSmartPointer<MirelSocketConnection> spClient(
        new MirelSocketConnection("127.0.0.1", nPort, false, false));
    ASSERT_TRUE(mnettest::waitUntil([&] { return spServer->isOpen(); }));
    spClient->transfer(MirelSupport::MirelString("hello"));
    ASSERT_TRUE(wait.background.finish());
    ASSERT_TRUE(wait.spConnection);
    Connection spAccepted = wait.spConnection;
    EXPECT_EQ("hello", spAccepted->receiveString());
    spAccepted->transferACK();
    EXPECT_EQ(1, spClient->receiveShort());
    EXPECT_EQ(0, spClient->receiveShort());

    EXPECT_EQ("", spAccepted->getRemoteName());
    EXPECT_EQ(std::to_string(nPort), spAccepted->getPortName());
    EXPECT_EQ("0", spClient->getPortName());
    EXPECT_EQ("127.0.0.1", spAccepted->getServerName());
    EXPECT_TRUE(spAccepted->getLocalAccess());
    spServer = nullptr;
    EXPECT_EQ(std::to_string(nPort), spAccepted->getPortName()) << "the port outlives the server";
}

TEST(MirelServerSocket, IdentifyNamesTheClientHost) {
    Server spServer(new TestServer(mnettest::freeTcpPort()));
    spServer->open();
    int nClient = mnettest::rawTcpConnect(spServer->getPort());
    Connection spAccepted = acceptPending(*spServer, true);
    ASSERT_TRUE(spAccepted);
    in_addr loopback;
    loopback.s_addr = htonl(INADDR_LOOPBACK);
    hostent* pEntry = ::gethostbyaddr(&loopback, sizeof loopback, AF_INET);
    ASSERT_NE(nullptr, pEntry);
    EXPECT_EQ(pEntry->h_name, spAccepted->getRemoteName());
    ::close(nClient);
}

TEST(MirelServerSocket, LocalAccessOnlyFor127001) {
    Server spServer(new TestServer(mnettest::freeTcpPort(), "*"));
    spServer->open();
    int nFromOne = connectFrom("127.0.0.1", spServer->getPort());
    Connection spFromOne = acceptPending(*spServer);
    int nFromTwo = connectFrom("127.0.0.2", spServer->getPort());
    ASSERT_GE(nFromTwo, 0);
    Connection spFromTwo = acceptPending(*spServer, true);
    ASSERT_TRUE(spFromOne && spFromTwo);
    EXPECT_TRUE(spFromOne->getLocalAccess());
    EXPECT_FALSE(spFromTwo->getLocalAccess());
    EXPECT_EQ("", spFromTwo->getRemoteName()) << "no reverse entry: the name stays empty";
    ::close(nFromOne);
    ::close(nFromTwo);
}

TEST(MirelServerSocket, AcceptedSocketSwitchesNagleOffBeforeItsSecondSend) {
    Server spServer(new TestServer(mnettest::freeTcpPort()));
    spServer->open();
    int nClient = mnettest::rawTcpConnect(spServer->getPort());
    Connection spAccepted = acceptPending(*spServer);
    ASSERT_TRUE(spAccepted);
    auto noDelay = [&spAccepted]() {
        int nValue = 0;
        socklen_t nLength = sizeof nValue;
        ::getsockopt(socketFd(*spAccepted), IPPROTO_TCP, TCP_NODELAY, &nValue, &nLength);
        return nValue;
    };
    EXPECT_EQ(0, noDelay()) << "one that reads a message and closes never needs it";
    spAccepted->transferACK();
    EXPECT_EQ(0, noDelay());
    spAccepted->transferACK();
    EXPECT_NE(0, noDelay());
    ::close(nClient);
}

TEST(MirelServerSocket, SetPortTakesEffectOnlyWhileClosed) {
    int nFirst = mnettest::freeTcpPort();
    Server spServer(new TestServer(0));
    spServer->setPort(nFirst);
    EXPECT_EQ(nFirst, spServer->getPort());
    spServer->open();
    spServer->setPort(nFirst + 1);
    EXPECT_EQ(nFirst, spServer->getPort()) << "changed while open";
    spServer->close();

    int nSecond = mnettest::freeTcpPort();
    spServer->setPort(nSecond);
    spServer->open();
    int nClient = mnettest::rawTcpConnect(nSecond);
    EXPECT_GE(nClient, 0) << "the next opening did not use the new port";
    ::close(nClient);
}

TEST(MirelServerSocket, OpeningTwiceKeepsTheFirstSocket) {
    Server spServer(new TestServer(mnettest::freeTcpPort()));
    spServer->open();
    int nFds = mnettest::countOpenFds();
    spServer->open();
    EXPECT_EQ(nFds, mnettest::countOpenFds());
    int nClient = mnettest::rawTcpConnect(spServer->getPort());
    EXPECT_TRUE(acceptPending(*spServer)) << "a second wait must not re-bind";
    ::close(nClient);
}

TEST(MirelServerSocket, BindFailureIsThrownByWaitAndLeavesServerClosed) {
    int nPort = 0;
    int nTaken = mnettest::rawTcpListen(&nPort);
    Server spServer(new TestServer(nPort));
    int nFds = mnettest::countOpenFds();
    {
        Wait wait(spServer);
        ASSERT_TRUE(wait.background.finish());
        EXPECT_TRUE(wait.bThrew) << "bound a port that is in use";
        EXPECT_EQ("MirelServerSocket::init: failed to bind socket.", wait.sText);
        EXPECT_EQ(EADDRINUSE, wait.nCode);
    }
    EXPECT_FALSE(spServer->isOpen());
    EXPECT_EQ(nFds, mnettest::countOpenFds());
    ::close(nTaken);
}

TEST(MirelServerSocket, OpeningLogsTheBoundAddressAndTheConfiguredPort) {
    CapturedLog log(5);
    int nPort = mnettest::freeTcpPort();
    Server spAll(new TestServer(nPort, "*"));
    spAll->open();
    Server spPortZero(new TestServer(0, "127.0.0.1"));
    spPortZero->open();
    EXPECT_EQ(0, spPortZero->getPort());
    EXPECT_EQ(1u, log.linesWith("MirelServerSocket::init: Using IP Address 0.0.0.0 Port: " +
                                std::to_string(nPort))
                      .size());
    EXPECT_EQ(1u,
              log.linesWith("MirelServerSocket::init: Using IP Address 127.0.0.1 Port: 0").size());
}

TEST(MirelServerSocket, BindAddressIsNotResolved) {
    int nPort = mnettest::freeTcpPort();
    Server spServer(new TestServer(nPort, "localhost"));
    try {
        spServer->open();  // binds 255.255.255.255; some systems refuse that
    } catch (const MirelException& e) {
        EXPECT_EQ("MirelServerSocket::init: failed to bind socket.", e.getText());
        EXPECT_NE(0, e.getCode());
        return;
    }
    int nClient = mnettest::rawTcpConnect(nPort);
    EXPECT_EQ(-1, nClient) << "the bind address was resolved to the loopback address";
    ::close(nClient);
}

TEST(MirelServerSocket, CloseIsHarmlessWhenNeverOpenedOrRepeated) {
    Server spServer(new TestServer(mnettest::freeTcpPort()));
    spServer->close();
    spServer->open();
    spServer->close();
    spServer->close();
    EXPECT_FALSE(spServer->isOpen());
    EXPECT_EQ("127.0.0.1", spServer->getBindAddress());
}

TEST(MirelServerSocket, WaitAfterCloseReopensOnTheSamePortAndWaitForInitFollowsIt) {
    int nPort = mnettest::freeTcpPort();
    Server spServer(new TestServer(nPort));
    for (int nRound = 0; nRound < 2; ++nRound) {
        SCOPED_TRACE(nRound);
        Wait wait(spServer);
        Background init([&] { spServer->waitForInit(); });
        ASSERT_TRUE(init.finish());
        int nClient = mnettest::rawTcpConnect(nPort);
        ASSERT_GE(nClient, 0);
        ASSERT_TRUE(wait.background.finish());
        ASSERT_TRUE(wait.spConnection);
        ::close(nClient);  // the client closes first: the port is not held in TIME_WAIT
        mnettest::waitUntil([&] {
            char c;
            int nSize = 1;
            int nCode = 0;
            return !wait.spConnection->peekBytes(&c, nSize, nCode);
        });
        wait.spConnection = nullptr;
        spServer->close();

        Background initAfterClose([&] { spServer->waitForInit(); });
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_FALSE(initAfterClose.done()) << "waitForInit returned for a closed server";
        Wait reopen(spServer);
        ASSERT_TRUE(initAfterClose.finish());
        spServer->close();
        ASSERT_TRUE(reopen.background.finish());
    }
}

TEST(MirelServerSocket, ReadinessIsLoggedOncePerOpeningNotPerClient) {
    CapturedLog log(5);
    Server spServer(new TestServer(mnettest::freeTcpPort()));
    for (int nOpening = 1; nOpening <= 2; ++nOpening) {
        for (int nClient = 0; nClient < 3; ++nClient) {
            Wait wait(spServer);
            ASSERT_TRUE(mnettest::waitUntil([&] { return spServer->isOpen(); }));
            int nFd = mnettest::rawTcpConnect(spServer->getPort());
            ASSERT_TRUE(wait.background.finish());
            EXPECT_TRUE(wait.spConnection);
            ::close(nFd);
        }
        EXPECT_EQ(nOpening, log.count(" ready, accepting connections..."));
        spServer->close();
    }
}

TEST(MirelServerSocket, SignalDuringWaitKeepsWaiting) {
    struct sigaction action, previous;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = [](int) { ++g_nSignals; };
    ::sigaction(SIGUSR1, &action, &previous);
    CapturedLog log(5);
    Server spServer(new TestServer(mnettest::freeTcpPort()));
    Wait wait(spServer);
    startWaiting(log);
    int nBefore = g_nSignals;
    wait.background.interrupt();
    ASSERT_TRUE(mnettest::waitUntil([&] { return g_nSignals > nBefore; }));
    EXPECT_FALSE(wait.background.finish(100)) << "a signal ended the wait";
    int nClient = mnettest::rawTcpConnect(spServer->getPort());
    ASSERT_TRUE(wait.background.finish());
    EXPECT_TRUE(wait.spConnection);
    ::close(nClient);
    ::sigaction(SIGUSR1, &previous, 0);
}

TEST(MirelServerSocket, AcceptFailuresArePacedLoggedOnceAndServiceResumes) {
    CapturedLog log(5);
    Server spServer(new TestServer(mnettest::freeTcpPort()));
    spServer->open();
    int nClient =
        ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);  // made before the table is full
    Wait wait(spServer);
    startWaiting(log);
    {
        DescriptorFiller filler;
        ASSERT_TRUE(mnettest::connectInet(nClient, spServer->getPort()));
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        EXPECT_FALSE(wait.background.done());
    }
    ASSERT_TRUE(wait.background.finish());
    EXPECT_TRUE(wait.spConnection) << "service did not resume";

    std::vector<std::string> records =
        log.linesWith("MirelServerSocket::waitForClient: socket connection error. 24");
    ASSERT_EQ(1u, records.size()) << "one record per burst";
    std::size_t nAt = records[0].find("count ");
    ASSERT_NE(std::string::npos, nAt) << records[0];
    int nTries = std::atoi(records[0].c_str() + nAt + 6);
    EXPECT_GE(nTries, 3) << records[0];
    EXPECT_LE(nTries, 40) << "retried without pause: " << records[0];
    ::close(nClient);
}

TEST(MirelServerSocket, CloseEndsARetryPauseAtOnce) {
    CapturedLog log(5);
    Server spServer(new TestServer(mnettest::freeTcpPort()));
    spServer->open();
    int nClient = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    Wait wait(spServer);
    startWaiting(log);
    DescriptorFiller filler;
    ASSERT_TRUE(mnettest::connectInet(nClient, spServer->getPort()));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // pauses have reached 100 ms
    spServer->close();
    EXPECT_TRUE(wait.background.finish(80)) << "close waited for the pause";
    filler.release();
    ASSERT_TRUE(wait.background.finish());
    EXPECT_FALSE(wait.spConnection);
    EXPECT_FALSE(wait.bThrew);
    ::close(nClient);
}

TEST(MirelServerSocket, NoDescriptorLeaksOverManyRounds) {
    int nPort = mnettest::freeTcpPort();
    Server spServer(new TestServer(nPort));
    int nFds = mnettest::countOpenFds();
    for (int nRound = 0; nRound < 300; ++nRound) {
        spServer->open();
        MirelSmartPointer<MirelSocketConnection> spClient(
            new MirelSocketConnection("127.0.0.1", nPort, false, false));
        spClient->transfer(nRound);
        Connection spAccepted = acceptPending(*spServer);
        ASSERT_TRUE(spAccepted);
        ASSERT_EQ(nRound, spAccepted->receiveInt());
        spClient = nullptr;
        spAccepted = nullptr;
        if (nRound % 50 == 49) {
            spServer->close();
        }
    }
    spServer->close();
    EXPECT_EQ(nFds, mnettest::countOpenFds());
}

TEST(MirelServerSocket, CloseRacingAnArrivingClientLeaksNothing) {
    Server spServer(new TestServer(0));
    int nFds = mnettest::countOpenFds();
    for (int nRound = 0; nRound < 400; ++nRound) {
        int nPort = 0;
        {
            int nProbe = mnettest::rawTcpListen(&nPort);
            ::close(nProbe);
        }
        spServer->setPort(nPort);
        Wait wait(spServer);
        ASSERT_TRUE(mnettest::waitUntil([&] { return spServer->isOpen(); }));
        int nClient = mnettest::rawTcpConnect(nPort);
        spServer->close();
        ASSERT_TRUE(wait.background.finish());
        EXPECT_FALSE(wait.bThrew);
        wait.spConnection = nullptr;
        ::close(nClient);
    }
    EXPECT_EQ(nFds, mnettest::countOpenFds());
}
