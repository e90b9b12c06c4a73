#include "MirelBufferConnection.hpp"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace MirelNet {

namespace {

const long long kGrowthStep = 8192;

// Every number of the protocol is 2 or 4 bytes: copies of those sizes are done inline instead
// of through a call to memcpy, which dominated the cost of a typed value in memory.
inline void copyBytes(void* pTo, const void* pFrom, long nCount) {
    if (nCount == 4) {
        std::memcpy(pTo, pFrom, 4);
    } else if (nCount == 2) {
        std::memcpy(pTo, pFrom, 2);
    } else {
        std::memcpy(pTo, pFrom, static_cast<std::size_t>(nCount));
    }
}

// A write that must first make the buffer (indices -1) or grow it by whole steps of 8 KiB.
__attribute__((noinline)) long growingWrite(unsigned char*& pData, int& nSize, int& nInIndex,
                                            int& nOutIndex, const char* buf, long bufLen,
                                            long* error) {
    if (bufLen < 0 || (bufLen > 0 && buf == 0)) {
        *error = EINVAL;
        return -1;
    }
    // In 64 bits: where long has 32, a length near its limit would overflow the sums below.
    long long nUsed = nOutIndex < 0 ? 0 : nOutIndex;
    long long nLength = bufLen;
    if (nOutIndex == -1 || nUsed + nLength > nSize) {
        long long nIncrement = (nLength + kGrowthStep - 1) / kGrowthStep * kGrowthStep;
        long long nNewSize = static_cast<long long>(nSize) + nIncrement;
        if (nNewSize > INT_MAX) {
            *error = ENOMEM;
            return 0;
        }
        if (nNewSize > nSize) {
            void* pGrown = std::realloc(pData, static_cast<std::size_t>(nNewSize));
            if (pGrown == 0) {
                *error = ENOMEM;
                return 0;
            }
            pData = static_cast<unsigned char*>(pGrown);
            nSize = static_cast<int>(nNewSize);
        }
        if (nOutIndex == -1) {
            nInIndex = 0;
            nOutIndex = 0;
        }
    }
    if (bufLen > 0) {
        copyBytes(pData + nOutIndex, buf, bufLen);
        nOutIndex += static_cast<int>(bufLen);
    }
    return bufLen;
}

}  // namespace

MirelBufferConnection::MirelBufferConnection()
    : MirelConnection(true, MirelString()),
      m_pDataBuffer(0),
      m_nBufferSize(0),
      m_nInIndex(-1),
      m_nOutIndex(-1) {}

MirelBufferConnection::MirelBufferConnection(void* pDataBuffer, int nSize,
                                             const MirelString& sClientName)
    : MirelConnection(false, sClientName),
      m_pDataBuffer(0),
      m_nBufferSize(0),
      m_nInIndex(-1),
      m_nOutIndex(-1) {
    long nError = 0;
    MirelBufferConnection::transfer(static_cast<const char*>(pDataBuffer), nSize, &nError);
}

MirelBufferConnection::~MirelBufferConnection() {
    std::free(m_pDataBuffer);
}

void MirelBufferConnection::disconnect() {
    if (m_bConnected) {
        cleanup();
    }
}

long MirelBufferConnection::transfer(const char* buf, long bufLen, long* error) {
    *error = 0;
    // Most writes fit in what the buffer has left; the rest grow it, out of line so that this
    // path stays short.
    if (bufLen > 0 && buf != 0 && m_nOutIndex >= 0 && bufLen <= m_nBufferSize - m_nOutIndex) {
        copyBytes(m_pDataBuffer + m_nOutIndex, buf, bufLen);
        m_nOutIndex += static_cast<int>(bufLen);
        return bufLen;
    }
    return growingWrite(m_pDataBuffer, m_nBufferSize, m_nInIndex, m_nOutIndex, buf, bufLen, error);
}

long MirelBufferConnection::receive(char* bufPtr, long toRead, long* error, bool) {
    *error = 0;
    if (m_nInIndex == -1 || toRead <= 0) {
        return 0;
    }
    long nLeft = m_nOutIndex - m_nInIndex;
    long nCount = toRead < nLeft ? toRead : nLeft;
    if (nCount > 0) {
        copyBytes(bufPtr, m_pDataBuffer + m_nInIndex, nCount);
        m_nInIndex += static_cast<int>(nCount);
    }
    return nCount;
}

bool MirelBufferConnection::peekBytes(void* pBuffer, int& nSize, int& nErrorCode) {
    nErrorCode = 0;
    if (m_nInIndex == -1) {
        nSize = 0;
        return false;
    }
    int nLeft = m_nOutIndex - m_nInIndex;
    int nCount = nSize < nLeft ? nSize : nLeft;
    if (nCount < 0) {
        nCount = 0;
    }
    if (nCount > 0) {
        std::memcpy(pBuffer, m_pDataBuffer + m_nInIndex, static_cast<std::size_t>(nCount));
    }
    nSize = nCount;
    return true;
}

const void* MirelBufferConnection::buf() const {
    return m_pDataBuffer;
}

int MirelBufferConnection::size() const {
    return m_nOutIndex;
}

int MirelBufferConnection::establishImpl(MirelString&) {
    if (!m_bConnected) {
        m_bConnected = true;
        initialize();
    }
    return 0;
}

}  // namespace MirelNet
