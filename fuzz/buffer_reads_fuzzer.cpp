// Typed reads from a buffer connection holding the fuzzer's bytes, checked against a model.
//
// Input: byte 0 holds the number of operations (low 6 bits) and, in bit 7, how the connection
// is made (clear: built from the data; set: empty, then the data written with put, or nothing
// written when there is no data). The next bytes select one operation each; the rest is the
// data. An operation byte's low 3 bits pick receiveInt, receiveShort, receiveLong,
// receiveString, get, peekBytes, receive or disconnect; its bits 3 to 6 a size (0 to 15) for
// the last four, bit 7 receive's bWaitForAll.
//
// Every result, every expected MirelException (text and code) and the read position are
// compared with what the data says; a difference aborts, and so does any other exception.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "MirelBufferConnection.hpp"

namespace {

using MirelNet::MirelBufferConnection;
using MirelSupport::MirelException;
using MirelSupport::MirelSmartPointer;
using MirelSupport::MirelString;

const char* const kFailedRead = "MirelConnection::get: failed read";
const char* const kTooLong = "MirelConnection::receiveString: string too long.";
const std::uint32_t kMaxStringLength = 16777216u;

void require(bool bHolds, const char* pszWhat) {
    if (!bHolds) {
        std::fprintf(stderr, "buffer_reads_fuzzer: %s\n", pszWhat);
        std::abort();
    }
}

void requireException(const MirelException& e, const char* pszText, int nCode) {
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
void typedRead(MirelBufferConnection& connection, Model& model, std::size_t nWidth, Read read, T expected) {
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

void receiveString(MirelBufferConnection& connection, Model& model) {
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

void get(MirelBufferConnection& connection, Model& model, int nSize) {
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

void peekBytes(MirelBufferConnection& connection, Model& model, int nSize) {
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

void receive(MirelBufferConnection& connection, Model& model, int nSize, bool bWaitForAll) {
    std::vector<char> buffer(static_cast<std::size_t>(nSize));
    long nError = -1;
    long nCount = connection.receive(buffer.data(), nSize, &nError, bWaitForAll);
    require(nError == 0, "receive reported an error");
    std::size_t nExpected = model.bWritten ? std::min(static_cast<std::size_t>(nSize), model.left()) : 0;
    require(nCount == static_cast<long>(nExpected), "receive returned the wrong count");
    require(model.matches(buffer.data(), nExpected), "receive returned the wrong bytes");
    model.nPos += nExpected;
}

void checkEnd(MirelBufferConnection& connection, const Model& model) {
    require(connection.size() == (model.bWritten ? static_cast<int>(model.data.size()) : -1),
            "size() does not count the bytes written");
    if (model.bWritten && !model.data.empty()) {
        require(std::memcmp(connection.buf(), model.data.data(), model.data.size()) == 0,
                "buf() does not hold the bytes written");
    }
    std::vector<char> rest(model.left() + 1);
    long nError = -1;
    long nCount = connection.receive(rest.data(), static_cast<long>(rest.size()), &nError, true);
    require(nError == 0, "final receive reported an error");
    require(nCount == static_cast<long>(model.bWritten ? model.left() : 0), "final receive count is wrong");
    require(model.matches(rest.data(), static_cast<std::size_t>(nCount)), "final receive bytes are wrong");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t nSize) {
    if (nSize == 0) {
        return 0;
    }
    std::size_t nOps = pData[0] & 0x3F;
    bool bWriteLater = (pData[0] & 0x80) != 0;
    if (nOps > nSize - 1) {
        nOps = nSize - 1;
    }
    const std::uint8_t* pOps = pData + 1;
    Model model;
    model.data.assign(pData + 1 + nOps, pData + nSize);
    model.nPos = 0;

    MirelSmartPointer<MirelBufferConnection> spConnection;
    if (bWriteLater) {
        spConnection = new MirelBufferConnection();
        model.bWritten = !model.data.empty();
        if (model.bWritten) {
            spConnection->put(model.data.data(), static_cast<int>(model.data.size()));
        }
    } else {
        spConnection = new MirelBufferConnection(model.data.data(), static_cast<int>(model.data.size()),
                                                 MirelString("fuzz"));
        model.bWritten = true;
    }
    MirelBufferConnection& connection = *spConnection;

    try {
        for (std::size_t i = 0; i < nOps; ++i) {
            int nArg = (pOps[i] >> 3) & 0x0F;
            switch (pOps[i] & 0x07) {
            case 0:
                typedRead<int>(connection, model, 4, [](MirelBufferConnection& c) { return c.receiveInt(); },
                               model.left() >= 4 ? static_cast<int>(model.be32()) : 0);
                break;
            case 1:
                typedRead<short>(connection, model, 2, [](MirelBufferConnection& c) { return c.receiveShort(); },
                                 model.left() >= 2 ? static_cast<short>(model.be16()) : short(0));
                break;
            case 2:
                typedRead<long>(connection, model, 4, [](MirelBufferConnection& c) { return c.receiveLong(); },
                                model.left() >= 4 ? static_cast<long>(static_cast<std::int32_t>(model.be32())) : 0L);
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
    } catch (const MirelException& e) {
        std::fprintf(stderr, "unexpected MirelException: %s (%d)\n", e.getText().c_str(), e.getCode());
        std::abort();
    }
    checkEnd(connection, model);
    return 0;
}
