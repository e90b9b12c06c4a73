// A process whose descriptor table is full: every opening fails with its own text and EMFILE,
// a server whose accept fails waits without spinning (its CPU time while starved is a small
// share of the wall time), and service resumes as soon as descriptors are free again. Each
// case runs in a forked child with a lowered RLIMIT_NOFILE.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "MirelLibraryCallbackSink.hpp"
#include "MirelLogging.hpp"
#include "MirelPipeConnection.hpp"
#include "MirelPipeServer.hpp"
#include "MirelServerSocket.hpp"
#include "MirelSocketConnection.hpp"
#include "MirelUDPServerSocket.hpp"
#include "MirelUDPSocketConnection.hpp"
#include "TestSupport.hpp"

using MirelNet::MirelConnection;
using MirelNet::MirelLibraryCallbackSink;
using MirelNet::MirelPipeConnection;
using MirelNet::MirelPipeServer;
using MirelNet::MirelServerSocket;
using MirelNet::MirelSocketConnection;
using MirelNet::MirelUDPServerSocket;
using MirelNet::MirelUDPSocketConnection;
using MirelSupport::MirelException;
using MirelSupport::MirelSmartPointer;
using mnettest::Bytes;

namespace {

// Share of the wall time that a starved process may spend on the CPU; a retry loop without
// pauses takes all of it.
const double kMostCpuShare = 0.25;

typedef mnettest::DescriptorFiller Starvation;

double seconds(const timespec& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// The process's CPU time over nMs of this thread's sleep, as a share of the wall time; the
// getrusage figures go into *psReport.
double cpuShareWhileSleeping(int nMs, std::string* psReport) {
    timespec wall0, wall1, cpu0, cpu1;
    rusage usage0, usage1;
    ::clock_gettime(CLOCK_MONOTONIC, &wall0);
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu0);
    ::getrusage(RUSAGE_SELF, &usage0);
    std::this_thread::sleep_for(std::chrono::milliseconds(nMs));
    ::getrusage(RUSAGE_SELF, &usage1);
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu1);
    ::clock_gettime(CLOCK_MONOTONIC, &wall1);
    double dWall = seconds(wall1) - seconds(wall0);
    double dCpu = seconds(cpu1) - seconds(cpu0);
    long nRusageUs = (usage1.ru_utime.tv_sec - usage0.ru_utime.tv_sec + usage1.ru_stime.tv_sec -
                      usage0.ru_stime.tv_sec) *
                         1000000L +
                     (usage1.ru_utime.tv_usec - usage0.ru_utime.tv_usec) +
                     (usage1.ru_stime.tv_usec - usage0.ru_stime.tv_usec);
    char szLine[160];
    std::snprintf(szLine, sizeof szLine, "\n  starved for %.3f s: CPU %.3f s (getrusage %.3f s)",
                  dWall, dCpu, static_cast<double>(nRusageUs) / 1e6);
    *psReport += szLine;
    return dCpu / dWall;
}

// Collects the failed checks of a child.
class Checks {
public:
    explicit Checks(std::string& sReport) : m_sReport(sReport) {}
    void fail(const std::string& sWhat) {
        m_sReport += "\n  " + sWhat;
        ++m_nFailed;
    }
    void expect(bool bOk, const std::string& sWhat) {
        if (!bOk) {
            fail(sWhat);
        }
    }
    // fn must throw exactly sText with code nCode.
    void expectThrows(const std::function<void()>& fn, const std::string& sText, int nCode) {
        try {
            fn();
            fail("no exception, expected \"" + sText + "\"");
        } catch (const MirelException& e) {
            if (e.getText() != sText || e.getCode() != nCode) {
                fail("\"" + e.getText() + "\" (" + std::to_string(e.getCode()) + "), expected \"" +
                     sText + "\" (" + std::to_string(nCode) + ")");
            }
        }
    }
    // fn must not throw.
    void expectWorks(const std::function<void()>& fn, const std::string& sWhat) {
        try {
            fn();
        } catch (const MirelException& e) {
            fail(sWhat + ": \"" + e.getText() + "\" (" + std::to_string(e.getCode()) + ")");
        }
    }
    int result() const { return m_nFailed == 0 ? 0 : 1; }

private:
    std::string& m_sReport;
    int m_nFailed = 0;
};

