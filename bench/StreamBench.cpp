// 2. Stream of values: a million ints (and, separately, 1 KiB strings) sent with transfer over
// TCP loopback and over a pipe connection to a reader thread, against a raw-socket loop doing
// the same sends: one send per value, as the protocol does, and a reader that receives each
// value on its own. The library sends a string (length, content) with one send, as the
// baseline does; a second baseline, for context, sends length and content apart, as the
// protocol's transports did before.
#include <arpa/inet.h>

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

const std::size_t kStringSize = 1024;

enum Payload { INTS, STRINGS };
enum RawSends { ONE_SEND, TWO_SENDS };

long valueCount(Payload payload) {
    return payload == INTS ? scaled(1000000, 2000) : scaled(100000, 500);
}

void mnetStream(benchmark::State& state, Transport transport, Payload payload) {
    long nCount = valueCount(payload);
    bool bComplete = false;
    MnetPeers peers(transport, [nCount, payload, &bComplete](MirelConnection& connection) {
        try {
            long nSum = 0;
            for (long i = 0; i < nCount; ++i) {
                nSum += payload == INTS ? connection.receiveInt()
                                        : static_cast<long>(connection.receiveString().size());
            }
            benchmark::DoNotOptimize(nSum);
            bComplete = true;
        } catch (const MirelException&) {
        }
    });
    if (!peers.error().empty()) {
        state.SkipWithError(peers.error().c_str());
        return;
    }
    const MirelString sText(kStringSize, 'x');
    MirelConnection& client = peers.client();
    for (auto _ : state) {
        try {
            for (long i = 0; i < nCount; ++i) {
                if (payload == INTS) {
                    client.transfer(static_cast<int>(i));
                } else {
                    client.transfer(sText);
                }
            }
        } catch (const MirelException& e) {
            state.SkipWithError(e.getText().c_str());
        }
        peers.join();
    }
    if (!bComplete) {
        state.SkipWithError("the reader did not get every value");
    }
    state.SetItemsProcessed(nCount);
}

void rawStream(benchmark::State& state, Transport transport, Payload payload, RawSends sends) {
    long nCount = valueCount(payload);
    bool bComplete = false;
    RawPeers peers(transport, true, [nCount, payload, &bComplete](int nFd) {
        long nSum = 0;
        for (long i = 0; i < nCount; ++i) {
            uint32_t nWire = 0;
            if (!recvAll(nFd, &nWire, sizeof nWire)) {
                return;
            }
            if (payload == STRINGS) {
                std::string s(ntohl(nWire), '\0');
                if (!recvAll(nFd, &s[0], s.size())) {
                    return;
                }
                nSum += static_cast<long>(s.size());
            } else {
                nSum += static_cast<int32_t>(ntohl(nWire));
            }
        }
        benchmark::DoNotOptimize(nSum);
        bComplete = true;
    });
    if (!peers.error().empty()) {
        state.SkipWithError(peers.error().c_str());
        return;
    }
    // The string as it goes on the wire: length, then content.
    std::vector<char> frame(4 + kStringSize, 'x');
    uint32_t nLength = htonl(static_cast<uint32_t>(kStringSize));
    std::memcpy(frame.data(), &nLength, 4);
    int nFd = peers.client();
    for (auto _ : state) {
        for (long i = 0; i < nCount; ++i) {
            bool bSent;
            if (payload == INTS) {
                uint32_t nWire = htonl(static_cast<uint32_t>(i));
                bSent = sendAll(nFd, &nWire, sizeof nWire);
            } else if (sends == ONE_SEND) {
                bSent = sendAll(nFd, frame.data(), frame.size());
            } else {
                bSent =
                    sendAll(nFd, frame.data(), 4) && sendAll(nFd, frame.data() + 4, kStringSize);
            }
            if (!bSent) {
                state.SkipWithError("send failed");
                break;
            }
        }
        peers.join();
    }
    if (!bComplete) {
        state.SkipWithError("the reader did not get every value");
    }
    state.SetItemsProcessed(nCount);
}

void configure(benchmark::internal::Benchmark* b) {
    b->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
}

void registerStream() {
    const Transport transports[] = {TCP, PIPE};
    for (Transport transport : transports) {
        std::string sName = transportName(transport);
        std::string sWhere = transport == TCP ? "TCP loopback" : "pipe";
        Comparison c;
        c.sSection = "2. Stream of values to a reader thread";
        c.sUnit = "values/s";
        c.kind = RATE;
        c.dTarget = 0.9;

        c.sLabel = sWhere + ", " + (options().bSmoke ? "2,000" : "1,000,000") + " ints";
        c.sNote = "one send per value on both sides";
        c.sMnet = "stream/" + sName + "/int/mnet";
        c.sBase = "stream/" + sName + "/int/raw";
        c.sBaseLabel = "raw";
        compare(
            c, [transport](benchmark::State& s) { mnetStream(s, transport, INTS); },
            [transport](benchmark::State& s) { rawStream(s, transport, INTS, ONE_SEND); },
            configure);

        c.sUnit = "strings/s";
        c.sLabel = sWhere + ", " + (options().bSmoke ? "500" : "100,000") + " strings of 1 KiB";
        c.sNote = "one send per string";
        c.sMnet = "stream/" + sName + "/string/mnet";
        c.sBase = "stream/" + sName + "/string/raw";
        compare(
            c, [transport](benchmark::State& s) { mnetStream(s, transport, STRINGS); },
            [transport](benchmark::State& s) { rawStream(s, transport, STRINGS, ONE_SEND); },
            configure);

        c.sLabel = sWhere + ", the same strings";
        c.sNote = "for context: raw with two sends per string, as the library made before";
        c.sBase = "stream/" + sName + "/string/raw-2-sends";
        c.sBaseLabel = "raw, 2 sends";
        c.dTarget = 0;
        // The library side is the one measured just above.
        compare(
            c, BenchFn(),
            [transport](benchmark::State& s) { rawStream(s, transport, STRINGS, TWO_SENDS); },
            configure);
    }
}

Registrar registrar(registerStream);

}  // namespace
}  // namespace mnetbench
