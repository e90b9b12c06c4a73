// Closing a server while another thread waits in it, a thousand rounds per server, with random
// short delays on both sides and clients racing in: every wait returns (empty, or with the
// client that raced in), nothing crashes, and no descriptor stays open afterwards.
//
// The delays come from one seeded generator; the seed is printed, and MNET_STRESS_SEED=<seed>
// replays a failing run.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <thread>

#include "MirelCertificate.hpp"
#include "MirelPipeServer.hpp"
#include "MirelSSLServerSocket.hpp"
#include "MirelServerSocket.hpp"
#include "MirelUDPServerSocket.hpp"
#include "TestSupport.hpp"

using MirelNet::MirelCertificate;
using MirelNet::MirelConnection;
using MirelNet::MirelIPCServer;
using MirelNet::MirelPipeServer;
using MirelNet::MirelServerSocket;
using MirelNet::MirelSSLServerSocket;
using MirelNet::MirelUDPServerSocket;
using MirelSupport::MirelException;
using MirelSupport::MirelSmartPointer;
using MirelSupport::MirelString;
using mnettest::Bytes;

namespace {

const int kRounds = 1000;
const int kShutRounds = 300;
const int kLongestDelayUs = 300;
const int kRoundTimeoutMs = 10000;

unsigned int stressSeed() {
    const char* pszSeed = std::getenv("MNET_STRESS_SEED");
    unsigned int nSeed =
        pszSeed ? static_cast<unsigned int>(std::strtoul(pszSeed, 0, 10)) : std::random_device()();
    std::printf("stress seed %u (MNET_STRESS_SEED=%u replays it)\n", nSeed, nSeed);
    std::fflush(stdout);
    ::testing::Test::RecordProperty("seed", std::to_string(nSeed));
    return nSeed;
}

// Waits nUs microseconds; short delays spin, since a sleep cannot be that short.
void delayUs(int nUs) {
    if (nUs <= 0) {
        return;
    }
    auto end = std::chrono::steady_clock::now() + std::chrono::microseconds(nUs);
    if (nUs >= 80) {
        std::this_thread::sleep_until(end);
        return;
    }
    while (std::chrono::steady_clock::now() < end) {
    }
}

// A thread that runs one waitForClient per round, after the round's delay.
class Waiter {
public:
    explicit Waiter(MirelIPCServer& server) : m_server(server), m_thread([this] { loop(); }) {}
    ~Waiter() {
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            m_bQuit = true;
        }
        m_changed.notify_all();
        m_thread.join();
    }
    void start(int nDelayUs) {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_nDelayUs = nDelayUs;
        m_bDone = false;
        m_bThrew = false;
        m_spConnection = nullptr;
        ++m_nRound;
        m_changed.notify_all();
    }
    // True once this round's wait has returned.
    bool finished(int nTimeoutMs) {
        std::unique_lock<std::mutex> guard(m_mutex);
        return m_changed.wait_for(guard, std::chrono::milliseconds(nTimeoutMs),
                                  [this] { return m_bDone; });
    }
    // The round's outcome; call only once finished.
    MirelSmartPointer<MirelConnection> m_spConnection;
    bool m_bThrew = false;
    MirelString m_sText;
    int m_nCode = 0;

private:
    void loop() {
        int nSeen = 0;
        for (;;) {
            int nDelayUs = 0;
            {
                std::unique_lock<std::mutex> guard(m_mutex);
                m_changed.wait(guard, [&] { return m_bQuit || m_nRound != nSeen; });
                if (m_bQuit) {
                    return;
                }
                nSeen = m_nRound;
                nDelayUs = m_nDelayUs;
            }
            delayUs(nDelayUs);
            MirelSmartPointer<MirelConnection> spConnection;
            bool bThrew = false;
            MirelString sText;
            int nCode = 0;
            try {
                spConnection = m_server.waitForClient(false);
            } catch (const MirelException& e) {
                bThrew = true;
                sText = e.getText();
                nCode = e.getCode();
            }
            std::lock_guard<std::mutex> guard(m_mutex);
            m_spConnection = spConnection;
            m_bThrew = bThrew;
            m_sText = sText;
            m_nCode = nCode;
            m_bDone = true;
            m_changed.notify_all();
        }
    }

    MirelIPCServer& m_server;
    std::mutex m_mutex;  // guards every member below it and the outcome above
    std::condition_variable m_changed;
    int m_nRound = 0;
    int m_nDelayUs = 0;
    bool m_bDone = false;
    bool m_bQuit = false;
    std::thread m_thread;
};

// How a round's client reaches the server: returns a descriptor (or -1) after sending the
// round number as a 4-byte value where it could.
typedef std::function<int(int nRound)> ClientFn;

Bytes roundBytes(int nRound) {
    uint32_t nWire = htonl(static_cast<uint32_t>(nRound));
    const unsigned char* p = reinterpret_cast<const unsigned char*>(&nWire);
    return Bytes(p, p + 4);
}

