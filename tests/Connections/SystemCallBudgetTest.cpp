// The system calls each operation costs, both ends together, counted by strace attached to this
// process. On the machines we run on a call costs microseconds, so the count is the cost of a
// transport; it is also the one measure that the load of a shared machine does not move.
//
// Counted: every call entered between two marker calls, on every thread that takes part (makes
// a socket call meanwhile), except futex and the mmap family, which come from thread hand-offs
// and memory, never from a transport. A call that
// was already waiting when counting began is not counted, one that starts waiting before it
// ends is: a window of many operations is exact up to one call per thread. Skipped, with the
// reason, where calls cannot be counted: no strace, ptrace refused, or a build that runs under
// an emulator or a runtime that makes calls of its own.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "MirelLibraryCallbackSink.hpp"
#include "MirelPipeConnection.hpp"
#include "MirelPipeServer.hpp"
#include "MirelProxyDependent.hpp"
#include "MirelSocketConnection.hpp"
#include "TestSupport.hpp"

extern char** environ;

using MirelNet::MirelConnection;
using MirelNet::MirelLibraryCallbackSink;
using MirelNet::MirelNotificationCallback;
using MirelNet::MirelPipeConnection;
using MirelNet::MirelProxyDependent;
using MirelNet::MirelSocketConnection;
using MirelSupport::MirelException;
using MirelSupport::MirelNotification;
using MirelSupport::MirelSmartPointer;
using MirelSupport::MirelString;

namespace {

// The budgets, per operation, both ends together unless said otherwise.
const int kRequestResponseBudget = 4;
const int kUdpNotificationBudget = 6;
// socket, connect, one send, close.
const int kStreamNotifySenderBudget = 4;
// A TCP notification, both ends together (the sender's 4 and the sink's side); a pipe one
// costs one call more, the sink asking the system who the sender is.
const int kStreamNotificationBudget = 10;
const int kPipeNotificationBudget = 11;

const int kOperations = 40;
// Calls at the edges of a window that belong to the operations just outside it.
const int kEdgeSlack = 2;

struct TracedCall {
    long nTid;
    std::string sName;
    std::string sText;  // the whole line, arguments included
};

long currentTid() {
    return static_cast<long>(::syscall(SYS_gettid));
}

std::string findStrace() {
    const char* const candidates[] = {"/usr/bin/strace", "/bin/strace", "/usr/local/bin/strace"};
    for (const char* pszPath : candidates) {
        if (::access(pszPath, X_OK) == 0) {
            return pszPath;
        }
    }
    return std::string();
}

// Every thread of this process has tracer nTracer.
bool allThreadsTracedBy(int nTracer) {
    DIR* pDir = ::opendir("/proc/self/task");
    if (pDir == 0) {
        return false;
    }
    bool bAll = true;
    while (dirent* pEntry = ::readdir(pDir)) {
        if (pEntry->d_name[0] == '.') {
            continue;
        }
        std::ifstream status(std::string("/proc/self/task/") + pEntry->d_name + "/status");
        std::string sLine;
        while (std::getline(status, sLine)) {
            if (sLine.compare(0, 10, "TracerPid:") == 0) {
                bAll = bAll && std::atoi(sLine.c_str() + 10) == nTracer;
            }
        }
    }
    ::closedir(pDir);
    return bAll;
}

// strace attached to this process and all its threads, from start() until end().
class SyscallTrace {
public:
    SyscallTrace() : m_nTracer(-1) {}
    ~SyscallTrace() { stop(); }

    // False, with the reason, when calls cannot be counted here.
    bool start(std::string* psWhy) {
#if defined(MNET_NO_CALL_COUNT)
        *psWhy = MNET_NO_CALL_COUNT;
        return false;
#endif
        std::string sStrace = findStrace();
        if (sStrace.empty()) {
            *psWhy = "strace is not installed (Debian package strace)";
            return false;
        }
        char szPath[] = "/tmp/mnet-calls-XXXXXX";
        int nFd = ::mkstemp(szPath);
        if (nFd < 0) {
            *psWhy = "no temporary file for the trace";
            return false;
        }
        ::close(nFd);
        m_sPath = szPath;
        ::prctl(PR_SET_PTRACER, PR_SET_PTRACER_ANY, 0, 0, 0);  // where Yama restricts ptrace
        std::string sPid = std::to_string(::getpid());
        const char* argv[] = {sStrace.c_str(), "-f", "-qq",        "-s",   "64", "-o",
                              m_sPath.c_str(), "-p", sPid.c_str(), nullptr};
        pid_t nPid = -1;
        if (::posix_spawn(&nPid, sStrace.c_str(), nullptr, nullptr, const_cast<char**>(argv),
                          environ) != 0) {
            *psWhy = "strace could not be started";
            return false;
        }
        m_nTracer = nPid;
        bool bTraced = mnettest::waitUntil([nPid] {
            int nStatus = 0;
            return ::waitpid(nPid, &nStatus, WNOHANG) != 0 || allThreadsTracedBy(nPid);
        });
        if (!bTraced || !allThreadsTracedBy(nPid)) {
            *psWhy = "strace could not attach (ptrace not permitted here?)";
            stop();
            return false;
        }
        return true;
    }