// One waitForClient on a thread of its own.
class Wait {
public:
    explicit Wait(MirelNet::MirelIPCServer& server)
        : m_thread([this, &server] {
              MirelSmartPointer<MirelConnection> spConnection;
              std::string sError;
              try {
                  spConnection = server.waitForClient(false);
              } catch (const MirelException& e) {
                  sError = e.getText() + " (" + std::to_string(e.getCode()) + ")";
              }
              std::lock_guard<std::mutex> guard(m_mutex);
              m_spConnection = spConnection;
              m_sError = sError;
              m_bDone = true;
          }) {}
    ~Wait() { m_thread.join(); }
    bool done() {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_bDone;
    }
    // The connection once the wait returned within nTimeoutMs, else empty.
    MirelSmartPointer<MirelConnection> result(int nTimeoutMs, std::string* psError) {
        if (!mnettest::waitUntil([this] { return done(); }, nTimeoutMs)) {
            *psError = "the wait did not return";
            return MirelSmartPointer<MirelConnection>();
        }
        std::lock_guard<std::mutex> guard(m_mutex);
        *psError = m_sError;
        return m_spConnection;
    }

private:
    std::mutex m_mutex;  // guards the three members below
    MirelSmartPointer<MirelConnection> m_spConnection;
    std::string m_sError;
    bool m_bDone = false;
    std::thread m_thread;
};

using mnettest::bigEndian;
using mnettest::connectInet;
using mnettest::connectUnix;

void runStarved(const std::function<int(std::string&)>& body) {
    std::string sReport;
    int nResult = mnettest::runInChild(body, &sReport, 40000);
    if (nResult == 77) {
        GTEST_SKIP() << sReport;
    }
    EXPECT_EQ(0, nResult) << sReport;
    if (nResult == 0 && !sReport.empty()) {
        std::printf("%s\n", sReport.c_str() + sReport.find_first_not_of(" \n"));
    }
}

std::string cpuShareText(double dShare) {
    char szText[64];
    std::snprintf(szText, sizeof szText, "CPU share while starved %.3f", dShare);
    return szText;
}

using mnettest::Recorder;

}  // namespace

TEST(DescriptorStarvation, EveryOpeningFailsWithEmfileAndWorksOnceDescriptorsAreFree) {
    MNET_REQUIRE_SHARED_DIR();
    MNET_SKIP_WHERE_TYPE_CHECKS_NEED_DESCRIPTORS();
    runStarved([](std::string& sReport) {
        Checks checks(sReport);
        const int nTcpPort = mnettest::freeTcpPort();
        const int nUdpPort = mnettest::freeUdpPort();
        int nTcpTargetPort = 0;
        const int nTcpTarget = mnettest::rawTcpListen(&nTcpTargetPort);
        const std::string sPipeTarget = mnettest::uniqueName("starvetarget");
        const int nPipeTarget =
            mnettest::rawUnixListen(MirelPipeServer::getFullPipeName(sPipeTarget));
        const std::string sPipeServer = mnettest::uniqueName("starveserver");
        MirelSmartPointer<MirelServerSocket> spTcp(new MirelServerSocket(nTcpPort, 5, "127.0.0.1"));
        MirelSmartPointer<MirelUDPServerSocket> spUdp(
            new MirelUDPServerSocket(nUdpPort, "127.0.0.1", 64));
        MirelSmartPointer<MirelConnection> spTcpClient(
            new MirelSocketConnection("127.0.0.1", nTcpTargetPort, false, false));
        MirelSmartPointer<MirelConnection> spPipeClient(new MirelPipeConnection(sPipeTarget));
        MirelSmartPointer<MirelUDPSocketConnection> spDatagram(
            new MirelUDPSocketConnection("127.0.0.1", nUdpPort, false));
        spDatagram->transfer(31);
        {
            Starvation starvation;
            if (!starvation.full()) {
                sReport = "cannot fill the descriptor table here";
                return 77;
            }
            checks.expectThrows([&] { spTcp->waitForClient(false); },
                                "MirelServerSocket::init: failed to create socket.", EMFILE);
            checks.expect(!spTcp->isInitialized(),
                          "the TCP server counts as open after a failed opening");
            checks.expectThrows([&] { spUdp->waitForClient(false); },
                                "MirelUDPServerSocket::init: failed to create socket.", EMFILE);
            checks.expectThrows(
                [&] {
                    MirelSmartPointer<MirelPipeServer> spPipe(new MirelPipeServer(sPipeServer));
                },
                "MirelPipeServer::init: failed to create pipe.", EMFILE);
            checks.expectThrows([&] { spTcpClient->establish(); },
                                "MirelSocketConnection::establish: socket creation failed.",
                                EMFILE);
            checks.expectThrows([&] { spPipeClient->establish(); },
                                "MirelPipeConnection::establish: pipe creation failed.", EMFILE);
            checks.expect(!spDatagram->transmit(), "a datagram was sent without a descriptor");
        }

        // Descriptors free again: the same objects work.
        checks.expectWorks([&] { spTcpClient->establish(); }, "TCP client after starvation");
        int nAccepted = ::accept(nTcpTarget, 0, 0);
        checks.expect(nAccepted >= 0, "the TCP client did not connect after starvation");
        checks.expectWorks([&] { spPipeClient->establish(); }, "pipe client after starvation");
        int nPipeAccepted = ::accept(nPipeTarget, 0, 0);
        checks.expect(nPipeAccepted >= 0, "the pipe client did not connect after starvation");
        {
            Wait wait(*spTcp);
            checks.expect(mnettest::waitUntil([&] { return spTcp->isInitialized(); }),
                          "the TCP server did not open");
            int nClient = mnettest::rawTcpConnect(nTcpPort);
            mnettest::rawSendAll(nClient, bigEndian(41));
            std::string sError;
            MirelSmartPointer<MirelConnection> spServed = wait.result(5000, &sError);
            checks.expect(spServed && spServed->receiveInt() == 41,
                          "the TCP server did not serve: " + sError);
            ::close(nClient);
        }
        {
            Wait wait(*spUdp);
            checks.expect(mnettest::waitUntil([&] { return spUdp->isInitialized(); }),
                          "the UDP server did not open");
            checks.expect(spDatagram->transmit(), "the datagram was not sent after starvation");
            std::string sError;
            MirelSmartPointer<MirelConnection> spServed = wait.result(5000, &sError);
            checks.expect(spServed && spServed->receiveInt() == 31,
                          "the UDP server did not serve: " + sError);
        }
        checks.expectWorks(
            [&] {
                MirelSmartPointer<MirelPipeServer> spPipe(new MirelPipeServer(sPipeServer));
                int nClient =
                    mnettest::rawUnixConnect(MirelPipeServer::getFullPipeName(sPipeServer));
                mnettest::rawSendAll(nClient, bigEndian(51));
                MirelSmartPointer<MirelConnection> spServed = spPipe->waitForClient(false);
                checks.expect(spServed && spServed->receiveInt() == 51,
                              "the pipe server did not serve");
                ::close(nClient);
            },
            "pipe server after starvation");
        ::unlink(MirelPipeServer::getFullPipeName(sPipeTarget).c_str());
        ::unlink(MirelPipeServer::getFullPipeName(sPipeServer).c_str());
        return checks.result();
    });
}

