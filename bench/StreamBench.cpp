// 2. Stream of values: a million ints (and, separately, 1 KiB strings) sent with transfer over
// TCP loopback and over a pipe connection to a reader thread, against a raw-socket loop doing
// the same sends: one send per value, as the protocol does. The library sends a string
// (length, content) with one send, and its reader takes what has arrived, up to 4 KiB, with one
// receive; the baseline that carries the target does both the same way by hand. Two baselines
// give context: a reader that receives each value on its own (length, then content), and a
// sender that sends length and content apart, as the protocol's transports did before.
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
enum RawReads { ARRIVALS, EACH_VALUE };

// The raw reader that receives as the library does: whatever has arrived, up to 4 KiB, with
// one receive when its buffer is empty; a read of 4 KiB or more goes straight to the caller.
class ArrivalReader {
public:
    explicit ArrivalReader(int nFd) : m_nFd(nFd), m_nBegin(0), m_nEnd(0) {}

    bool read(void* pTo, std::size_t nSize) {
        char* pAt = static_cast<char*>(pTo);
        while (nSize > 0) {
            if (m_nBegin == m_nEnd) {
                if (nSize >= sizeof m_buffer) {
                    return recvAll(m_nFd, pAt, nSize);
                }
                ssize_t n = recv(m_nFd, m_buffer, sizeof m_buffer, 0);
                if (n <= 0) {
                    return false;
                }
                m_nBegin = 0;
                m_nEnd = static_cast<std::size_t>(n);
            }
            std::size_t nPart = nSize < m_nEnd - m_nBegin ? nSize : m_nEnd - m_nBegin;
            std::memcpy(pAt, m_buffer + m_nBegin, nPart);
            m_nBegin += nPart;
            pAt += nPart;
            nSize -= nPart;
        }
        return true;
    }

private:
    int m_nFd;
    std::size_t m_nBegin;
    std::size_t m_nEnd;
    char m_buffer[4096];
};

// Each value with receives of its own size, until they add up.
class ValueReader {
public:
    explicit ValueReader(int nFd) : m_nFd(nFd) {}
    bool read(void* pTo, std::size_t nSize) { return recvAll(m_nFd, pTo, nSize); }

private:
    int m_nFd;
};

template <class Reader>
bool readRawValues(Reader& reader, Payload payload, long nCount) {
    long nSum = 0;
    for (long i = 0; i < nCount; ++i) {
        uint32_t nWire = 0;
        if (!reader.read(&nWire, sizeof nWire)) {
            return false;
        }
        if (payload == STRINGS) {
            std::string s(ntohl(nWire), '\0');
            if (!reader.read(&s[0], s.size())) {
                return false;
            }
            nSum += static_cast<long>(s.size());
        } else {
            nSum += static_cast<int32_t>(ntohl(nWire));
        }
    }
    benchmark::DoNotOptimize(nSum);
    return true;
}

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

void rawStream(benchmark::State& state, Transport transport, Payload payload, RawSends sends,
               RawReads reads) {
    long nCount = valueCount(payload);
    bool bComplete = false;
    RawPeers peers(transport, true, [nCount, payload, reads, &bComplete](int nFd) {
        if (reads == ARRIVALS) {
            ArrivalReader reader(nFd);
            bComplete = readRawValues(reader, payload, nCount);
        } else {
            ValueReader reader(nFd);
            bComplete = readRawValues(reader, payload, nCount);
        }
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

// One baseline of a payload: its name, what it is, how the raw side sends and reads, and the
// target (0 for context).
struct Baseline {
    const char* pszName;
    const char* pszLabel;
    const char* pszNote;
    RawSends sends;
    RawReads reads;
    double dTarget;
};

// The first baseline carries the target; the others are for context and reuse the library
// side measured against it.
void registerPayload(Transport transport, Payload payload, const Baseline* pBaselines, int nCount) {
    std::string sPrefix = std::string("stream/") + transportName(transport) +
                          (payload == INTS ? "/int/" : "/string/");
    std::string sWhere = transport == TCP ? "TCP loopback" : "pipe";
    bool bSmoke = options().bSmoke;
    Comparison c;
    c.sSection = "2. Stream of values to a reader thread";
    c.kind = RATE;
    c.sUnit = payload == INTS ? "values/s" : "strings/s";
    c.sMnet = sPrefix + "mnet";
    for (int i = 0; i < nCount; ++i) {
        const Baseline& base = pBaselines[i];
        if (i == 0) {
            c.sLabel =
                sWhere + ", " +
                (payload == INTS ? (bSmoke ? "2,000 ints" : "1,000,000 ints")
                                 : (bSmoke ? "500 strings of 1 KiB" : "100,000 strings of 1 KiB"));
        } else {
            c.sLabel = sWhere + (payload == INTS ? ", the same ints" : ", the same strings");
        }
        c.sNote = base.pszNote;
        c.sBase = sPrefix + base.pszName;
        c.sBaseLabel = base.pszLabel;
        c.dTarget = base.dTarget;
        RawSends sends = base.sends;
        RawReads reads = base.reads;
        BenchFn mnetFn;
        if (i == 0) {
            mnetFn = [transport, payload](benchmark::State& s) {
                mnetStream(s, transport, payload);
            };
        }
        compare(
            c, mnetFn,
            [transport, payload, sends, reads](benchmark::State& s) {
                rawStream(s, transport, payload, sends, reads);
            },
            configure);
    }
}

void registerStream() {
    const Baseline ints[] = {
        {"raw", "raw", "one send per value; both readers take what has arrived", ONE_SEND, ARRIVALS,
         0.9},
        {"raw-each-value", "raw, a receive per value",
         "for context: the raw reader receives each value on its own", ONE_SEND, EACH_VALUE, 0},
    };
    const Baseline strings[] = {
        {"raw", "raw", "one send per string; both readers take what has arrived", ONE_SEND,
         ARRIVALS, 0.9},
        {"raw-each-value", "raw, a receive per value",
         "for context: the raw reader receives length and content apart", ONE_SEND, EACH_VALUE, 0},
        {"raw-2-sends", "raw, 2 sends",
         "for context: raw with two sends per string, as the library made before", TWO_SENDS,
         ARRIVALS, 0},
    };
    const Transport transports[] = {TCP, PIPE};
    for (Transport transport : transports) {
        registerPayload(transport, INTS, ints, 2);
        registerPayload(transport, STRINGS, strings, 3);
    }
}

Registrar registrar(registerStream);

}  // namespace
}  // namespace mnetbench
