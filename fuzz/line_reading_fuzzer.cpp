// peekLine and getLine on a buffer connection holding the fuzzer's bytes, with buffer sizes
// chosen by the input, checked against a model.
//
// Input: byte 0 holds the number of calls (low 5 bits) and, in bit 7, how the connection is
// made (clear: built from the data; set: empty, then the data written with put). The next bytes
// describe one call each: bit 7 picks peekLine (set) or getLine (clear), bits 0 to 6 the buffer
// size (0 to 127), allocated to exactly that size. The rest is the data.
//
// A line is read when it and its CR LF fit into size - 1 bytes, holds no zero byte and only
// characters 20 to 7E; otherwise nothing is consumed. Once the data is used up the calls stop:
// at the end of the data a line read waits 200 ms before it gives up, which would only slow the
// fuzzer down (the unit tests cover that end).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "MirelBufferConnection.hpp"

namespace {

using MirelNet::MirelBufferConnection;
using MirelSupport::MirelException;
using MirelSupport::MirelSmartPointer;
using MirelSupport::MirelString;

void require(bool bHolds, const char* pszWhat) {
    if (!bHolds) {
        std::fprintf(stderr, "line_reading_fuzzer: %s\n", pszWhat);
        std::abort();
    }
}

// What a call with a buffer of nBufferLen bytes should see at the read position.
struct Expected {
    int nPeeked;       // bytes peeked
    bool bLine;        // a whole printable line was found
    std::string line;  // that line, without CR LF
};

Expected expect(const std::vector<unsigned char>& data, std::size_t nPos, int nBufferLen) {
    Expected e;
    std::size_t nLimit = nBufferLen > 1 ? static_cast<std::size_t>(nBufferLen - 1) : 0;
    std::size_t nLeft = data.size() - nPos;
    e.nPeeked = static_cast<int>(nLimit < nLeft ? nLimit : nLeft);
    e.bLine = false;
    const unsigned char* p = data.data() + nPos;
    std::size_t nText = 0;
    while (nText < static_cast<std::size_t>(e.nPeeked) && p[nText] != 0) {
        ++nText;
    }
    for (std::size_t i = 0; i + 1 < nText; ++i) {
        if (p[i] == '\r' && p[i + 1] == '\n') {
            e.line.assign(reinterpret_cast<const char*>(p), i);
            e.bLine = true;
            break;
        }
    }
    for (unsigned char c : e.line) {
        if (c < 0x20 || c > 0x7E) {
            e.bLine = false;
        }
    }
    return e;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t nSize) {
    if (nSize == 0) {
        return 0;
    }
    std::size_t nCalls = pData[0] & 0x1F;
    bool bWriteLater = (pData[0] & 0x80) != 0;
    if (nCalls > nSize - 1) {
        nCalls = nSize - 1;
    }
    const std::uint8_t* pCalls = pData + 1;
    std::vector<unsigned char> data(pData + 1 + nCalls, pData + nSize);
    if (data.empty()) {
        return 0;  // nothing to read: every call would only wait
    }
    std::size_t nPos = 0;

    MirelSmartPointer<MirelBufferConnection> spConnection;
    if (bWriteLater) {
        spConnection = new MirelBufferConnection();
        spConnection->put(data.data(), static_cast<int>(data.size()));
    } else {
        spConnection = new MirelBufferConnection(data.data(), static_cast<int>(data.size()),
                                                 MirelString("fuzz"));
    }

    try {
        for (std::size_t i = 0; i < nCalls && nPos < data.size(); ++i) {
            bool bPeek = (pCalls[i] & 0x80) != 0;
            int nBufferLen = pCalls[i] & 0x7F;
            std::unique_ptr<char[]> buffer(new char[static_cast<std::size_t>(nBufferLen)]);
            Expected e = expect(data, nPos, nBufferLen);
            int nError = -1;
            if (bPeek) {
                int nCount = nBufferLen;
                bool bLine = spConnection->peekLine(buffer.get(), nCount, nError);
                // A buffer of 0 bytes leaves no room even for the terminating zero: only the
                // result and the count are defined then.
                require(nBufferLen == 0 || nError == 0, "peekLine reported an error");
                require(bLine == e.bLine,
                        "peekLine found a line where there is none, or missed one");
                require(nCount == e.nPeeked, "peekLine reported the wrong count");
                if (bLine) {
                    require(std::strcmp(buffer.get(), e.line.c_str()) == 0,
                            "peekLine returned the wrong line");
                }
            } else {
                char* pszLine = spConnection->getLine(buffer.get(), nBufferLen, nError);
                require(nError == 0, "getLine reported an error with data waiting");
                require((pszLine != 0) == e.bLine,
                        "getLine read a line where there is none, or missed one");
                if (pszLine != 0) {
                    require(pszLine == buffer.get(), "getLine did not return its buffer");
                    require(std::strcmp(pszLine, e.line.c_str()) == 0,
                            "getLine returned the wrong line");
                    nPos += e.line.size() + 2;
                }
            }
        }
    } catch (const MirelException& e) {
        std::fprintf(stderr, "unexpected MirelException: %s (%d)\n", e.getText().c_str(),
                     e.getCode());
        std::abort();
    }

    // Nothing but the lines read was consumed.
    std::vector<char> rest(data.size() - nPos + 1);
    long nError = -1;
    long nCount = spConnection->receive(rest.data(), static_cast<long>(rest.size()), &nError, true);
    require(nError == 0 && nCount == static_cast<long>(data.size() - nPos),
            "wrong number of bytes left");
    require(nCount == 0 ||
                std::memcmp(rest.data(), data.data() + nPos, static_cast<std::size_t>(nCount)) == 0,
            "wrong bytes left");
    return 0;
}
