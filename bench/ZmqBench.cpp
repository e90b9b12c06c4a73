// For context beside 4: a ZeroMQ push/pull pair over ipc and tcp moving the same 8-byte
// messages (handle, id), sequential (send, then wait for the receiver thread's signal) and with
// 4 concurrent senders each waiting for its own message before the next. Unlike a callback
// message, which opens a connection per notification, ZeroMQ keeps its connection open.
#include <arpa/inet.h>
#include <unistd.h>
#include <zmq.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.hpp"

namespace mnetbench {
namespace {

const int kSenders = 4;
const int kLostAfterMs = 1000;

long sequentialCount() {
    return scaled(2000, 30);
}

long concurrentCountPerSender() {
    return scaled(500, 10);
}

void* newSocket(void* pContext, int nType) {
    void* pSocket = ::zmq_socket(pContext, nType);
    int nLinger = 0;
    if (pSocket != 0) {
        ::zmq_setsockopt(pSocket, ZMQ_LINGER, &nLinger, sizeof nLinger);
    }
    return pSocket;
}

// A PULL socket bound to ipc or tcp and a thread that signals the handle of each message.
class ZmqReceiver {
public:
    ZmqReceiver(void* pContext, bool bIpc) : m_pContext(pContext), m_signals(kSenders) {
        m_pPull = newSocket(pContext, ZMQ_PULL);
        std::string sBind =
            bIpc ? "ipc:///tmp/" + uniqueName("mnetbench-zmq") : "tcp://127.0.0.1:*";
        char szEndpoint[256] = "";
        std::size_t nSize = sizeof szEndpoint;
        if (m_pPull == 0 || ::zmq_bind(m_pPull, sBind.c_str()) != 0 ||
            ::zmq_getsockopt(m_pPull, ZMQ_LAST_ENDPOINT, szEndpoint, &nSize) != 0) {
            return;
        }
        m_sEndpoint = szEndpoint;
        m_thread = std::thread([this]() {
            for (;;) {
                uint32_t message[2];
                int n = ::zmq_recv(m_pPull, message, sizeof message, 0);
                if (n < 0) {
                    if (::zmq_errno() == EINTR) {
                        continue;
                    }
                    return;
                }
                if (n < 8) {
                    continue;
                }
                int nHandle = static_cast<int>(ntohl(message[0]));
                if (nHandle < 0) {
                    return;
                }
                if (nHandle < kSenders) {
                    m_signals[static_cast<std::size_t>(nHandle)].set();
                }
            }
        });
    }

    ~ZmqReceiver() {
        if (m_thread.joinable()) {
            void* pPush = connect();
            uint32_t stop[2] = {0xffffffffu, 0};
            ::zmq_send(pPush, stop, sizeof stop, 0);
            m_thread.join();
            ::zmq_close(pPush);
        }
        if (m_pPull != 0) {
            ::zmq_close(m_pPull);
        }
        if (m_sEndpoint.compare(0, 6, "ipc://") == 0) {
            ::unlink(m_sEndpoint.c_str() + 6);
        }
    }