    void begin() {
        ::access("/mnet-count-begin", F_OK);
    }

    // Ends the window and returns the calls made in it.
    std::vector<TracedCall> end() {
        ::access("/mnet-count-end", F_OK);
        stop();
        return parse();
    }

private:
    void stop() {
        if (m_nTracer > 0) {
            ::kill(m_nTracer, SIGINT);
            int nStatus = 0;
            ::waitpid(m_nTracer, &nStatus, 0);
            m_nTracer = -1;
        }
    }

    std::vector<TracedCall> parse() const {
        static const std::set<std::string> ignored = {"futex",   "mmap",   "munmap", "mprotect",
                                                      "madvise", "mremap", "brk"};
        std::vector<TracedCall> calls;
        std::ifstream trace(m_sPath.c_str());
        std::string sLine;
        bool bInside = false;
        while (std::getline(trace, sLine)) {
            if (sLine.find("/mnet-count-") != std::string::npos) {
                bInside = sLine.find("/mnet-count-begin") != std::string::npos;
                continue;
            }
            std::istringstream fields(sLine);
            TracedCall call;
            fields >> call.nTid;
            std::string sRest;
            std::getline(fields >> std::ws, sRest);
            std::size_t nParen = sRest.find('(');
            // Resumed calls, signals and exits are no new calls.
            if (!bInside || sRest.empty() || sRest[0] == '<' || sRest[0] == '-' ||
                sRest[0] == '+' || nParen == std::string::npos) {
                continue;
            }
            call.sName = sRest.substr(0, nParen);
            call.sText = sRest;
            if (ignored.count(call.sName) == 0) {
                calls.push_back(call);
            }
        }
        ::unlink(m_sPath.c_str());
        return onlyTheEnds(calls);
    }

    // The calls of the threads that took part: those that made a socket call. A thread of a
    // runtime (a sanitizer's, say) that only sleeps is no end of an exchange.
    static std::vector<TracedCall> onlyTheEnds(const std::vector<TracedCall>& calls) {
        static const std::set<std::string> socketCalls = {
            "socket",   "connect", "accept", "accept4",    "sendto",     "sendmsg", "send",
            "recvfrom", "recvmsg", "recv",   "setsockopt", "getsockopt", "shutdown"};
        std::set<long> ends;
        for (const TracedCall& call : calls) {
            if (socketCalls.count(call.sName) != 0) {
                ends.insert(call.nTid);
            }
        }
        std::vector<TracedCall> kept;
        for (const TracedCall& call : calls) {
            if (ends.count(call.nTid) != 0) {
                kept.push_back(call);
            }
        }
        return kept;
    }