TEST(DescriptorStarvation, TcpServerWhoseAcceptFailsWaitsWithoutSpinningAndServesOnceFreed) {
    runStarved([](std::string& sReport) {
        Checks checks(sReport);
        const std::string sLog = std::string("/tmp/") + mnettest::uniqueName("starvelog") + ".log";
        MirelSupport::MirelLogging::getInstance().setFile(sLog);
        MirelSupport::MirelLogging::getInstance().setLevel(1);
        const int nPort = mnettest::freeTcpPort();
        MirelSmartPointer<MirelServerSocket> spServer(new MirelServerSocket(nPort, 5, "127.0.0.1"));
        {
            Wait wait(*spServer);
            checks.expect(mnettest::waitUntil([&] { return spServer->isInitialized(); }),
                          "the server did not open");
            int nClient =
                ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);  // made while there is room
            {
                Starvation starvation;
                if (!starvation.full()) {
                    sReport = "cannot fill the descriptor table here";
                    return 77;
                }
                checks.expect(connectInet(nClient, nPort), "the client could not connect");
                mnettest::rawSendAll(nClient, bigEndian(4711));
                std::this_thread::sleep_for(
                    std::chrono::milliseconds(200));  // accept fails, retries back off
                double dShare = cpuShareWhileSleeping(1000, &sReport);
                checks.expect(dShare < kMostCpuShare, cpuShareText(dShare));
                checks.expect(!wait.done(), "the wait ended while accept could not succeed");
            }
            std::string sError;
            MirelSmartPointer<MirelConnection> spServed = wait.result(5000, &sError);
            checks.expect(spServed && spServed->receiveInt() == 4711,
                          "the starved client was not served: " + sError);
            ::close(nClient);
        }
        {
            Wait wait(*spServer);  // and the next one
            int nClient = mnettest::rawTcpConnect(nPort);
            mnettest::rawSendAll(nClient, bigEndian(4712));
            std::string sError;
            MirelSmartPointer<MirelConnection> spServed = wait.result(5000, &sError);
            checks.expect(spServed && spServed->receiveInt() == 4712,
                          "the next client was not served: " + sError);
            ::close(nClient);
        }
        MirelSupport::MirelLogging::getInstance().setLevel(0);
        std::ifstream log(sLog);
        bool bLogged = false;
        for (std::string sLine; std::getline(log, sLine);) {
            bLogged = bLogged ||
                      sLine.find("MirelServerSocket::waitForClient: socket connection error. 24") !=
                          std::string::npos;
        }
        ::unlink(sLog.c_str());
        checks.expect(bLogged, "the accept failure (24) was not logged");
        return checks.result();
    });
}

