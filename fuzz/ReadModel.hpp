// The model behind the typed-read fuzz programs: what a connection holding some bytes must
// answer to each read, checked operation by operation. A failed check prints the program's
// name and what differed, and aborts.
#ifndef MNET_FUZZ_READ_MODEL_HPP
#define MNET_FUZZ_READ_MODEL_HPP

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "MirelConnection.hpp"

namespace fuzzmodel {

using MirelNet::MirelConnection;
using MirelSupport::MirelException;
using MirelSupport::MirelString;

const char* const kFailedRead = "MirelConnection::get: failed read";
const char* const kTooLong = "MirelConnection::receiveString: string too long.";
const std::uint32_t kMaxStringLength = 16777216u;

// Set by each program to its own name, for the message of a failed check.
inline const char*& fuzzProgramName() {
    static const char* s_pszName = "fuzzer";
    return s_pszName;
}

inline void require(bool bHolds, const char* pszWhat) {
    if (!bHolds) {
        std::fprintf(stderr, "%s: %s\n", fuzzProgramName(), pszWhat);
        std::abort();
    }
}

inline void requireException(const MirelException& e, const char* pszText, int nCode) {
    require(e.getText() == pszText, "unexpected exception text");
    require(e.getCode() == nCode, "unexpected exception code");
}

// What the connection should hold: the data, the read position, and whether anything was
// ever written.
struct Model {
    std::vector<unsigned char> data;
    std::size_t nPos;
    bool bWritten;

    std::size_t left() const { return data.size() - nPos; }
    std::uint32_t be32() const {
        return (std::uint32_t(data[nPos]) << 24) | (std::uint32_t(data[nPos + 1]) << 16) |
               (std::uint32_t(data[nPos + 2]) << 8) | std::uint32_t(data[nPos + 3]);
    }
    std::uint16_t be16() const { return std::uint16_t((data[nPos] << 8) | data[nPos + 1]); }
    bool matches(const void* p, std::size_t n) const {
        return n == 0 || std::memcmp(p, data.data() + nPos, n) == 0;
    }
};

// A typed read of nWidth bytes: the expected value, or the failed-read exception (code 0) when
// fewer remain, after which the whole rest is consumed.
template <typename T, typename Read>
inline void typedRead(MirelConnection& connection, Model& model, std::size_t nWidth, Read read,
                      T expected) {
    if (model.left() >= nWidth) {
        T value = read(connection);
        require(value == expected, "typed read returned the wrong value");
        model.nPos += nWidth;
        return;
    }
    try {
        read(connection);
        require(false, "typed read past the end did not throw");
    } catch (const MirelException& e) {
        requireException(e, kFailedRead, 0);
    }
    model.nPos = model.data.size();
}

inline void receiveString(MirelConnection& connection, Model& model) {
    if (model.left() < 4) {
        try {
            connection.receiveString();
            require(false, "receiveString without a whole length did not throw");
        } catch (const MirelException& e) {
            requireException(e, kFailedRead, 0);
        }
        model.nPos = model.data.size();
        return;
    }
    std::uint32_t nLength = model.be32();
    model.nPos += 4;
    if (nLength > kMaxStringLength || nLength > model.left()) {
        try {
            connection.receiveString();
            require(false, "receiveString of a too long or cut string did not throw");
        } catch (const MirelException& e) {
            if (nLength > kMaxStringLength) {
                requireException(e, kTooLong, 90);
            } else {
                requireException(e, kFailedRead, 0);
                model.nPos = model.data.size();
            }
        }
        return;
    }
    MirelString sValue = connection.receiveString();
    const char* pStart = reinterpret_cast<const char*>(model.data.data() + model.nPos);
    std::size_t nCut = 0;
    while (nCut < nLength && pStart[nCut] != '\0') {
        ++nCut;
    }
    require(sValue == MirelString(pStart, nCut), "receiveString returned the wrong text");
    model.nPos += nLength;
}

inline void get(MirelConnection& connection, Model& model, int nSize) {
    std::vector<char> buffer(static_cast<std::size_t>(nSize));
    if (static_cast<std::size_t>(nSize) <= model.left() && (model.bWritten || nSize == 0)) {
        require(connection.get(buffer.data(), nSize) == nSize, "get returned the wrong count");
        require(model.matches(buffer.data(), buffer.size()), "get returned the wrong bytes");
        model.nPos += buffer.size();
        return;
    }
    try {
        connection.get(buffer.data(), nSize);
        require(false, "get past the end did not throw");
    } catch (const MirelException& e) {
        requireException(e, kFailedRead, 0);
    }
    model.nPos = model.data.size();
}

inline void peekBytes(MirelConnection& connection, Model& model, int nSize) {
    std::vector<char> buffer(static_cast<std::size_t>(nSize));
    int nCount = nSize;
    int nError = -1;
    bool bResult = connection.peekBytes(buffer.data(), nCount, nError);
    require(nError == 0, "peekBytes reported an error");
    if (!model.bWritten) {
        require(!bResult && nCount == 0, "peekBytes before any write found something");
        return;
    }
    std::size_t nExpected = std::min(static_cast<std::size_t>(nSize), model.left());
    require(bResult, "peekBytes failed on written data");
    require(nCount == static_cast<int>(nExpected), "peekBytes returned the wrong count");
    require(model.matches(buffer.data(), nExpected), "peekBytes returned the wrong bytes");
}

inline void receive(MirelConnection& connection, Model& model, int nSize, bool bWaitForAll) {
    std::vector<char> buffer(static_cast<std::size_t>(nSize));
    long nError = -1;
    long nCount = connection.receive(buffer.data(), nSize, &nError, bWaitForAll);
    require(nError == 0, "receive reported an error");
    std::size_t nExpected =
        model.bWritten ? std::min(static_cast<std::size_t>(nSize), model.left()) : 0;
    require(nCount == static_cast<long>(nExpected), "receive returned the wrong count");
    require(model.matches(buffer.data(), nExpected), "receive returned the wrong bytes");
    model.nPos += nExpected;
}

// Runs one read per byte of pOps against the connection and the model: the low three bits pick
// the read (int, short, long, string, get, peek, receive, disconnect), the next four its size.
inline void runReadOps(MirelConnection& connection, Model& model, const std::uint8_t* pOps,
                       std::size_t nOps) {
    for (std::size_t i = 0; i < nOps; ++i) {
        int nArg = (pOps[i] >> 3) & 0x0F;
        switch (pOps[i] & 0x07) {
            case 0:
                typedRead<int>(
                    connection, model, 4, [](MirelConnection& c) { return c.receiveInt(); },
                    model.left() >= 4 ? static_cast<int>(model.be32()) : 0);
                break;
            case 1:
                typedRead<short>(
                    connection, model, 2, [](MirelConnection& c) { return c.receiveShort(); },
                    model.left() >= 2 ? static_cast<short>(model.be16()) : short(0));
                break;
            case 2:
                typedRead<long>(
                    connection, model, 4, [](MirelConnection& c) { return c.receiveLong(); },
                    model.left() >= 4 ? static_cast<long>(static_cast<std::int32_t>(model.be32()))
                                      : 0L);
                break;
            case 3:
                receiveString(connection, model);
                break;
            case 4:
                get(connection, model, nArg);
                break;
            case 5:
                peekBytes(connection, model, nArg);
                break;
            case 6:
                receive(connection, model, nArg, (pOps[i] & 0x80) != 0);
                break;
            default:
                connection.disconnect();
                break;
        }
    }
}

}  // namespace fuzzmodel

#endif