    int m_nTracer;
    std::string m_sPath;
};

#define MNET_START_TRACE(trace)        \
    do {                               \
        std::string sWhy__;            \
        if (!(trace).start(&sWhy__)) { \
            GTEST_SKIP() << sWhy__;    \
        }                              \
    } while (0)

bool isSend(const TracedCall& call) {
    return call.sName == "sendto" || call.sName == "sendmsg" || call.sName == "send" ||
           call.sName == "write" || call.sName == "writev";
}

int countOf(const std::vector<TracedCall>& calls, const std::function<bool(const TracedCall&)>& f) {
    int n = 0;
    for (const TracedCall& call : calls) {
        n += f(call) ? 1 : 0;
    }
    return n;
}

std::string summary(const std::vector<TracedCall>& calls) {
    std::map<std::string, int> byName;
    for (const TracedCall& call : calls) {
        ++byName[call.sName];
    }
    std::string sText;
    for (const auto& entry : byName) {
        sText += " " + entry.first + " " + std::to_string(entry.second);
    }
    return sText;
}

// kOperations exchanges of a 64-byte string answered by transferACK, read as two shorts, after
// a few that settle the connections (the second send switches Nagle off on TCP).
void countRequestResponse(MirelConnection& client, MirelConnection& server) {
    std::thread peer([&server] {
        try {
            for (;;) {
                server.receiveString();
                server.transferACK();
            }
        } catch (const MirelException&) {
        }
    });
    const MirelString sRequest(64, 'r');
    auto exchange = [&] {
        client.transfer(sRequest);
        EXPECT_EQ(1, client.receiveShort());
        EXPECT_EQ(0, client.receiveShort());
    };
    for (int i = 0; i < 3; ++i) {
        exchange();
    }
    SyscallTrace trace;
    std::string sWhy;
    bool bTraced = trace.start(&sWhy);
    std::vector<TracedCall> calls;
    long nClient = currentTid();
    if (bTraced) {
        trace.begin();
        for (int i = 0; i < kOperations; ++i) {
            exchange();
        }
        calls = trace.end();
    }
    client.disconnect();
    peer.join();
    if (!bTraced) {
        GTEST_SKIP() << sWhy;
    }
    int nCalls = static_cast<int>(calls.size());
    std::printf("request/response: %.2f calls per exchange;%s\n",
                static_cast<double>(nCalls) / kOperations, summary(calls).c_str());
    EXPECT_LE(nCalls, kRequestResponseBudget * kOperations + kEdgeSlack) << summary(calls);
    EXPECT_EQ(
        kOperations,
        countOf(calls, [nClient](const TracedCall& c) { return c.nTid == nClient && isSend(c); }))
        << "one send per request";
    EXPECT_EQ(2 * kOperations, countOf(calls, isSend)) << "and one per acknowledge";
}

int acceptFrom(int nListener) {
    return ::accept4(nListener, nullptr, nullptr, SOCK_CLOEXEC);
}

// Accepts and reads every connection to its end, until the listener is shut down.
class Drain {
public:
    explicit Drain(int nListener)
        : m_nListener(nListener), m_thread([nListener] {
              for (int nFd; (nFd = acceptFrom(nListener)) >= 0;) {
                  mnettest::rawReceive(nFd, 1 << 20);
                  ::close(nFd);
              }
          }) {}
    ~Drain() {
        ::shutdown(m_nListener, SHUT_RDWR);
        m_thread.join();
        ::close(m_nListener);
    }

private:
    int m_nListener;
    std::thread m_thread;
};

// The sender's calls for kOperations notifications to sAddress.
void countNotifySender(const std::string& sAddress) {
    MirelProxyDependent proxy(sAddress, 7);
    MirelNotification notification(9);
    proxy.remoteNotify(notification);  // the first use of each code path happens outside
    SyscallTrace trace;
    MNET_START_TRACE(trace);
    long nSender = currentTid();
    trace.begin();
    for (int i = 0; i < kOperations; ++i) {
        proxy.remoteNotify(notification);
    }
    std::vector<TracedCall> mine;
    for (const TracedCall& call : trace.end()) {
        if (call.nTid == nSender) {
            mine.push_back(call);
        }
    }
    // The deadline costs one SO_SNDTIMEO before the connect, and one more after a connect that
    // took a noticeable share of it (which a loaded machine makes happen now and then).
    int nBeforeConnect = 0;
    int nAfterConnect = 0;
    bool bConnected = false;
    for (const TracedCall& call : mine) {
        if (call.sName == "socket") {
            bConnected = false;
        } else if (call.sName == "connect") {
            bConnected = true;
        } else if (call.sName == "setsockopt" &&
                   call.sText.find("SO_SNDTIMEO") != std::string::npos) {
            ++(bConnected ? nAfterConnect : nBeforeConnect);
        }
    }
    int nCalls = static_cast<int>(mine.size()) - nBeforeConnect - nAfterConnect;
    std::printf("notification, sender: %.2f calls;%s\n",
                static_cast<double>(mine.size()) / kOperations, summary(mine).c_str());
    EXPECT_LE(nBeforeConnect, kOperations);
    EXPECT_LE(nAfterConnect, kOperations) << "at most one shortened bound per notification";
    EXPECT_EQ(kStreamNotifySenderBudget * kOperations, nCalls) << summary(mine);
    EXPECT_EQ(kOperations, countOf(mine, isSend)) << "handle and id in one send";
}

class IdReader : public MirelNotificationCallback {
public:
    explicit IdReader(int nId) : MirelNotificationCallback(nId) {}

protected:
    void doCallback(MirelSmartPointer<MirelConnection>& spConnection) override {
        spConnection->receiveLong();
    }
};

// Both ends of kOperations notifications through a sink of sType, each waited for; the
// calls per notification.
double countNotificationBothEnds(const char* pszType, std::string* psSummary, std::string* psWhy) {
    ::setenv("QVINTF_CALLB_CONN_TYPE", pszType, 1);
    MirelSmartPointer<MirelLibraryCallbackSink> spSink(new MirelLibraryCallbackSink("budget"));
    int nId = spSink->getCallbackContainer().getNewId();
    MirelSmartPointer<IdReader> spReader(new IdReader(nId));
    spSink->getCallbackContainer().add(
        MirelSmartPointer<MirelNotificationCallback>(spReader.operator->()));
    std::string sAddress = spSink->getCallbackAddress();
    if (std::string(pszType) != "pipe") {
        sAddress = std::string(pszType) + ":127.0.0.1:" +
                   std::to_string(static_cast<unsigned short>(spSink->getCallbackSocket()));
    }
    MirelProxyDependent proxy(sAddress, nId);
    MirelNotification notification(5);
    auto notify = [&] {
        spReader->reset();
        proxy.remoteNotify(notification);
        EXPECT_TRUE(spReader->wait(5000));
    };
    notify();
    SyscallTrace trace;
    if (!trace.start(psWhy)) {
        return -1;
    }
    trace.begin();
    for (int i = 0; i < kOperations; ++i) {
        notify();
    }
    std::vector<TracedCall> calls = trace.end();
    *psSummary = summary(calls);
    return static_cast<double>(calls.size()) / kOperations;
}

}  // namespace