struct Tally {
    int nEmpty = 0;
    int nConnections = 0;
    int nRepeatedCloses = 0;
    int nPortTaken = 0;
};

// kRounds rounds of: the waiter starts its wait after a random delay; this thread waits a random
// delay, maybe lets a client race in (before or after the close), closes, and closes again until
// the wait has returned (a close that came before the wait opened the server is undone by that
// opening). pfnNewPort, when given, moves a TCP or UDP server whose port another process took
// meanwhile.
void closeWhileWaiting(MirelIPCServer& server, const ClientFn& client,
                       const std::function<void()>& fnNewPort, Tally* pTally) {
    std::mt19937 random(stressSeed());
    std::uniform_int_distribution<int> delay(0, kLongestDelayUs);
    std::uniform_int_distribution<int> clientChoice(0, 3);  // 0, 1: none; 2: before close; 3: after
    Waiter waiter(server);
    for (int nRound = 0; nRound < kRounds; ++nRound) {
        int nWaiterDelayUs = delay(random);
        int nCloserDelayUs = delay(random);
        int nClientChoice = client ? clientChoice(random) : 0;
        waiter.start(nWaiterDelayUs);
        delayUs(nCloserDelayUs);
        int nClient = -1;
        if (nClientChoice == 2) {
            nClient = client(nRound);
        }
        server.close();
        if (nClientChoice == 3) {
            nClient = client(nRound);
        }
        auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(kRoundTimeoutMs);
        bool bRepeated = false;
        while (!waiter.finished(2)) {
            if (std::chrono::steady_clock::now() > deadline) {
                std::fprintf(
                    stderr,
                    "round %d: the wait did not return within %d ms; closes do not reach it\n",
                    nRound, kRoundTimeoutMs);
                std::fflush(stderr);
                std::_Exit(3);  // the waiting thread still uses the server: no clean way out
            }
            server.close();
            bRepeated = true;
        }
        pTally->nRepeatedCloses += bRepeated ? 1 : 0;
        if (waiter.m_bThrew) {
            // Another process may take the port in the moment the server is closed.
            if (fnNewPort && waiter.m_nCode == EADDRINUSE && pTally->nPortTaken < 5) {
                ++pTally->nPortTaken;
                fnNewPort();
            } else {
                ADD_FAILURE() << "round " << nRound << ": the wait threw " << waiter.m_sText << " ("
                              << waiter.m_nCode << ")";
            }
        } else if (waiter.m_spConnection) {
            ++pTally->nConnections;
            EXPECT_GE(nClient, 0) << "round " << nRound << ": a connection without a client";
            if (nClient >= 0) {
                EXPECT_EQ(nRound, waiter.m_spConnection->receiveInt()) << "round " << nRound;
            }
        } else {
            ++pTally->nEmpty;
        }
        if (nClient >= 0) {
            mnettest::rawReset(nClient);  // no TIME_WAIT on the server's port
        }
        waiter.m_spConnection = nullptr;
        if (::testing::Test::HasFailure()) {
            std::printf("first failure in round %d\n", nRound);
            break;
        }
    }
    std::printf(
        "%d empty, %d with a client, %d needed more than one close, %d with the port taken\n",
        pTally->nEmpty, pTally->nConnections, pTally->nRepeatedCloses, pTally->nPortTaken);
}

// kShutRounds rounds of: a fresh closed server, a wait that starts after a random delay (and so
// opens the server again, or finds it shut), and one shutDown after another random delay. The
// wait must return empty with no second call, whichever came first.
void shutDownWhileAWaitStarts(const std::function<MirelSmartPointer<MirelIPCServer>()>& fnNew,
                              const std::function<void(MirelIPCServer&)>& fnShutDown) {
    std::mt19937 random(stressSeed());
    std::uniform_int_distribution<int> delay(0, kLongestDelayUs);
    for (int nRound = 0; nRound < kShutRounds; ++nRound) {
        MirelSmartPointer<MirelIPCServer> spServer = fnNew();
        spServer->close();
        Waiter waiter(*spServer);
        waiter.start(delay(random));
        delayUs(delay(random));
        fnShutDown(*spServer);
        if (!waiter.finished(kRoundTimeoutMs)) {
            std::fprintf(stderr, "round %d: the wait did not return after shutDown\n", nRound);
            std::fflush(stderr);
            std::_Exit(3);  // the waiting thread still uses the server: no clean way out
        }
        EXPECT_FALSE(waiter.m_bThrew) << "round " << nRound << ": " << waiter.m_sText;
        EXPECT_FALSE(waiter.m_spConnection) << "round " << nRound;
        if (::testing::Test::HasFailure()) {
            std::printf("first failure in round %d\n", nRound);
            break;
        }
    }
}

