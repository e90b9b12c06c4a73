#include "internal/Posix.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <sys/file.h>
#include <sys/un.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace MirelNet {
namespace detail {

using MirelSupport::MirelString;

namespace {

// Repeats call while it fails with EINTR.
template <class Call>
auto retried(Call call) -> decltype(call()) {
    decltype(call()) rc;
    do {
        rc = call();
    } while (rc < 0 && errno == EINTR);
    return rc;
}

bool hasLetter(const MirelString& sText) {
    for (char c : sText) {
        if (std::isalpha(static_cast<unsigned char>(c))) {
            return true;
        }
    }
    return false;
}

// The text between the brackets of "[...]"; the text itself when it has none.
MirelString unbracketed(const MirelString& sText) {
    if (sText.size() >= 2 && sText[0] == '[' && sText[sText.size() - 1] == ']') {
        return sText.substr(1, sText.size() - 2);
    }
    return sText;
}

int resolverError(int nGaiError) {
    if (nGaiError == EAI_AGAIN) {
        return EAGAIN;
    }
    return EHOSTUNREACH;
}

}  // namespace

SocketAddress::SocketAddress() : nLength(0) {
    std::memset(&storage, 0, sizeof storage);
}

sockaddr* SocketAddress::clearedFor(socklen_t** ppnLength) {
    std::memset(&storage, 0, sizeof storage);
    nLength = sizeof storage;
    *ppnLength = &nLength;
    return get();
}

int SocketAddress::port() const {
    if (family() == AF_INET) {
        return ntohs(reinterpret_cast<const sockaddr_in*>(&storage)->sin_port);
    }
    if (family() == AF_INET6) {
        return ntohs(reinterpret_cast<const sockaddr_in6*>(&storage)->sin6_port);
    }
    return 0;
}

bool SocketAddress::isLoopback() const {
    if (family() == AF_INET) {
        return reinterpret_cast<const sockaddr_in*>(&storage)->sin_addr.s_addr ==
               htonl(INADDR_LOOPBACK);
    }
    if (family() == AF_INET6) {
        const in6_addr& address = reinterpret_cast<const sockaddr_in6*>(&storage)->sin6_addr;
        if (IN6_IS_ADDR_LOOPBACK(&address)) {
            return true;
        }
        // 127.0.0.1 reaching a socket bound to "::".
        return IN6_IS_ADDR_V4MAPPED(&address) && address.s6_addr[12] == 127 &&
               address.s6_addr[13] == 0 && address.s6_addr[14] == 0 && address.s6_addr[15] == 1;
    }
    return false;
}

namespace posix {

int socket(int nDomain, int nType) {
    return ::socket(nDomain, nType | SOCK_CLOEXEC, 0);
}

int accept(int nFd, SocketAddress* pPeer) {
    socklen_t* pnLength = 0;
    sockaddr* pAddress = pPeer ? pPeer->clearedFor(&pnLength) : 0;
    return retried([&] { return ::accept4(nFd, pAddress, pnLength, SOCK_CLOEXEC); });
}

ssize_t recv(int nFd, void* pBuffer, std::size_t nSize, int nFlags) {
    return retried([&] { return ::recv(nFd, pBuffer, nSize, nFlags); });
}

ssize_t recvFrom(int nFd, void* pBuffer, std::size_t nSize, int nFlags, SocketAddress* pPeer) {
    socklen_t* pnLength = 0;
    sockaddr* pAddress = pPeer->clearedFor(&pnLength);
    return retried([&] { return ::recvfrom(nFd, pBuffer, nSize, nFlags, pAddress, pnLength); });
}

ssize_t send(int nFd, const void* pData, std::size_t nSize, int nFlags) {
    return retried([&] { return ::send(nFd, pData, nSize, nFlags); });
}

ssize_t sendMsg(int nFd, const msghdr* pMessage, int nFlags) {
    return retried([&] { return ::sendmsg(nFd, pMessage, nFlags); });
}

ssize_t sendTo(int nFd, const void* pData, std::size_t nSize, int nFlags,
               const SocketAddress& destination) {
    return retried([&] {
        return ::sendto(nFd, pData, nSize, nFlags, destination.get(), destination.nLength);
    });
}

ssize_t write(int nFd, const void* pData, std::size_t nSize) {
    return retried([&] { return ::write(nFd, pData, nSize); });
}

int poll(pollfd* pFds, nfds_t nCount, int nTimeoutMs) {
    typedef std::chrono::steady_clock Clock;
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(nTimeoutMs);
    for (;;) {
        int rc = ::poll(pFds, nCount, nTimeoutMs);
        if (rc >= 0 || errno != EINTR) {
            return rc;
        }
        if (nTimeoutMs > 0) {
            long long nLeft =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now())
                    .count();
            nTimeoutMs = nLeft > 0 ? static_cast<int>(nLeft) : 0;
        }
    }
}

int connect(int nFd, const SocketAddress& address, int nTimeoutMs) {
    if (::connect(nFd, address.get(), address.nLength) == 0) {
        return 0;
    }
    if (errno != EINTR) {
        return errno;
    }
    if (address.family() == AF_UNIX) {
        do {
            if (::connect(nFd, address.get(), address.nLength) == 0 || errno == EISCONN) {
                return 0;
            }
        } while (errno == EINTR);
        return errno;
    }
    // Cut short by a signal, the connect goes on: its outcome comes with writability.
    pollfd wait;
    wait.fd = nFd;
    wait.events = POLLOUT;
    wait.revents = 0;
    int rc = posix::poll(&wait, 1, nTimeoutMs);
    if (rc < 0) {
        return errno;
    }
    if (rc == 0) {
        return ETIMEDOUT;
    }
    int nError = 0;
    socklen_t nLength = sizeof nError;
    if (::getsockopt(nFd, SOL_SOCKET, SO_ERROR, &nError, &nLength) != 0) {
        return errno;
    }
    return nError;
}

void close(int nFd) {
    if (nFd >= 0) {
        ::close(nFd);
    }
}

int openAt(int nDir, const char* pszName, int nFlags) {
    return retried([&] { return ::openat(nDir, pszName, nFlags | O_CLOEXEC); });
}

int flock(int nFd, int nOperation) {
    return retried([&] { return ::flock(nFd, nOperation); });
}

}  // namespace posix