    bool ok() const { return !m_sEndpoint.empty(); }
    // A PUSH socket connected to the receiver; it stays connected until closed.
    void* connect() const {
        void* pPush = newSocket(m_pContext, ZMQ_PUSH);
        ::zmq_connect(pPush, m_sEndpoint.c_str());
        return pPush;
    }
    Signal& signal(int nHandle) { return m_signals[static_cast<std::size_t>(nHandle)]; }

private:
    void* m_pContext;
    void* m_pPull;
    std::string m_sEndpoint;
    std::vector<Signal> m_signals;
    std::thread m_thread;
};

bool zmqNotifyOnce(ZmqReceiver& receiver, void* pPush, int nHandle, long nId) {
    receiver.signal(nHandle).reset();
    uint32_t message[2] = {htonl(static_cast<uint32_t>(nHandle)),
                           htonl(static_cast<uint32_t>(nId))};
    if (::zmq_send(pPush, message, sizeof message, 0) != 8) {
        return false;
    }
    return receiver.signal(nHandle).wait(kLostAfterMs);
}

void zmqSequential(benchmark::State& state, bool bIpc) {
    void* pContext = ::zmq_ctx_new();
    {
        ZmqReceiver receiver(pContext, bIpc);
        if (!receiver.ok()) {
            state.SkipWithError("cannot bind the ZeroMQ receiver");
        } else {
            void* pPush = receiver.connect();
            zmqNotifyOnce(receiver, pPush, 0, 0);  // the connection is made before timing
            long nCount = sequentialCount();
            Latencies latencies(static_cast<std::size_t>(nCount));
            long nLost = 0;
            for (auto _ : state) {
                for (long i = 0; i < nCount; ++i) {
                    auto start = std::chrono::steady_clock::now();
                    if (!zmqNotifyOnce(receiver, pPush, 0, i)) {
                        ++nLost;
                    }
                    latencies.add(std::chrono::steady_clock::now() - start);
                }
            }
            ::zmq_close(pPush);
            latencies.report(state);
            state.counters["lost"] = static_cast<double>(nLost);
            state.SetItemsProcessed(nCount);
        }
    }
    ::zmq_ctx_term(pContext);
}

void zmqConcurrent(benchmark::State& state, bool bIpc) {
    void* pContext = ::zmq_ctx_new();
    {
        ZmqReceiver receiver(pContext, bIpc);
        if (!receiver.ok()) {
            state.SkipWithError("cannot bind the ZeroMQ receiver");
        } else {
            std::vector<void*> pushes;
            for (int k = 0; k < kSenders; ++k) {
                pushes.push_back(receiver.connect());
                zmqNotifyOnce(receiver, pushes.back(), k, 0);
            }
            long nPerSender = concurrentCountPerSender();
            std::atomic<long> nLost(0);
            for (auto _ : state) {
                std::vector<std::thread> threads;
                for (int k = 0; k < kSenders; ++k) {
                    threads.emplace_back([&, k]() {
                        for (long i = 0; i < nPerSender; ++i) {
                            if (!zmqNotifyOnce(receiver, pushes[static_cast<std::size_t>(k)], k,
                                               i)) {
                                ++nLost;
                            }
                        }
                    });
                }
                for (std::thread& t : threads) {
                    t.join();
                }
            }
            for (void* pPush : pushes) {
                ::zmq_close(pPush);
            }
            state.counters["lost"] = static_cast<double>(nLost.load());
            state.SetItemsProcessed(nPerSender * kSenders);
        }
    }
    ::zmq_ctx_term(pContext);
}

void configure(benchmark::internal::Benchmark* b) {
    b->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
}

void registerZmq() {
    const bool kinds[] = {true, false};
    for (bool bIpc : kinds) {
        std::string sName = bIpc ? "ipc" : "tcp";
        Comparison c;
        c.sSection = "4, for context: ZeroMQ push/pull, 8-byte messages, connection kept open";
        c.sUnit = "messages/s";
        c.dTarget = 0;
        c.sBaseLabel = "ZeroMQ " + sName;
        c.sNote = "ZeroMQ keeps its connection open; a callback message opens one per notification";

        c.kind = LATENCY;
        c.sLabel = sName + ", sequential, " + std::to_string(sequentialCount()) + " messages";
        c.sBase = "zmq/" + sName + "/sequential";
        compare(
            c, BenchFn(), [bIpc](benchmark::State& s) { zmqSequential(s, bIpc); }, configure);

        c.kind = RATE;
        c.sLabel = sName + ", " + std::to_string(kSenders) + " concurrent senders, " +
                   std::to_string(kSenders * concurrentCountPerSender()) + " messages";
        c.sBase = "zmq/" + sName + "/concurrent";
        compare(
            c, BenchFn(), [bIpc](benchmark::State& s) { zmqConcurrent(s, bIpc); }, configure);
    }
}

Registrar registrar(registerZmq);

}  // namespace
}  // namespace mnetbench