int tcpClient(int nPort, int nRound) {
    int nFd = mnettest::rawTcpConnect(nPort);
    if (nFd >= 0 && !mnettest::rawSendAll(nFd, roundBytes(nRound))) {
        ::close(nFd);
        return -1;
    }
    return nFd;
}

}  // namespace

TEST(ServerCloseStress, PipeServerClosedWhileWaiting) {
    MNET_REQUIRE_SHARED_DIR();
    const std::string sName = mnettest::uniqueName("closestress");
    const std::string sPath = MirelPipeServer::getFullPipeName(sName);
    int nFds = mnettest::countOpenFds();
    Tally tally;
    {
        MirelSmartPointer<MirelPipeServer> spServer(new MirelPipeServer(sName));
        closeWhileWaiting(
            *spServer,
            [&](int nRound) {
                int nFd = mnettest::rawUnixConnect(sPath);
                if (nFd >= 0 && !mnettest::rawSendAll(nFd, roundBytes(nRound))) {
                    ::close(nFd);
                    return -1;
                }
                return nFd;
            },
            std::function<void()>(), &tally);
    }
    EXPECT_GT(tally.nEmpty, 0);
    EXPECT_EQ(nFds, mnettest::countOpenFds());
    ::unlink(sPath.c_str());
}

TEST(ServerCloseStress, TcpServerClosedWhileWaiting) {
    int nFds = mnettest::countOpenFds();
    Tally tally;
    {
        int nPort = mnettest::freeTcpPort();
        MirelSmartPointer<MirelServerSocket> spServer(new MirelServerSocket(nPort, 5, "127.0.0.1"));
        closeWhileWaiting(
            *spServer, [&](int nRound) { return tcpClient(nPort, nRound); },
            [&] {
                nPort = mnettest::freeTcpPort();
                spServer->setPort(nPort);
            },
            &tally);
    }
    EXPECT_GT(tally.nEmpty, 0);
    EXPECT_EQ(nFds, mnettest::countOpenFds());
}

TEST(ServerCloseStress, UdpServerClosedWhileWaiting) {
    int nFds = mnettest::countOpenFds();
    Tally tally;
    {
        int nPort = mnettest::freeUdpPort();
        MirelSmartPointer<MirelUDPServerSocket> spServer(
            new MirelUDPServerSocket(nPort, "127.0.0.1", 64));
        int nSender = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(nSender, 0);
        closeWhileWaiting(
            *spServer,
            [&](int nRound) {
                sockaddr_in to;
                std::memset(&to, 0, sizeof to);
                to.sin_family = AF_INET;
                to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
                to.sin_port = htons(static_cast<uint16_t>(nPort));
                Bytes bytes = roundBytes(nRound);
                ::sendto(nSender, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to),
                         sizeof to);
                return ::dup(nSender);  // stands for the client; reset at the end of the round
            },
            [&] {
                nPort = mnettest::freeUdpPort();
                spServer->setPort(nPort);
            },
            &tally);
        ::close(nSender);
    }
    EXPECT_GT(tally.nEmpty, 0);
    EXPECT_EQ(nFds, mnettest::countOpenFds());
}

TEST(ServerCloseStress, SslServerClosedWhileWaiting) {
    int nFds = mnettest::countOpenFds();
    Tally tally;
    {
        MirelCertificate certificate("cert.pem", "PEM", "key.pem", "PEM");
        MirelSmartPointer<MirelSSLServerSocket> spServer(
            new MirelSSLServerSocket(mnettest::freeTcpPort(), certificate, 5, "127.0.0.1"));
        closeWhileWaiting(*spServer, ClientFn(), std::function<void()>(), &tally);
    }
    EXPECT_EQ(kRounds, tally.nEmpty);
    EXPECT_EQ(nFds, mnettest::countOpenFds());
}

TEST(ServerCloseStress, ShutDownWhileAWaitStartsNeedsOneCall) {
    MNET_REQUIRE_SHARED_DIR();
    const std::string sName = mnettest::uniqueName("shutstress");
    int nFds = mnettest::countOpenFds();
    shutDownWhileAWaitStarts(
        [&] { return MirelSmartPointer<MirelIPCServer>(new MirelPipeServer(sName)); },
        [](MirelIPCServer& server) { static_cast<MirelPipeServer&>(server).shutDown(); });
    shutDownWhileAWaitStarts(
        [] { return MirelSmartPointer<MirelIPCServer>(new MirelServerSocket(0, 5, "127.0.0.1")); },
        [](MirelIPCServer& server) { static_cast<MirelServerSocket&>(server).shutDown(); });
    shutDownWhileAWaitStarts(
        [] {
            return MirelSmartPointer<MirelIPCServer>(new MirelUDPServerSocket(0, "127.0.0.1", 64));
        },
        [](MirelIPCServer& server) { static_cast<MirelServerSocket&>(server).shutDown(); });
    EXPECT_EQ(nFds, mnettest::countOpenFds());
    ::unlink(MirelPipeServer::getFullPipeName(sName).c_str());
}
