// 3. Request/response: a client sends a 64-byte string and waits for transferACK, over TCP
// loopback and over a pipe, against raw sockets doing the same exchange (TCP_NODELAY on the raw
// TCP baseline too). Round trips per second, median, 99th percentile and maximum latency: the
// maximum shows whether any round trip stalls for tens of milliseconds.
//
// The library sends the string (length, content) with one send and the acknowledge (two
// shorts) with one, and reads each message with one receive. The raw baseline sends each
// message whole (and reads the length and the content of the request apart). For context, a
// second baseline makes the four sends the protocol's transports made before, and a third makes
// them without TCP_NODELAY: the second small send then waits for the peer's delayed
// acknowledgement, which is why the library switches Nagle off before a connection's second send.
#include <arpa/inet.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "BenchSupport.hpp"
#include "Peers.hpp"

namespace mnetbench {
namespace {

using MirelNet::MirelConnection;
using MirelSupport::MirelException;
using MirelSupport::MirelString;

const std::size_t kRequestSize = 64;

long roundTrips() {
    return scaled(10000, 200);
}

void mnetRoundTrips(benchmark::State& state, Transport transport) {
    long nCount = roundTrips();
    MnetPeers peers(transport, [nCount](MirelConnection& connection) {
        try {
            for (long i = 0; i < nCount; ++i) {
                MirelString sRequest = connection.receiveString();
                benchmark::DoNotOptimize(sRequest);
                connection.transferACK();
            }
        } catch (const MirelException&) {
        }
    });
    if (!peers.error().empty()) {
        state.SkipWithError(peers.error().c_str());
        return;
    }
    const MirelString sRequest(kRequestSize, 'r');
    MirelConnection& client = peers.client();
    Latencies latencies(static_cast<std::size_t>(nCount));
    for (auto _ : state) {
        try {
            for (long i = 0; i < nCount; ++i) {
                auto start = std::chrono::steady_clock::now();
                client.transfer(sRequest);
                short nFirst = client.receiveShort();
                short nSecond = client.receiveShort();
                latencies.add(std::chrono::steady_clock::now() - start);
                if (nFirst != 1 || nSecond != 0) {
                    state.SkipWithError("not an acknowledge");
                    break;
                }
            }
        } catch (const MirelException& e) {
            state.SkipWithError(e.getText().c_str());
        }
    }
    peers.join();
    latencies.report(state);
    state.SetItemsProcessed(nCount);
}

enum RawStyle { WHOLE, PROTOCOL_SENDS, PROTOCOL_SENDS_NAGLE };

void rawRoundTrips(benchmark::State& state, Transport transport, RawStyle style, long nCount) {
    bool bSplit = style != WHOLE;
    RawPeers peers(transport, style != PROTOCOL_SENDS_NAGLE, [nCount, bSplit](int nFd) {
        const unsigned char ack[4] = {0, 1, 0, 0};
        for (long i = 0; i < nCount; ++i) {
            uint32_t nWire = 0;
            if (!recvAll(nFd, &nWire, 4)) {
                return;
            }
            std::string sRequest(ntohl(nWire), '\0');
            if (!recvAll(nFd, &sRequest[0], sRequest.size())) {
                return;
            }
            bool bSent =
                bSplit ? sendAll(nFd, ack, 2) && sendAll(nFd, ack + 2, 2) : sendAll(nFd, ack, 4);
            if (!bSent) {
                return;
            }
        }
    });
    if (!peers.error().empty()) {
        state.SkipWithError(peers.error().c_str());
        return;
    }
    std::vector<char> frame(4 + kRequestSize, 'r');
    uint32_t nLength = htonl(static_cast<uint32_t>(kRequestSize));
    std::memcpy(frame.data(), &nLength, 4);
    int nFd = peers.client();
    Latencies latencies(static_cast<std::size_t>(nCount));
    for (auto _ : state) {
        for (long i = 0; i < nCount; ++i) {
            auto start = std::chrono::steady_clock::now();
            bool bSent = bSplit ? sendAll(nFd, frame.data(), 4) &&
                                      sendAll(nFd, frame.data() + 4, kRequestSize)
                                : sendAll(nFd, frame.data(), frame.size());
            unsigned char ack[4];
            bool bReceived = bSent && (bSplit ? recvAll(nFd, ack, 2) && recvAll(nFd, ack + 2, 2)
                                              : recvAll(nFd, ack, 4));
            latencies.add(std::chrono::steady_clock::now() - start);
            if (!bReceived) {
                state.SkipWithError("exchange failed");
                break;
            }
        }
    }
    peers.join();
    latencies.report(state);
    state.SetItemsProcessed(nCount);
}

void configure(benchmark::internal::Benchmark* b) {
    b->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
}

void registerRequestResponse() {
    const Transport transports[] = {TCP, PIPE};
    long nCount = roundTrips();
    for (Transport transport : transports) {
        std::string sName = transportName(transport);
        std::string sWhere = transport == TCP ? "TCP loopback" : "pipe";
        Comparison c;
        c.sSection = "3. Request/response: a 64-byte string, then transferACK";
        c.sUnit = "round trips/s";
        c.kind = LATENCY;
        c.dTarget = 0.9;
        c.sLabel = sWhere + ", " + (options().bSmoke ? "200" : "10,000") + " round trips";
        c.sNote = "raw: each message in one send";
        c.sMnet = "rr/" + sName + "/mnet";
        c.sBase = "rr/" + sName + "/raw";
        c.sBaseLabel = transport == TCP ? "raw, TCP_NODELAY" : "raw";
        compare(
            c, [transport](benchmark::State& s) { mnetRoundTrips(s, transport); },
            [transport, nCount](benchmark::State& s) {
                rawRoundTrips(s, transport, WHOLE, nCount);
            },
            configure);

        c.sLabel = sWhere + ", the same exchange";
        c.sNote = "for context: raw with four sends, as the library made before";
        c.sBase = "rr/" + sName + "/raw-4-sends";
        c.sBaseLabel = "raw, 4 sends";
        c.dTarget = 0;
        // The library side is the one measured just above.
        compare(
            c, BenchFn(),
            [transport, nCount](benchmark::State& s) {
                rawRoundTrips(s, transport, PROTOCOL_SENDS, nCount);
            },
            configure);
    }
    // Why the library switches Nagle off: few round trips, since each may wait ~40 ms.
    Comparison c;
    c.sSection = "3. Request/response: a 64-byte string, then transferACK";
    c.sUnit = "round trips/s";
    c.kind = LATENCY;
    c.dTarget = 0;
    long nNagle = scaled(25, 3);
    c.sLabel = "TCP loopback, " + std::to_string(nNagle) + " round trips with four sends";
    c.sNote = "for context: without TCP_NODELAY";
    c.sBase = "rr/tcp/raw-4-sends-nagle";
    c.sBaseLabel = "raw, 4 sends, Nagle on";
    c.bOnce = true;
    compare(
        c, BenchFn(),
        [nNagle](benchmark::State& s) { rawRoundTrips(s, TCP, PROTOCOL_SENDS_NAGLE, nNagle); },
        configure);
}

Registrar registrar(registerRequestResponse);

}  // namespace
}  // namespace mnetbench