TEST(SystemCallBudget, RequestResponseOverTcpIsFourCalls) {
    int nPort = 0;
    int nListener = mnettest::rawTcpListen(&nPort);
    MirelSmartPointer<MirelSocketConnection> spClient(
        new MirelSocketConnection("127.0.0.1", nPort, false, false));
    spClient->establish();
    MirelSmartPointer<MirelSocketConnection> spServer(
        new MirelSocketConnection(acceptFrom(nListener), "peer", nullptr, false));
    ::close(nListener);
    countRequestResponse(*spClient, *spServer);
}

// Time-outs on both ends cost nothing per exchange once the connections are established.
TEST(SystemCallBudget, RequestResponseWithTimeOutsOnBothEndsIsFourCalls) {
    int nPort = 0;
    int nListener = mnettest::rawTcpListen(&nPort);
    MirelSmartPointer<MirelSocketConnection> spClient(
        new MirelSocketConnection("127.0.0.1", nPort, false, false));
    spClient->setTimeout(60000);
    spClient->establish();
    MirelSmartPointer<MirelSocketConnection> spServer(
        new MirelSocketConnection(acceptFrom(nListener), "peer", nullptr, false));
    spServer->setTimeout(60000);
    ::close(nListener);
    countRequestResponse(*spClient, *spServer);
}

TEST(SystemCallBudget, RequestResponseOverAPipeIsFourCalls) {
    int fds[2];
    ASSERT_EQ(0, ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds));
    MirelSmartPointer<MirelPipeConnection> spClient(new MirelPipeConnection(&fds[0], 1));
    MirelSmartPointer<MirelPipeConnection> spServer(new MirelPipeConnection(&fds[1], 1));
    countRequestResponse(*spClient, *spServer);
}

TEST(SystemCallBudget, PipeNotificationSenderMakesOnlySocketConnectSendClose) {
    MNET_REQUIRE_SHARED_DIR();
    std::string sName = mnettest::uniqueName("budget");
    std::string sPath = MirelNet::MirelPipeServer::getFullPipeName(sName);
    Drain drain(mnettest::rawUnixListen(sPath));
    countNotifySender("pipe:" + sName);
    ::unlink(sPath.c_str());
}

TEST(SystemCallBudget, TcpNotificationSenderMakesOnlySocketConnectSendClose) {
    int nPort = 0;
    Drain drain(mnettest::rawTcpListen(&nPort));
    countNotifySender("socket:127.0.0.1:" + std::to_string(nPort));
}

TEST(SystemCallBudget, UdpNotificationIsAtMostSixCalls) {
    std::string sSummary, sWhy;
    double dCalls = countNotificationBothEnds("udp", &sSummary, &sWhy);
    if (dCalls < 0) {
        GTEST_SKIP() << sWhy;
    }
    std::printf("UDP notification: %.2f calls;%s\n", dCalls, sSummary.c_str());
    EXPECT_LE(dCalls, kUdpNotificationBudget + static_cast<double>(kEdgeSlack) / kOperations)
        << sSummary;
}

// The whole of a stream notification, the sink's side included: its place in the budget.
class StreamSinkBudget : public ::testing::TestWithParam<const char*> {};

TEST_P(StreamSinkBudget, NotificationBothEnds) {
    if (std::string(GetParam()) == "pipe") {
        MNET_REQUIRE_SHARED_DIR();
    }
    std::string sSummary, sWhy;
    double dCalls = countNotificationBothEnds(GetParam(), &sSummary, &sWhy);
    if (dCalls < 0) {
        GTEST_SKIP() << sWhy;
    }
    std::printf("%s notification, both ends: %.2f calls;%s\n", GetParam(), dCalls,
                sSummary.c_str());
    int nBudget =
        std::string(GetParam()) == "pipe" ? kPipeNotificationBudget : kStreamNotificationBudget;
    EXPECT_LE(dCalls, nBudget + static_cast<double>(kEdgeSlack) / kOperations) << sSummary;
}

INSTANTIATE_TEST_SUITE_P(Transports, StreamSinkBudget, ::testing::Values("pipe", "socket"));
