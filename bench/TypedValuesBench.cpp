// 1. Typed values in memory: a mix of ints, shorts, longs and 32-byte strings written into a
// MirelBufferConnection and read back, against the same big-endian conversions and copies
// into a plain growing std::vector<unsigned char>.
#include <arpa/inet.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "BenchSupport.hpp"
#include "MirelBufferConnection.hpp"

namespace mnetbench {
namespace {

using MirelNet::MirelBufferConnection;
using MirelSupport::MirelSmartPointer;
using MirelSupport::MirelString;

// One record is four values: int, short, long, 32-byte string.
const int kValuesPerRecord = 4;
const long kRecords = 1000;

const MirelString& text32() {
    static const MirelString s_text("0123456789abcdefghijklmnopqrstuv");
    return s_text;
}

void mnetValues(benchmark::State& state) {
    const MirelString& sText = text32();
    long nCheck = 0;
    for (auto _ : state) {
        MirelSmartPointer<MirelBufferConnection> sp(new MirelBufferConnection());
        for (long i = 0; i < kRecords; ++i) {
            sp->transfer(static_cast<int>(i));
            sp->transfer(static_cast<short>(i));
            sp->transfer(static_cast<long>(i));
            sp->transfer(sText);
        }
        for (long i = 0; i < kRecords; ++i) {
            nCheck += sp->receiveInt();
            nCheck += sp->receiveShort();
            nCheck += sp->receiveLong();
            nCheck += static_cast<long>(sp->receiveString().size());
        }
    }
    benchmark::DoNotOptimize(nCheck);
    state.SetItemsProcessed(state.iterations() * kRecords * kValuesPerRecord * 2);
}

// What the protocol does, without the connection: htonl/htons and an append per value, a
// length then the bytes per string; reads convert back and copy each string out.
class PlainBuffer {
public:
    void putInt(int32_t n) {
        uint32_t w = htonl(static_cast<uint32_t>(n));
        append(&w, 4);
    }
    void putShort(int16_t n) {
        uint16_t w = htons(static_cast<uint16_t>(n));
        append(&w, 2);
    }
    void putString(const std::string& s) {
        putInt(static_cast<int32_t>(s.size()));
        append(s.data(), s.size());
    }
    int32_t getInt() {
        uint32_t w;
        take(&w, 4);
        return static_cast<int32_t>(ntohl(w));
    }
    int16_t getShort() {
        uint16_t w;
        take(&w, 2);
        return static_cast<int16_t>(ntohs(w));
    }
    std::string getString() {
        uint32_t n = static_cast<uint32_t>(getInt());
        std::string s(reinterpret_cast<const char*>(m_bytes.data() + m_nRead), n);
        m_nRead += n;
        return s;
    }

private:
    void append(const void* p, std::size_t n) {
        const unsigned char* pBytes = static_cast<const unsigned char*>(p);
        m_bytes.insert(m_bytes.end(), pBytes, pBytes + n);
    }
    void take(void* p, std::size_t n) {
        std::memcpy(p, m_bytes.data() + m_nRead, n);
        m_nRead += n;
    }
    std::vector<unsigned char> m_bytes;
    std::size_t m_nRead = 0;
};

void plainValues(benchmark::State& state) {
    const std::string& sText = text32();
    long nCheck = 0;
    for (auto _ : state) {
        PlainBuffer buffer;
        for (long i = 0; i < kRecords; ++i) {
            buffer.putInt(static_cast<int32_t>(i));
            buffer.putShort(static_cast<int16_t>(i));
            buffer.putInt(static_cast<int32_t>(i));
            buffer.putString(sText);
        }
        for (long i = 0; i < kRecords; ++i) {
            nCheck += buffer.getInt();
            nCheck += buffer.getShort();
            nCheck += buffer.getInt();
            nCheck += static_cast<long>(buffer.getString().size());
        }
        benchmark::DoNotOptimize(buffer);
    }
    benchmark::DoNotOptimize(nCheck);
    state.SetItemsProcessed(state.iterations() * kRecords * kValuesPerRecord * 2);
}

void registerTypedValues() {
    Comparison c;
    c.sSection = "1. Typed values in memory";
    c.sLabel = "1,000 records of int, short, long and a 32-byte string, written then read";
    c.sUnit = "values/s";
    c.kind = RATE;
    c.dTarget = 0.5;
    c.sMnet = "values/memory/mnet";
    c.sBase = "values/memory/vector";
    c.sBaseLabel = "std::vector";
    c.sNote = "a value counts once written and once read";
    compare(c, mnetValues, plainValues, [](benchmark::internal::Benchmark* b) {
        b->Unit(benchmark::kMicrosecond);
        if (options().bSmoke) {
            b->Iterations(3);
        } else {
            b->MinTime(0.3);
        }
    });
}

Registrar registrar(registerTypedValues);

}  // namespace
}  // namespace mnetbench
