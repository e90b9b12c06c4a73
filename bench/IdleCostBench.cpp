// 5. Cost of an idle sink and of a UDP wait, each measured in a fresh child process (this
// program run again with --child): the resident memory (VmRSS of /proc/self/status) before
// and after creating one sink of each type, and the time and minor page faults (getrusage) of
// a UDP notification, whose sink waits with a 16 MiB receive buffer. The baselines are a raw
// thread blocked in accept on a listening socket, and a raw UDP receiver thread.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.hpp"
#include "MirelLibraryCallbackSink.hpp"
#include "MirelNotificationCallback.hpp"
#include "MirelProxyDependent.hpp"

namespace mnetbench {
namespace {

using MirelNet::MirelConnection;
using MirelNet::MirelLibraryCallbackSink;
using MirelNet::MirelNotificationCallback;
using MirelNet::MirelProxyDependent;
using MirelSupport::MirelException;
using MirelSupport::MirelNotification;
using MirelSupport::MirelSmartPointer;

typedef MirelSmartPointer<MirelLibraryCallbackSink> SinkPtr;

SinkPtr newSink(const char* pszType) {
    ::setenv("QVINTF_CALLB_CONN_TYPE", pszType, 1);
    return SinkPtr(new MirelLibraryCallbackSink("mnetbench"));
}

// Lets the new threads settle before reading the resident size.
long settledResidentKib() {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return residentKib();
}

// Child: "pipe", "socket", "udp" or "all" (one of each). Prints "<before> <after>" in KiB.
int idleSinkChild(const std::string& sType) {
    try {
        std::vector<SinkPtr> sinks;
        sinks.reserve(3);
        long nBefore = settledResidentKib();
        if (sType == "all") {
            sinks.push_back(newSink("pipe"));
            sinks.push_back(newSink("socket"));
            sinks.push_back(newSink("udp"));
        } else {
            sinks.push_back(newSink(sType.c_str()));
        }
        long nAfter = settledResidentKib();
        std::printf("%ld %ld\n", nBefore, nAfter);
        return 0;
    } catch (const MirelException& e) {
        std::fprintf(stderr, "%s (%d)\n", e.getText().c_str(), e.getCode());
        return 1;
    }
}

// Child: a raw thread blocked in accept on a listening TCP socket. Prints "<before> <after>".
int idleRawChild(const std::string&) {
    long nBefore = settledResidentKib();
    int nPort = 0;
    int nFd = rawTcpListen(&nPort, 5);
    std::thread waiter([nFd]() { ::accept(nFd, 0, 0); });
    long nAfter = settledResidentKib();
    std::printf("%ld %ld\n", nBefore, nAfter);
    ::shutdown(nFd, SHUT_RDWR);
    waiter.join();
    ::close(nFd);
    return 0;
}

class ReadLongCallback : public MirelNotificationCallback {
public:
    explicit ReadLongCallback(int nId) : MirelNotificationCallback(nId) {}

protected:
    void doCallback(MirelSmartPointer<MirelConnection>& spConnection) override {
        spConnection->receiveLong();
    }
};

const int kSteadyWaits = 200;

// Child: one UDP sink; the first notification, then kSteadyWaits more. Prints
// "<first µs> <first minflt> <steady µs per wait> <steady minflt per wait>".
int udpWaitChild(const std::string&) {
    try {
        SinkPtr spSink = newSink("udp");
        int nId = spSink->getCallbackContainer().getNewId();
        MirelSmartPointer<MirelNotificationCallback> spCallback(new ReadLongCallback(nId));
        spSink->getCallbackContainer().add(spCallback);
        MirelSmartPointer<MirelProxyDependent> spProxy(
            new MirelProxyDependent(spSink->getCallbackAddress(), nId));
        auto once = [&]() {
            spCallback->reset();
            spProxy->remoteNotify(MirelNotification(1));
            return spCallback->wait(1000);
        };
        long nFaults = minorFaults();
        auto start = std::chrono::steady_clock::now();
        bool bOk = once();
        double dFirstUs =
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
                .count();
        long nFirstFaults = minorFaults() - nFaults;
        nFaults = minorFaults();
        start = std::chrono::steady_clock::now();
        for (int i = 0; i < kSteadyWaits; ++i) {
            bOk = once() && bOk;
        }
        double dSteadyUs =
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
                .count() /
            kSteadyWaits;
        double dSteadyFaults = static_cast<double>(minorFaults() - nFaults) / kSteadyWaits;
        std::printf("%.1f %ld %.1f %.2f\n", dFirstUs, nFirstFaults, dSteadyUs, dSteadyFaults);
        return bOk ? 0 : 1;
    } catch (const MirelException& e) {
        std::fprintf(stderr, "%s (%d)\n", e.getText().c_str(), e.getCode());
        return 1;
    }
}

// Child: the same with a raw UDP receiver thread (64 KiB buffer on its stack) signalling a
// plain event, and a sender opening a socket per datagram.
int udpWaitRawChild(const std::string&) {
    int nPort = 0;
    int nFd = rawUdpBind(&nPort);
    if (nFd < 0) {
        return 1;
    }
    Signal signal;
    std::thread receiver([nFd, &signal]() {
        char buffer[65536];
        for (;;) {
            ssize_t n = ::recvfrom(nFd, buffer, sizeof buffer, 0, 0, 0);
            if (n < 8) {
                continue;
            }
            uint32_t nHandle;
            std::memcpy(&nHandle, buffer, 4);
            if (nHandle == 0xffffffffu) {
                return;
            }
            signal.set();
        }
    });
    sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(nPort));
    auto sendOne = [&address](uint32_t nHandle) {
        uint32_t message[2] = {nHandle, 0};
        int nSender = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ::sendto(nSender, message, 8, 0, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::close(nSender);
    };
    auto once = [&]() {
        signal.reset();
        sendOne(htonl(1));
        return signal.wait(1000);
    };
    long nFaults = minorFaults();
    auto start = std::chrono::steady_clock::now();
    bool bOk = once();
    double dFirstUs =
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
    long nFirstFaults = minorFaults() - nFaults;
    nFaults = minorFaults();
    start = std::chrono::steady_clock::now();
    for (int i = 0; i < kSteadyWaits; ++i) {
        bOk = once() && bOk;
    }
    double dSteadyUs =
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
            .count() /
        kSteadyWaits;
    double dSteadyFaults = static_cast<double>(minorFaults() - nFaults) / kSteadyWaits;
    std::printf("%.1f %ld %.1f %.2f\n", dFirstUs, nFirstFaults, dSteadyUs, dSteadyFaults);
    sendOne(0xffffffffu);
    receiver.join();
    ::close(nFd);
    return bOk ? 0 : 1;
}

ChildMode idleSinkMode("idle-sink", idleSinkChild);
ChildMode idleRawMode("idle-raw", idleRawChild);
ChildMode udpWaitMode("udp-wait", udpWaitChild);
ChildMode udpWaitRawMode("udp-wait-raw", udpWaitRawChild);

// Runs this program as a child and returns the numbers it printed; empty on failure.
std::vector<double> runChildProcess(const std::string& sMode, const std::string& sArg) {
    std::string sCommand = "'" + options().sSelf + "' --child=" + sMode + " " + sArg;
    std::vector<double> values;
    FILE* pPipe = ::popen(sCommand.c_str(), "r");
    if (pPipe == 0) {
        return values;
    }
    char szLine[256];
    if (std::fgets(szLine, sizeof szLine, pPipe) != 0) {
        std::istringstream in(szLine);
        double d;
        while (in >> d) {
            values.push_back(d);
        }
    }
    if (::pclose(pPipe) != 0) {
        values.clear();
    }
    return values;
}

void residentCost(benchmark::State& state, const std::string& sMode, const std::string& sArg) {
    std::vector<double> values;
    for (auto _ : state) {
        values = runChildProcess(sMode, sArg);
    }
    if (values.size() != 2) {
        state.SkipWithError("the child measurement failed");
        return;
    }
    state.counters["rss_before_kib"] = values[0];
    state.counters["rss_after_kib"] = values[1];
    state.counters["rss_growth_kib"] = values[1] - values[0];
}

void udpWaitCost(benchmark::State& state, const std::string& sMode) {
    std::vector<double> values;
    for (auto _ : state) {
        values = runChildProcess(sMode, "");
    }
    if (values.size() != 4) {
        state.SkipWithError("the child measurement failed");
        return;
    }
    state.counters["first_us"] = values[0];
    state.counters["first_minflt"] = values[1];
    state.counters["wait_us"] = values[2];
    state.counters["wait_minflt"] = values[3];
}

void configure(benchmark::internal::Benchmark* b) {
    b->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
}

void registerIdleCost() {
    Comparison c;
    c.sSection = "5. Cost of an idle sink and of a UDP wait (child processes)";
    c.kind = VALUE;
    c.dTarget = 0;
    c.bOnce = true;
    c.sBaseLabel = "raw thread in accept";
    c.sBase = "idle/raw";
    c.values = {{"rss_growth_kib", "+%s KiB"},
                {"rss_before_kib", "%s KiB before"},
                {"rss_after_kib", "%s after"}};
    const char* types[] = {"pipe", "socket", "udp", "all"};
    bool bFirst = true;
    for (const char* pszType : types) {
        std::string sType = pszType;
        c.sLabel = sType == "all" ? "resident memory, one sink of each type"
                                  : "resident memory, one " + sType + " sink";
        c.sMnet = "idle/" + sType;
        compare(
            c, [sType](benchmark::State& s) { residentCost(s, "idle-sink", sType); },
            bFirst ? BenchFn([](benchmark::State& s) { residentCost(s, "idle-raw", ""); })
                   : BenchFn(),
            configure);
        bFirst = false;
    }
    c.sLabel = "one UDP notification: time and minor page faults, the first and then per wait";
    c.sNote = "";
    c.sMnet = "udpwait/mnet";
    c.sBase = "udpwait/raw";
    c.sBaseLabel = "raw receiver thread";
    c.values = {{"first_us", "first %s µs"},
                {"first_minflt", "%s minflt"},
                {"wait_us", "then %s µs"},
                {"wait_minflt", "%s minflt per wait"}};
    compare(
        c, [](benchmark::State& s) { udpWaitCost(s, "udp-wait"); },
        [](benchmark::State& s) { udpWaitCost(s, "udp-wait-raw"); }, configure);
}

Registrar registrar(registerIdleCost);

}  // namespace
}  // namespace mnetbench