SocketFailure classifyFailure(int nError) {
    switch (nError) {
        case EAGAIN:
#if EWOULDBLOCK != EAGAIN
        case EWOULDBLOCK:
#endif
        case EINTR:
        case ECONNABORTED:  // a client gave up before it was accepted
            return RETRY_NOW;
        case ECONNRESET:
        case ECONNREFUSED:  // a datagram of ours came back refused
        case EHOSTDOWN:
        case EHOSTUNREACH:
        case ENETUNREACH:
        case ENONET:
        case EPROTO:
            return PEER_FAULT;
        default:
            return OWN_FAULT;
    }
}

bool socketGone(int nError) {
    return nError == EBADF || nError == ENOTSOCK;
}

bool unixAddress(const MirelString& sPath, SocketAddress* pAddress, int* pError) {
    *pAddress = SocketAddress();
    sockaddr_un* pUnix = reinterpret_cast<sockaddr_un*>(&pAddress->storage);
    pUnix->sun_family = AF_UNIX;
    if (sPath.size() >= sizeof pUnix->sun_path) {
        *pError = ENAMETOOLONG;
        return false;
    }
    std::memcpy(pUnix->sun_path, sPath.data(), sPath.size());
    pAddress->nLength = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + sPath.size());
    return true;
}

SocketAddress ipv4Address(uint32_t nAddress, int nPort) {
    SocketAddress address;
    sockaddr_in* pInet = reinterpret_cast<sockaddr_in*>(&address.storage);
    pInet->sin_family = AF_INET;
    pInet->sin_port = htons(static_cast<uint16_t>(nPort));
    pInet->sin_addr.s_addr = nAddress;
    address.nLength = sizeof(sockaddr_in);
    return address;
}

SocketAddress ipv6Address(const in6_addr& inAddress, int nPort) {
    SocketAddress address;
    sockaddr_in6* pInet6 = reinterpret_cast<sockaddr_in6*>(&address.storage);
    pInet6->sin6_family = AF_INET6;
    pInet6->sin6_port = htons(static_cast<uint16_t>(nPort));
    pInet6->sin6_addr = inAddress;
    address.nLength = sizeof(sockaddr_in6);
    return address;
}

