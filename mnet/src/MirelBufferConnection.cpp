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
    // Most writes fit in what the buffer has left.
    if (bufLen > 0 && buf != 0 && m_nOutIndex >= 0 && bufLen <= m_nBufferSize - m_nOutIndex) {
        copyBytes(m_pDataBuffer + m_nOutIndex, buf, bufLen);
        m_nOutIndex += static_cast<int>(bufLen);
        return bufLen;
    }
    if (bufLen < 0 || (bufLen > 0 && buf == 0)) {
        *error = EINVAL;
        return -1;
    }
    // In 64 bits: where long has 32, a length near its limit would overflow the sums below.
    long long nUsed = m_nOutIndex < 0 ? 0 : m_nOutIndex;
    long long nLength = bufLen;
    if (m_nOutIndex == -1 || nUsed + nLength > m_nBufferSize) {
        long long nIncrement = (nLength + kGrowthStep - 1) / kGrowthStep * kGrowthStep;
        long long nNewSize = static_cast<long long>(m_nBufferSize) + nIncrement;
        if (nNewSize > INT_MAX) {
            *error = ENOMEM;
            return 0;
        }
        if (nNewSize > m_nBufferSize) {
            void* pGrown = std::realloc(m_pDataBuffer, static_cast<std::size_t>(nNewSize));
            if (pGrown == 0) {
                *error = ENOMEM;
                return 0;
            }
            m_pDataBuffer = static_cast<unsigned char*>(pGrown);
            m_nBufferSize = static_cast<int>(nNewSize);
        }
        if (m_nOutIndex == -1) {
            m_nInIndex = 0;
            m_nOutIndex = 0;
        }
    }
    if (bufLen > 0) {
        copyBytes(m_pDataBuffer + m_nOutIndex, buf, bufLen);
        m_nOutIndex += static_cast<int>(bufLen);
    }
    return bufLen;
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
