#include "internal/StreamIo.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
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

void setReceiveTimeout(int nFd, int nTimeoutMs) {
    timeval timeout;
    timeout.tv_sec = nTimeoutMs / 1000;
    timeout.tv_usec = (nTimeoutMs % 1000) * 1000;
    ::setsockopt(nFd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
}

void drainUntilClosed(int nFd, int nTimeoutMs, long nLimit) {
    char buffer[4096];
    long nDropped = 0;
    while (nDropped < nLimit) {
        pollfd wait;
        wait.fd = nFd;
        wait.events = POLLIN;
        wait.revents = 0;
        int rc = ::poll(&wait, 1, nTimeoutMs);
        if (rc < 0 && errno == EINTR) {
            continue;
        }
        if (rc <= 0) {
            return;
        }
        ssize_t n = ::recv(nFd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        nDropped += n;
    }
}

}  // namespace detail
}  // namespace MirelNet
