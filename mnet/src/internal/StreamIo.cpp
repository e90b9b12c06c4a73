#include "internal/StreamIo.hpp"

#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>

namespace MirelNet {
namespace detail {

void* newCell(int nFd) {
    return new int(nFd);
}

int cellFd(const void* pCell) {
    return pCell ? *static_cast<const int*>(pCell) : -1;
}

void closeCell(void*& pCell) {
    if (pCell) {
        int* pFd = static_cast<int*>(pCell);
        pCell = 0;
        closeFd(*pFd);
        delete pFd;
    }
}

void closeFd(int nFd) {
    if (nFd >= 0) {
        ::close(nFd);
    }
}

long sendAll(int nFd, const char* buf, long bufLen, long* error) {
    long nSent = 0;
    while (nSent < bufLen) {
        ssize_t n = ::send(nFd, buf + nSent, static_cast<size_t>(bufLen - nSent), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            *error = errno;
            return -1;
        }
        nSent += n;
    }
    return bufLen;
}

long receiveSome(int nFd, char* bufPtr, long toRead, long* error, bool bWaitForAll) {
    long nTotal = 0;
    while (nTotal < toRead) {
        ssize_t n = ::recv(nFd, bufPtr + nTotal, static_cast<size_t>(toRead - nTotal), 0);
        if (n > 0) {
            nTotal += n;
            if (!bWaitForAll) {
                return nTotal;
            }
        } else if (n == 0) {
            *error = ENOTCONN;
            return -1;
        } else if (errno != EINTR) {
            *error = errno;
            return -1;
        }
    }
    return toRead;
}

bool peekSome(int nFd, void* pBuffer, int& nSize, int& nErrorCode) {
    ssize_t n;
    do {
        n = ::recv(nFd, pBuffer, nSize > 0 ? static_cast<size_t>(nSize) : 0, MSG_PEEK);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        nSize = 0;
        nErrorCode = errno;
        return false;
    }
    nSize = static_cast<int>(n);
    nErrorCode = 0;
    return n > 0;
}

}  // namespace detail
}  // namespace MirelNet