bool looksLikeIPv6(const MirelString& sText) {
    return (!sText.empty() && sText[0] == '[') || sText.find(':') != MirelString::npos;
}

bool isNumericHost(const MirelString& sText) {
    return looksLikeIPv6(sText) || !hasLetter(sText);
}

bool parseNumericAddress(const MirelString& sText, int nPort, SocketAddress* pAddress) {
    if (sText.find('\0') != MirelString::npos) {
        return false;
    }
    if (looksLikeIPv6(sText)) {
        in6_addr address;
        if (::inet_pton(AF_INET6, unbracketed(sText).c_str(), &address) != 1) {
            return false;
        }
        *pAddress = ipv6Address(address, nPort);
        return true;
    }
    in_addr address;
    if (::inet_aton(sText.c_str(), &address) == 0) {
        return false;
    }
    *pAddress = ipv4Address(address.s_addr, nPort);
    return true;
}

MirelString addressText(const SocketAddress& address) {
    char szText[INET6_ADDRSTRLEN];
    const void* pBytes = 0;
    if (address.family() == AF_INET) {
        pBytes = &reinterpret_cast<const sockaddr_in*>(&address.storage)->sin_addr;
    } else if (address.family() == AF_INET6) {
        pBytes = &reinterpret_cast<const sockaddr_in6*>(&address.storage)->sin6_addr;
    }
    if (pBytes == 0 || ::inet_ntop(address.family(), pBytes, szText, sizeof szText) == 0) {
        return MirelString();
    }
    return szText;
}

MirelString hostForPort(const MirelString& sHost) {
    if (sHost.find(':') != MirelString::npos && (sHost.empty() || sHost[0] != '[')) {
        return "[" + sHost + "]";
    }
    return sHost;
}

MirelString endpointText(const SocketAddress& address) {
    char szPort[16];
    std::snprintf(szPort, sizeof szPort, ":%d", address.port());
    return hostForPort(addressText(address)) + szPort;
}

bool nameOfAddress(const SocketAddress& address, MirelString* psName, int* pError) {
    char szHost[NI_MAXHOST];
    int rc =
        ::getnameinfo(address.get(), address.nLength, szHost, sizeof szHost, 0, 0, NI_NAMEREQD);
    if (rc != 0) {
        if (pError) {
            *pError = resolverError(rc);
        }
        return false;
    }
    *psName = szHost;
    return true;
}

int resolveDestination(const MirelString& sHost, int nPort, int nSocketType, bool bReverse,
                       Destination* pDestination) {
    pDestination->addresses.clear();
    pDestination->bEntry = false;
    pDestination->sOfficialName.clear();
    pDestination->nReverseError = 0;
    SocketAddress numeric;
    if (isNumericHost(sHost)) {
        if (!parseNumericAddress(sHost, nPort, &numeric)) {
            return EDESTADDRREQ;
        }
        pDestination->addresses.push_back(numeric);
        if (bReverse) {
            pDestination->nReverseError = EHOSTUNREACH;
            pDestination->bEntry =
                nameOfAddress(numeric, &pDestination->sOfficialName, &pDestination->nReverseError);
        }
        return 0;
    }
    if (sHost.find('\0') != MirelString::npos) {
        return EHOSTUNREACH;
    }
    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = nSocketType;
    hints.ai_flags = AI_CANONNAME;
    addrinfo* pList = 0;
    int rc = ::getaddrinfo(sHost.c_str(), 0, &hints, &pList);
    if (rc != 0) {
        return resolverError(rc);
    }
    for (addrinfo* p = pList; p != 0; p = p->ai_next) {
        if (p->ai_family == AF_INET) {
            pDestination->addresses.push_back(ipv4Address(
                reinterpret_cast<const sockaddr_in*>(p->ai_addr)->sin_addr.s_addr, nPort));
        } else if (p->ai_family == AF_INET6) {
            pDestination->addresses.push_back(
                ipv6Address(reinterpret_cast<const sockaddr_in6*>(p->ai_addr)->sin6_addr, nPort));
        }
    }
    if (pList->ai_canonname) {
        pDestination->sOfficialName = pList->ai_canonname;
    }
    ::freeaddrinfo(pList);
    pDestination->bEntry = !pDestination->addresses.empty();
    return pDestination->bEntry ? 0 : EHOSTUNREACH;
}

}  // namespace detail
}  // namespace MirelNet