TEST(DescriptorStarvation, PipeServerWhoseAcceptFailsThrowsEmfileAndServesOnceFreed) {
    MNET_REQUIRE_SHARED_DIR();
    MNET_SKIP_WHERE_TYPE_CHECKS_NEED_DESCRIPTORS();
    runStarved([](std::string& sReport) {
        Checks checks(sReport);
        const std::string sName = mnettest::uniqueName("starvepipe");
        MirelSmartPointer<MirelPipeServer> spServer(new MirelPipeServer(sName));
        int nClient = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        {
            Starvation starvation;
            if (!starvation.full()) {
                sReport = "cannot fill the descriptor table here";
                return 77;
            }
            checks.expect(connectUnix(nClient, MirelPipeServer::getFullPipeName(sName)),
                          "the client could not connect");
            mnettest::rawSendAll(nClient, bigEndian(61));
            checks.expectThrows([&] { spServer->waitForClient(false); },
                                "MirelPipeServer::waitForClient: connection error. ", EMFILE);
        }
        MirelSmartPointer<MirelConnection> spServed;
        checks.expectWorks([&] { spServed = spServer->waitForClient(false); },
                           "the wait after starvation");
        checks.expect(spServed && spServed->receiveInt() == 61, "the queued client was not served");
        ::close(nClient);
        ::unlink(MirelPipeServer::getFullPipeName(sName).c_str());
        return checks.result();
    });
}

class StarvedSink : public ::testing::TestWithParam<const char*> {};

TEST_P(StarvedSink, WaitsWithoutSpinningAndDeliversOnceDescriptorsAreFree) {
    const std::string sType = GetParam();
    if (sType == "pipe") {
        MNET_REQUIRE_SHARED_DIR();
        MNET_SKIP_WHERE_TYPE_CHECKS_NEED_DESCRIPTORS();  // the pipe server reports accept failures
                                                         // by exception
    }
    runStarved([&](std::string& sReport) {
        Checks checks(sReport);
        ::setenv("QVINTF_CALLB_CONN_TYPE", sType.c_str(), 1);
        MirelSmartPointer<MirelLibraryCallbackSink> spSink(new MirelLibraryCallbackSink("starved"));
        MirelSmartPointer<Recorder> spRecorder =
            mnettest::addRecorder(spSink->getCallbackContainer(), 0);
        const std::string sAddress = spSink->getCallbackAddress();
        const std::string sEndpoint = sAddress.substr(sAddress.find(':') + 1);
        const int nPort = sType == "pipe" ? 0 : spSink->getCallbackSocket();
        const std::string sPath =
            sType == "pipe" ? MirelPipeServer::getFullPipeName(sEndpoint) : std::string();
        Bytes message = bigEndian(0);
        Bytes content = bigEndian(808);
        message.insert(message.end(), content.begin(), content.end());

        int nSender = ::socket(sType == "pipe" ? AF_UNIX : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        {
            Starvation starvation;
            if (!starvation.full()) {
                sReport = "cannot fill the descriptor table here";
                return 77;
            }
            bool bConnected =
                sType == "pipe" ? connectUnix(nSender, sPath) : connectInet(nSender, nPort);
            checks.expect(bConnected, "the sender could not connect");
            mnettest::rawSendAll(nSender, message);
            ::shutdown(nSender, SHUT_WR);  // a callback message ends where its sender closes
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            double dShare = cpuShareWhileSleeping(1000, &sReport);
            checks.expect(dShare < kMostCpuShare, cpuShareText(dShare));
            checks.expect(spRecorder->count() == 0, "delivered while the sink had no descriptor");
        }
        checks.expect(mnettest::waitUntil([&] { return spRecorder->count() == 1; }, 5000),
                      "the starved sender was not delivered once descriptors were free");
        checks.expect(spRecorder->values() == std::vector<long>{808}, "wrong content");
        ::close(nSender);
        content = bigEndian(809);
        std::copy(content.begin(), content.end(), message.begin() + 4);
        int nNext =
            sType == "pipe" ? mnettest::rawUnixConnect(sPath) : mnettest::rawTcpConnect(nPort);
        checks.expect(mnettest::rawSendAll(nNext, message), "the next sender could not send");
        ::close(nNext);
        checks.expect(mnettest::waitUntil([&] { return spRecorder->count() == 2; }, 5000),
                      "the next sender was not delivered");
        checks.expect(spRecorder->values() == std::vector<long>({808, 809}),
                      "wrong content of the next sender");
        return checks.result();
    });
}

INSTANTIATE_TEST_SUITE_P(Transports, StarvedSink, ::testing::Values("pipe", "socket"));
