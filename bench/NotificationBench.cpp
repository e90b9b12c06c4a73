// 4. Notifications end to end: remoteNotify from a proxy to a sink's callback (the callback reads
// one long and sets its event; measured from the call to the event), over pipe, TCP and UDP,
// sequential (median, 99th percentile) and with 4 concurrent senders (notifications per
// second), against a raw sender and receiver doing the same exchange with one connection per
// message: connect, write 8 bytes, close; the receiver accepts, reads 8 bytes, signals (UDP:
// one datagram of 8 bytes from a new socket, and a receiver that signals per datagram).
//
// A second raw baseline makes the system calls the library makes for a callback message, so
// that what remains between it and the library is the library's own work: the sender writes the
// handle and the id with one send (UDP: after setting SO_BROADCAST); the receiver polls a
// wake-up pipe with the socket before each accept or receive (the wait that another thread can
// end), bounds each accepted connection's reads with SO_RCVTIMEO, takes the message with one
// receive and then waits (poll, receive) for the sender's close before closing.
//
// Each of the 4 concurrent senders has its own callback and waits for its notification to
// arrive before it sends the next, so at most 4 messages are in flight and none is dropped
// for want of room; a UDP datagram that does not arrive within a second counts as lost.
//
// Under siege: the sequential notifications again, while hostile peers keep the sink busy,
// against the same unloaded: for pipe and TCP 40 connections held open (silent; stalled inside
// the handle; a whole message to a registered and to an unknown handle, then a byte every
// 20 ms each), for UDP an empty datagram every millisecond.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
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

const int kSenders = 4;
const int kLostAfterMs = 1000;

enum Transport { PIPE, TCP, UDP };
enum Calls { MINIMAL, LIBRARY_CALLS };

const char* sinkType(Transport transport) {
    return transport == PIPE ? "pipe" : (transport == TCP ? "socket" : "udp");
}

long sequentialCount() {
    return scaled(2000, 30);
}

long concurrentCountPerSender() {
    return scaled(500, 10);
}

class ReadLongCallback : public MirelNotificationCallback {
public:
    explicit ReadLongCallback(int nId) : MirelNotificationCallback(nId), m_nLast(0) {}

protected:
    void doCallback(MirelSmartPointer<MirelConnection>& spConnection) override {
        m_nLast = spConnection->receiveLong();
    }

private:
    long m_nLast;
};

// A sink of the given type; the environment variable is read by the sink thread at start.
MirelSmartPointer<MirelLibraryCallbackSink> newSink(Transport transport, std::string* psError) {
    ::setenv("QVINTF_CALLB_CONN_TYPE", sinkType(transport), 1);
    try {
        return MirelSmartPointer<MirelLibraryCallbackSink>(
            new MirelLibraryCallbackSink("mnetbench"));
    } catch (const MirelException& e) {
        *psError = e.getText();
        return MirelSmartPointer<MirelLibraryCallbackSink>();
    }
}

struct Registered {
    MirelSmartPointer<MirelNotificationCallback> spCallback;
    MirelSmartPointer<MirelProxyDependent> spProxy;
};

Registered registerCallback(MirelLibraryCallbackSink& sink) {
    Registered r;
    int nId = sink.getCallbackContainer().getNewId();
    r.spCallback = new ReadLongCallback(nId);
    sink.getCallbackContainer().add(r.spCallback);
    r.spProxy = new MirelProxyDependent(sink.getCallbackAddress(), nId);
    return r;
}

// One notification from the proxy to its callback; false when it failed or was lost.
bool notifyOnce(Registered& r, long nId, std::string* psError) {
    r.spCallback->reset();
    try {
        r.spProxy->remoteNotify(MirelNotification(nId));
    } catch (const MirelException& e) {
        *psError = e.getText();
        return false;
    }
    return r.spCallback->wait(kLostAfterMs);
}

