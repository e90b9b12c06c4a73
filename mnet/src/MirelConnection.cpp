#include "MirelConnection.hpp"

#include <arpa/inet.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>

#include "MirelLogging.hpp"
#include "internal/WriteSpan.hpp"

namespace MirelNet {

using MirelSupport::endrecord;

namespace {

const char* const kGetFailed = "MirelConnection::get: failed read";

// Three peeks 100 ms apart before a line read gives up on an empty transport.
const int kPeekTries = 3;
const useconds_t kPeekPauseUs = 100000;

bool isPrintable(char c) {
    unsigned char uc = static_cast<unsigned char>(c);
    return uc < 0x80 && std::isprint(uc);
}

}  // namespace

MirelConnection::MirelConnection()
    : m_bConnected(false), m_bClientConnection(false), m_bRaw(false), m_bLocalAccess(false) {}

MirelConnection::MirelConnection(bool bClientConnection, const MirelString& sRemoteName)
    : m_bConnected(false),
      m_bClientConnection(bClientConnection),
      m_sRemoteName(sRemoteName),
      m_bRaw(false),
      m_bLocalAccess(false) {}

MirelConnection::MirelConnection(bool bClientConnection, bool bRaw, const MirelString& sRemoteName)
    : m_bConnected(false),
      m_bClientConnection(bClientConnection),
      m_sRemoteName(sRemoteName),
      m_bRaw(bRaw),
      m_bLocalAccess(false) {}

MirelConnection::~MirelConnection() {}

// Each typed write is one span (internal/WriteSpan.hpp): the library's stream transports send
// its bytes together when it finishes.
void MirelConnection::transfer(const MirelString& sString) {
    detail::WriteSpan span(this);
    establish();
    if (sString.size() > static_cast<std::size_t>(INT_MAX)) {
        throw MirelException(MirelString("MirelConnection::transfer: string too long."), EMSGSIZE);
    }
    int nLength = static_cast<int>(sString.size());
    transfer(nLength);
    if (nLength > 0) {
        span.lend(sString.data(), sString.size());
        put(const_cast<char*>(sString.data()), nLength);
    }
    span.finish();
}

void MirelConnection::transfer(int nValue) {
    detail::WriteSpan span(this);
    establish();
    uint32_t nWire = htonl(static_cast<uint32_t>(nValue));
    put(&nWire, sizeof nWire);
    span.finish();
}

void MirelConnection::transfer(short nValue) {
    detail::WriteSpan span(this);
    establish();
    uint16_t nWire = htons(static_cast<uint16_t>(nValue));
    put(&nWire, sizeof nWire);
    span.finish();
}

void MirelConnection::transfer(long lValue) {
    detail::WriteSpan span(this);
    establish();
#if LONG_MAX > 0x7fffffffL
    // Accept what a 32-bit long or unsigned long could hold, so both spellings of a bit
    // pattern go out as the same 4 bytes; anything wider would be cut silently.
    if (lValue < -2147483648L || lValue > 4294967295L) {
        throw MirelException(MirelString("MirelConnection::transfer: value out of range."),
                             EOVERFLOW);
    }
#endif
    uint32_t nWire = htonl(static_cast<uint32_t>(lValue));
    put(&nWire, sizeof nWire);
    span.finish();
}

void MirelConnection::transfer(bool bValue) {
    transfer(static_cast<short>(bValue ? 1 : 0));
}

MirelString MirelConnection::receiveString() {
    // A span makes the read one operation, for a time-out of the connection.
    detail::WriteSpan span(this);
    establish();
    uint32_t nLength = static_cast<uint32_t>(receiveInt());
    if (nLength == 0) {
        span.finish();
        return MirelString();
    }
    if (nLength > MAX_STRING_LENGTH) {
        throw MirelException(MirelString("MirelConnection::receiveString: string too long."),
                             EMSGSIZE);
    }
    // Grown as the bytes arrive, so a length that the peer never backs with data costs no more
    // than the data it did send.
    const uint32_t kChunk = 65536;
    MirelString sContent(nLength < kChunk ? nLength : kChunk, '\0');
    for (uint32_t nHave = 0; nHave < nLength;) {
        uint32_t nPart = nLength - nHave < kChunk ? nLength - nHave : kChunk;
        if (nHave > 0) {
            sContent.resize(nHave + nPart);
        }
        get(&sContent[nHave], static_cast<int>(nPart));
        nHave += nPart;
    }
    std::size_t nZero = sContent.find('\0');
    if (nZero != MirelString::npos) {
        sContent.resize(nZero);
    }
    span.finish();
    return sContent;
}

int MirelConnection::receiveInt() {
    detail::WriteSpan span(this);
    establish();
    uint32_t nWire = 0;
    get(&nWire, sizeof nWire);
    span.finish();
    return static_cast<int>(ntohl(nWire));
}

short MirelConnection::receiveShort() {
    detail::WriteSpan span(this);
    establish();
    uint16_t nWire = 0;
    get(&nWire, sizeof nWire);
    span.finish();
    return static_cast<short>(ntohs(nWire));
}

long MirelConnection::receiveLong() {
    detail::WriteSpan span(this);
    establish();
    uint32_t nWire = 0;
    get(&nWire, sizeof nWire);
    span.finish();
    return static_cast<long>(static_cast<int32_t>(ntohl(nWire)));
}

void MirelConnection::transferACK() {
    detail::WriteSpan span(this);
    establish();
    transfer(static_cast<short>(1));
    transfer(static_cast<short>(0));
    span.finish();
}

void MirelConnection::transferError() {
    detail::WriteSpan span(this);
    establish();
    transfer(static_cast<short>(1));
    transfer(static_cast<short>(-1));
    span.finish();
}

const MirelString& MirelConnection::getRemoteName() const {
    return m_sRemoteName;
}

const MirelString& MirelConnection::getServiceName() const {
    return m_sServiceName;
}

void MirelConnection::setServiceName(const MirelString& sServiceName) {
    m_sServiceName = sServiceName;
}

int MirelConnection::get(void* pBuffer, int nSize) {
    long nError = 0;
    long nCount = receive(static_cast<char*>(pBuffer), nSize, &nError, true);
    if (nCount != nSize) {
        throw MirelException(MirelString(kGetFailed), static_cast<int>(nError));
    }
    return nSize;
}

void MirelConnection::put(void* pBuffer, int nSize) {
    long nError = 0;
    transfer(static_cast<const char*>(pBuffer), nSize, &nError);
    if (nError != 0) {
        throw MirelException(MirelString(detail::kPutFailed), static_cast<int>(nError));
    }
}

bool MirelConnection::peekLine(char* pBuffer, int& nSize, int& nErrorCode) {
    nErrorCode = 0;
    if (pBuffer == 0 || nSize <= 0) {
        nSize = 0;
        return false;
    }
    int nLimit = nSize - 1;
    int nCount = 0;
    for (int nTry = 0; nTry < kPeekTries && nLimit > 0; ++nTry) {
        if (nTry > 0) {
            ::usleep(kPeekPauseUs);
        }
        nCount = nLimit;
        peekBytes(pBuffer, nCount, nErrorCode);
        if (nCount < 0 || nCount > nLimit) {
            nCount = 0;  // a transport must not report more than it was given room for
        }
        if (nCount != 0 || nErrorCode != 0) {
            break;
        }
    }
    nSize = nCount;
    pBuffer[nCount] = '\0';

    char* pCr = 0;
    for (char* p = pBuffer; *p != '\0'; ++p) {
        if (p[0] == '\r' && p[1] == '\n') {
            pCr = p;
            break;
        }
    }
    if (pCr == 0) {
        MIREL_LOG(4) << "MirelConnection::peekLine: read " << nCount << " without a <CRLF> pair"
                     << endrecord;
        return false;
    }
    *pCr = '\0';
    for (const char* p = pBuffer; *p != '\0'; ++p) {
        if (!isPrintable(*p)) {
            MIREL_LOG(4) << "HTTPRequest::PeekLine: break on character = " << *p << endrecord;
            return false;
        }
    }
    return true;
}

char* MirelConnection::getLine(char* pszBuffer, int nBufferLen, int& nErrorCode) {
    nErrorCode = 0;
    int nPeeked = nBufferLen;
    if (!peekLine(pszBuffer, nPeeked, nErrorCode)) {
        if (nErrorCode == 0 && nPeeked == 0 && nBufferLen > 1) {
            // Three peeks found nothing and no error: every transport of the library reports
            // exactly that once its data has ended, so waiting longer would wait for ever.
            nErrorCode = ENOTCONN;
        }
        return 0;
    }
    if (nErrorCode != 0) {
        return 0;
    }
    int nLength = static_cast<int>(std::strlen(pszBuffer));
    get(pszBuffer, nLength + 2);
    pszBuffer[nLength] = '\0';
    return pszBuffer;
}

void MirelConnection::setRaw(bool bRaw) {
    m_bRaw = bRaw;
    if (!bRaw) {
        initialize();
    }
}

MirelString MirelConnection::getServerName() {
    return m_sServerName;
}

MirelString MirelConnection::getPortName() {
    return m_sPortName;
}

bool MirelConnection::getLocalAccess() const {
    return m_bLocalAccess;
}

void MirelConnection::setLocalAccess(bool bLocalAccess) {
    m_bLocalAccess = bLocalAccess;
}

unsigned int MirelConnection::getAccessRights() const {
    return 1;
}

void MirelConnection::initialize() {}

void MirelConnection::cleanup() {
    m_bConnected = false;
}

bool MirelConnection::connectToServiceImpl() {
    if (m_sServiceName.empty()) {
        return true;
    }
    // The name up to its first zero byte, then CR LF.
    MirelString sLine(m_sServiceName.c_str());
    sLine += "\r\n";
    long nError = 0;
    if (transfer(sLine.data(), static_cast<long>(sLine.size()), &nError) == -1) {
        return false;
    }
    char cAnswer = 0;
    if (receive(&cAnswer, 1, &nError, true) != 1) {
        return false;
    }
    return cAnswer == '+';
}

}  // namespace MirelNet
