// Internal: the library's one layer of system calls. Not installed.
//
// Every socket call of the library goes through here: the wrappers retry a call that a signal
// interrupted (EINTR is handled here and nowhere else), one classifier says what a failed accept
// or receive means, and the socket addresses of local, IPv4 and IPv6 endpoints are built,
// resolved and printed in one place. The wrappers return what the system call returns and leave
// errno as it set it; none of them throws or logs.
//
// Threads: everything here may be called from any thread; nothing is shared.
#ifndef MNET_INTERNAL_POSIX_HPP
#define MNET_INTERNAL_POSIX_HPP

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <cstddef>
#include <cerrno>
#include <cstdint>
#include <vector>

#include "MirelString.hpp"

namespace MirelNet {
namespace detail {

// A socket address of any family, with its length.
struct SocketAddress {
    sockaddr_storage storage;
    socklen_t nLength;

    SocketAddress();
    int family() const { return storage.ss_family; }
    const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&storage); }
    sockaddr* get() { return reinterpret_cast<sockaddr*>(&storage); }
    // Ready for a call that fills it (accept, recvfrom, getsockname): cleared, full length.
    sockaddr* clearedFor(socklen_t** ppnLength);
    // The port of an IPv4 or IPv6 address, in host order; 0 for any other family.
    int port() const;
    // 127.0.0.1, or ::1, or an IPv4 loopback address mapped into IPv6.
    bool isLoopback() const;
};

namespace posix {

// socket() with SOCK_CLOEXEC added to nType.
int socket(int nDomain, int nType);
// accept4 with SOCK_CLOEXEC; the peer's address into *pPeer when given.
int accept(int nFd, SocketAddress* pPeer);
ssize_t recv(int nFd, void* pBuffer, std::size_t nSize, int nFlags);
ssize_t recvFrom(int nFd, void* pBuffer, std::size_t nSize, int nFlags, SocketAddress* pPeer);
ssize_t send(int nFd, const void* pData, std::size_t nSize, int nFlags);
ssize_t sendMsg(int nFd, const msghdr* pMessage, int nFlags);
ssize_t sendTo(int nFd, const void* pData, std::size_t nSize, int nFlags,
               const SocketAddress& destination);
ssize_t write(int nFd, const void* pData, std::size_t nSize);
// poll; a signal does not end the wait early: it goes on for the time left.
int poll(pollfd* pFds, nfds_t nCount, int nTimeoutMs);
// Connects nFd to address; 0 or the error number. A TCP connect that a signal interrupts goes
// on in the system: the socket is then waited for (at most nTimeoutMs, -1 for ever; ETIMEDOUT
// past it) and the outcome taken from SO_ERROR. A local one is asked again, which completes it
// or finds it done.
int connect(int nFd, const SocketAddress& address, int nTimeoutMs);
// close() without a retry: on Linux the descriptor is gone even when a signal came.
void close(int nFd);
// openat with O_CLOEXEC added to nFlags.
int openAt(int nDir, const char* pszName, int nFlags);
// flock.
int flock(int nFd, int nOperation);
// A reentrant lookup of the C library (getgrnam_r and the like, which report an error by
// their result rather than errno), run again while it reports EINTR; its last result.
template <class Call>
int retriedResult(Call call) {
    int rc;
    do {
        rc = call();
    } while (rc == EINTR);
    return rc;
}

}  // namespace posix

// What a failed accept or receive on a server's socket means.
enum SocketFailure {
    RETRY_NOW,   // nothing there after all, or interrupted: wait again at once
    PEER_FAULT,  // that client or sender failed (it went, reset, is unreachable)
    OWN_FAULT    // the server's own trouble (descriptors or memory exhausted, socket gone)
};
SocketFailure classifyFailure(int nError);
// The server's own socket is gone (closed meanwhile): the wait ends quietly.
bool socketGone(int nError);

// A local (AF_UNIX) address for sPath; false, with ENAMETOOLONG in *pError, when the path
// does not fit the address with its terminator.
bool unixAddress(const MirelSupport::MirelString& sPath, SocketAddress* pAddress, int* pError);
// An IPv4 address (network order) or an IPv6 address, with a port in host order.
SocketAddress ipv4Address(uint32_t nAddress, int nPort);
SocketAddress ipv6Address(const in6_addr& address, int nPort);

// A numeric address: dotted IPv4, or IPv6 with or without brackets ("::1", "[::1]"). False
// for anything else.
bool parseNumericAddress(const MirelSupport::MirelString& sText, int nPort,
                         SocketAddress* pAddress);
// True when sText is written as an IPv6 address: bracketed, or holding a ':'.
bool looksLikeIPv6(const MirelSupport::MirelString& sText);
// True when a host text is taken as a numeric address rather than a name: written as IPv6, or
// without any letter.
bool isNumericHost(const MirelSupport::MirelString& sText);

// The address without its port: "127.0.0.1", "::1"; empty for another family.
MirelSupport::MirelString addressText(const SocketAddress& address);
// The address with its port, IPv6 in brackets: "127.0.0.1:5023", "[::1]:5023".
MirelSupport::MirelString endpointText(const SocketAddress& address);
// A host text as the library prints it in front of a port: IPv6 literals in brackets.
MirelSupport::MirelString hostForPort(const MirelSupport::MirelString& sHost);

// The destination of a TCP or UDP client.
struct Destination {
    std::vector<SocketAddress> addresses;     // in the resolver's order
    bool bEntry;                              // a host entry came back (by name or in reverse)
    MirelSupport::MirelString sOfficialName;  // the entry's name when bEntry
    int nReverseError;                        // the reverse lookup's error when it failed
};
// Reads a host text the way both transports do: an IPv6 literal (with or without brackets),
// a host name (any letter, no ':'), looked up for both families in the resolver's order, or
// a dotted IPv4 address. With bReverse a numeric address is also looked up in reverse (the
// outcome only sets bEntry and nReverseError). Returns 0, EHOSTUNREACH (113) for a name that
// does not resolve (EAGAIN when the resolver cannot tell for now), or EDESTADDRREQ (89) for
// text that is neither (never the broadcast address that inet_addr would make of it).
int resolveDestination(const MirelSupport::MirelString& sHost, int nPort, int nSocketType,
                       bool bReverse, Destination* pDestination);
// The reverse lookup of an address: its host name; false when there is none.
bool nameOfAddress(const SocketAddress& address, MirelSupport::MirelString* psName, int* pError);

}  // namespace detail
}  // namespace MirelNet

#endif