// The hostile peers of the siege line, kept up by a thread of their own until destroyed.
class Siege {
public:
    Siege(Transport transport, const std::string& sAddress, int nRegistered) : m_bStop(false) {
        std::string sEndpoint = sAddress.substr(sAddress.find(':') + 1);
        int nPort = std::atoi(sEndpoint.substr(sEndpoint.find(':') + 1).c_str());
        for (int i = 0; i < 40 && transport != UDP; ++i) {
            int nFd = transport == PIPE ? rawUnixConnect(kSharedServiceDir + sEndpoint)
                                        : rawTcpConnect(nPort, false);
            uint32_t message[2] = {htonl(static_cast<uint32_t>(i < 30 ? nRegistered : 9999)), 0};
            if (nFd >= 0 && i >= 10) {
                sendAll(nFd, message, i < 20 ? 2 : 8);
            }
            m_peers.push_back(nFd);
        }
        if (transport == UDP) {
            m_peers.push_back(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
            sockaddr_in to;
            std::memset(&to, 0, sizeof to);
            to.sin_family = AF_INET;
            to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            to.sin_port = htons(static_cast<uint16_t>(nPort));
            ::connect(m_peers.back(), reinterpret_cast<sockaddr*>(&to), sizeof to);
        }
        m_thread = std::thread([this, transport]() {
            while (!m_bStop) {
                char c = 'x';
                for (std::size_t i = transport == UDP ? 0 : 20; i < m_peers.size(); ++i) {
                    ::send(m_peers[i], &c, transport == UDP ? 0 : 1, MSG_NOSIGNAL | MSG_DONTWAIT);
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(transport == UDP ? 1 : 20));
            }
        });
    }
    ~Siege() {
        m_bStop = true;
        m_thread.join();
        for (int nFd : m_peers) {
            if (nFd >= 0) {
                ::close(nFd);
            }
        }
    }

private:
    std::vector<int> m_peers;
    std::atomic<bool> m_bStop;
    std::thread m_thread;
};

// With bSiege the hostile peers keep the sink busy meanwhile.
void mnetSequential(benchmark::State& state, Transport transport, bool bSiege) {
    std::string sError;
    MirelSmartPointer<MirelLibraryCallbackSink> spSink = newSink(transport, &sError);
    if (!spSink) {
        state.SkipWithError(sError.c_str());
        return;
    }
    Registered r = registerCallback(*spSink);
    std::unique_ptr<Siege> spSiege(
        bSiege ? new Siege(transport, spSink->getCallbackAddress(), r.spCallback->getId()) : 0);
    long nCount = sequentialCount();
    Latencies latencies(static_cast<std::size_t>(nCount));
    long nLost = 0;
    for (auto _ : state) {
        for (long i = 0; i < nCount && sError.empty(); ++i) {
            auto start = std::chrono::steady_clock::now();
            if (!notifyOnce(r, i, &sError)) {
                ++nLost;
            }
            latencies.add(std::chrono::steady_clock::now() - start);
        }
    }
    if (!sError.empty()) {
        state.SkipWithError(sError.c_str());
    }
    latencies.report(state);
    state.counters["lost"] = static_cast<double>(nLost);
    state.SetItemsProcessed(nCount);
}

void mnetConcurrent(benchmark::State& state, Transport transport) {
    std::string sError;
    MirelSmartPointer<MirelLibraryCallbackSink> spSink = newSink(transport, &sError);
    if (!spSink) {
        state.SkipWithError(sError.c_str());
        return;
    }
    std::vector<Registered> senders;
    for (int i = 0; i < kSenders; ++i) {
        senders.push_back(registerCallback(*spSink));
    }
    long nPerSender = concurrentCountPerSender();
    std::atomic<long> nLost(0);
    std::vector<std::string> errors(kSenders);
    for (auto _ : state) {
        std::vector<std::thread> threads;
        for (int k = 0; k < kSenders; ++k) {
            threads.emplace_back([&, k]() {
                for (long i = 0; i < nPerSender && errors[k].empty(); ++i) {
                    if (!notifyOnce(senders[k], i, &errors[k])) {
                        ++nLost;
                    }
                }
            });
        }
        for (std::thread& t : threads) {
            t.join();
        }
    }
    for (const std::string& s : errors) {
        if (!s.empty()) {
            state.SkipWithError(s.c_str());
            break;
        }
    }
    state.counters["lost"] = static_cast<double>(nLost.load());
    state.SetItemsProcessed(nPerSender * kSenders);
}

// The raw receiver: accepts (or receives) one message after the other, reads the handle and
// the id and signals the handle's event. The handle -1 stops it.
class RawReceiver {
public:
    RawReceiver(Transport transport, Calls calls)
        : m_transport(transport), m_calls(calls), m_nFd(-1), m_nPort(0), m_signals(kSenders) {
        m_wake[0] = m_wake[1] = -1;
        if (calls == LIBRARY_CALLS && ::pipe2(m_wake, O_CLOEXEC | O_NONBLOCK) != 0) {
            return;
        }
        if (transport == PIPE) {
            if (sharedServiceDirUsable()) {
                m_sPath = std::string(kSharedServiceDir) + uniqueName("mnetbenchrcv");
                m_nFd = rawUnixListen(m_sPath, SOMAXCONN);  // the pipe server's backlog
            }
        } else if (transport == TCP) {
            m_nFd = rawTcpListen(&m_nPort, SOMAXCONN);  // the TCP sink's backlog
        } else {
            m_nFd = rawUdpBind(&m_nPort);
        }
        if (m_nFd >= 0 && transport == UDP) {
            timeval timeout = {0, 200000};  // the stop datagram could be lost
            ::setsockopt(m_nFd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        }
        if (m_nFd >= 0) {
            m_thread = std::thread([this]() { serve(); });
        }
    }

    ~RawReceiver() {
        if (m_nFd >= 0) {
            m_bStopping = true;
            uint32_t stop[2] = {0xffffffffu, 0};
            send(stop);
            if (m_transport != UDP) {
                ::shutdown(m_nFd, SHUT_RDWR);  // wakes accept should the stop message fail
            }
            m_thread.join();
            ::close(m_nFd);
        }
        if (!m_sPath.empty()) {
            ::unlink(m_sPath.c_str());
        }
        for (int nFd : m_wake) {
            if (nFd >= 0) {
                ::close(nFd);
            }
        }
    }

    bool ok() const { return m_nFd >= 0; }
    Signal& signal(int nHandle) { return m_signals[static_cast<std::size_t>(nHandle)]; }

    // The raw sender: one connection (or socket) per message. False when it failed.
    bool send(const uint32_t message[2]) const {
        int nFd;
        int nOn = 1;
        if (m_transport == UDP) {
            nFd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            if (m_calls == LIBRARY_CALLS) {
                ::setsockopt(nFd, SOL_SOCKET, SO_BROADCAST, &nOn, sizeof nOn);
            }
            sockaddr_in address;
            std::memset(&address, 0, sizeof address);
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            address.sin_port = htons(static_cast<uint16_t>(m_nPort));
            bool bSent =
                nFd >= 0 && ::sendto(nFd, message, 8, 0, reinterpret_cast<sockaddr*>(&address),
                                     sizeof address) == 8;
            if (nFd >= 0) {
                ::close(nFd);
            }
            return bSent;
        }
        nFd = m_transport == TCP ? rawTcpConnect(m_nPort, false) : rawUnixConnect(m_sPath);
        if (nFd < 0) {
            return false;
        }
        bool bSent = sendAll(nFd, message, 8);
        ::close(nFd);
        return bSent;
    }

private:
    void serve() {
        while (!m_bStopping || m_transport != UDP) {
            uint32_t message[2];
            if (m_calls == LIBRARY_CALLS) {
                pollfd fds[2] = {{m_wake[0], POLLIN, 0}, {m_nFd, POLLIN, 0}};
                if (::poll(fds, 2, m_transport == UDP ? 200 : -1) < 0 && errno != EINTR) {
                    return;
                }
            }
            if (m_transport == UDP) {
                char buffer[65536];
                ssize_t n = ::recvfrom(m_nFd, buffer, sizeof buffer, 0, 0, 0);
                if (n < 8) {
                    continue;
                }
                std::memcpy(message, buffer, 8);
            } else {
                int nClient = ::accept4(m_nFd, 0, 0, SOCK_CLOEXEC);
                if (nClient < 0) {
                    if (errno == EINTR || errno == ECONNABORTED) {
                        continue;
                    }
                    return;
                }
                bool bRead = m_calls == LIBRARY_CALLS ? readAsTheSink(nClient, message)
                                                      : recvAll(nClient, message, 8);
                ::close(nClient);
                if (!bRead) {
                    continue;
                }
            }
            int nHandle = static_cast<int>(ntohl(message[0]));
            if (nHandle < 0) {
                return;
            }
            if (nHandle < kSenders) {
                m_signals[static_cast<std::size_t>(nHandle)].set();
            }
        }
    }

    // The sink's calls for one stream message: a read deadline, the message into a buffer with
    // one receive, then a wait for the sender's close.
    static bool readAsTheSink(int nClient, uint32_t message[2]) {
        timeval timeout = {5, 0};
        ::setsockopt(nClient, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        char buffer[4096];
        std::size_t nHave = 0;
        while (nHave < 8) {
            ssize_t n = ::recv(nClient, buffer + nHave, sizeof buffer - nHave, 0);
            if (n <= 0) {
                return false;
            }
            nHave += static_cast<std::size_t>(n);
        }
        std::memcpy(message, buffer, 8);
        pollfd wait = {nClient, POLLIN, 0};
        if (::poll(&wait, 1, 50) > 0) {
            ::recv(nClient, buffer, sizeof buffer, MSG_DONTWAIT);
        }
        return true;
    }

    Transport m_transport;
    Calls m_calls;
    int m_wake[2];  // the wake-up pipe polled with the socket (never written: a stop message ends)
    std::atomic<bool> m_bStopping{false};
    int m_nFd;
    int m_nPort;
    std::string m_sPath;
    std::vector<Signal> m_signals;
    std::thread m_thread;
};

bool rawNotifyOnce(RawReceiver& receiver, int nHandle, long nId) {
    receiver.signal(nHandle).reset();
    uint32_t message[2] = {htonl(static_cast<uint32_t>(nHandle)),
                           htonl(static_cast<uint32_t>(nId))};
    if (!receiver.send(message)) {
        return false;
    }
    return receiver.signal(nHandle).wait(kLostAfterMs);
}

void rawSequential(benchmark::State& state, Transport transport, Calls calls) {
    RawReceiver receiver(transport, calls);
    if (!receiver.ok()) {
        state.SkipWithError("cannot set up the raw receiver");
        return;
    }
    long nCount = sequentialCount();
    Latencies latencies(static_cast<std::size_t>(nCount));
    long nLost = 0;
    for (auto _ : state) {
        for (long i = 0; i < nCount; ++i) {
            auto start = std::chrono::steady_clock::now();
            if (!rawNotifyOnce(receiver, 0, i)) {
                ++nLost;
            }
            latencies.add(std::chrono::steady_clock::now() - start);
        }
    }
    latencies.report(state);
    state.counters["lost"] = static_cast<double>(nLost);
    state.SetItemsProcessed(nCount);
}

void rawConcurrent(benchmark::State& state, Transport transport, Calls calls) {
    RawReceiver receiver(transport, calls);
    if (!receiver.ok()) {
        state.SkipWithError("cannot set up the raw receiver");
        return;
    }
    long nPerSender = concurrentCountPerSender();
    std::atomic<long> nLost(0);
    for (auto _ : state) {
        std::vector<std::thread> threads;
        for (int k = 0; k < kSenders; ++k) {
            threads.emplace_back([&, k]() {
                for (long i = 0; i < nPerSender; ++i) {
                    if (!rawNotifyOnce(receiver, k, i)) {
                        ++nLost;
                    }
                }
            });
        }
        for (std::thread& t : threads) {
            t.join();
        }
    }
    state.counters["lost"] = static_cast<double>(nLost.load());
    state.SetItemsProcessed(nPerSender * kSenders);
}

void configure(benchmark::internal::Benchmark* b) {
    b->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
}

void registerNotifications() {
    const Transport transports[] = {PIPE, TCP, UDP};
    for (Transport transport : transports) {
        std::string sName = transport == PIPE ? "pipe" : (transport == TCP ? "tcp" : "udp");
        std::string sWhere =
            transport == PIPE ? "pipe" : (transport == TCP ? "TCP loopback" : "UDP loopback");
        Comparison c;
        c.sSection = "4. Notifications end to end: remoteNotify to the sink's callback";
        c.sUnit = "notifications/s";
        c.dTarget = 0.8;
        c.sBaseLabel = "raw";

        c.kind = LATENCY;
        c.bRatioOnMedian = true;
        c.sLabel = sWhere + ", sequential, " + std::to_string(sequentialCount()) + " notifications";
        c.sNote = "call to event";
        c.sMnet = "notify/" + sName + "/sequential/mnet";
        c.sBase = "notify/" + sName + "/sequential/raw";
        compare(
            c, [transport](benchmark::State& s) { mnetSequential(s, transport, false); },
            [transport](benchmark::State& s) { rawSequential(s, transport, MINIMAL); }, configure);
        Comparison same = c;
        same.sLabel = sWhere + ", sequential, the same";
        same.sNote = "raw with the library's system calls";
        same.sBase = c.sBase + "-library-calls";
        same.sBaseLabel = "raw, library's calls";
        compare(
            same, BenchFn(),
            [transport](benchmark::State& s) { rawSequential(s, transport, LIBRARY_CALLS); },
            configure);

        Comparison siege = c;
        siege.sLabel = sWhere + ", sequential, " + std::to_string(sequentialCount()) +
                       " notifications under siege";
        siege.sNote = transport == UDP ? "an empty datagram every millisecond"
                                       : "40 hostile connections held open";
        siege.sMnet = "notify/" + sName + "/siege/mnet";
        siege.sBase = c.sMnet;
        siege.sBaseLabel = "libmnet, unloaded";
        siege.dTarget = 0;
        compare(
            siege, [transport](benchmark::State& s) { mnetSequential(s, transport, true); },
            BenchFn(), configure);

        c.kind = RATE;
        c.bRatioOnMedian = false;
        c.sLabel = sWhere + ", " + std::to_string(kSenders) + " concurrent senders, " +
                   std::to_string(kSenders * concurrentCountPerSender()) + " notifications";
        c.sNote = "each sender waits for its own notification before the next";
        c.sMnet = "notify/" + sName + "/concurrent/mnet";
        c.sBase = "notify/" + sName + "/concurrent/raw";
        compare(
            c, [transport](benchmark::State& s) { mnetConcurrent(s, transport); },
            [transport](benchmark::State& s) { rawConcurrent(s, transport, MINIMAL); }, configure);
        same = c;
        same.sLabel = sWhere + ", 4 concurrent senders, the same";
        same.sNote = "raw with the library's system calls";
        same.sBase = c.sBase + "-library-calls";
        same.sBaseLabel = "raw, library's calls";
        compare(
            same, BenchFn(),
            [transport](benchmark::State& s) { rawConcurrent(s, transport, LIBRARY_CALLS); },
            configure);
    }
}

Registrar registrar(registerNotifications);

}  // namespace
}  // namespace mnetbench
