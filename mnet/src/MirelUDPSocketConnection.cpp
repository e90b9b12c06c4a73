#include "MirelUDPSocketConnection.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

#include "MirelLogging.hpp"
#include "internal/HostLookup.hpp"
#include "internal/StreamIo.hpp"

namespace MirelNet {

using MirelSupport::endrecord;

namespace {

const std::size_t kHostBufferSize = 8192;

void logSendFailure(int rc, const MirelString& sRemoteName) {
    MIREL_LOG(1) << "MirelUDPSocketConnection::transmit: failed to send data (rc:" << rc << ") to "
                 << sRemoteName << endrecord;
}

}  // namespace

MirelUDPSocketConnection::MirelUDPSocketConnection(const MirelString& sRemoteName, int nPort,
                                                   bool bIdentify)
    : MirelBufferConnection(), m_nPort(nPort), m_bIdentify(bIdentify) {
    m_sRemoteName = sRemoteName;
}

MirelUDPSocketConnection::~MirelUDPSocketConnection() {}

bool MirelUDPSocketConnection::transmit() {
    // size() is -1 while nothing was ever written; handing that to sendto would make it a huge
    // unsigned length, so it is refused here the way the system refuses an oversized datagram.
    int nSize = size();
    if (nSize < 0) {
        logSendFailure(EMSGSIZE, m_sRemoteName);
        return false;
    }

    int nFd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (nFd < 0) {
        int rc = errno;
        MIREL_LOG(1) << "MirelUDPSocketConnection::transmit: failed to create socket. (rc=" << rc
                     << ")" << endrecord;
        return false;
    }

    int nBroadcast = 1;
    if (::setsockopt(nFd, SOL_SOCKET, SO_BROADCAST, &nBroadcast, sizeof nBroadcast) != 0) {
        int rc = errno;
        MIREL_LOG(1) << "MirelUDPSocketConnection::transmit: failed to set UDP options. (rc=" << rc
                     << ")" << endrecord;
        detail::closeFd(nFd);
        return false;
    }

    sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(m_nPort));

    char szHost[kHostBufferSize];
    MirelSupport::MirelStringToChar(m_sRemoteName, szHost, sizeof szHost);

    uint32_t nAddress = 0;
    if (detail::isHostName(szHost)) {
        std::vector<uint32_t> addresses;
        if (detail::lookupByName(MirelString(szHost), 0, &addresses) && !addresses.empty()) {
            nAddress = addresses[0];
        }
    } else {
        // inet_addr would turn any malformed text into 255.255.255.255 and, with broadcast
        // allowed, send the datagram to every host on the link; only a valid address passes.
        in_addr parsed;
        if (::inet_aton(szHost, &parsed) == 0) {
            logSendFailure(EDESTADDRREQ, m_sRemoteName);
            detail::closeFd(nFd);
            return false;
        }
        nAddress = parsed.s_addr;
        if (m_bIdentify) {
            MIREL_LOG(7) << "MirelUDPSocketConnection::transmit: using "
                         << "gethostbyaddr." << endrecord;
            detail::lookupByAddress(nAddress, 0);
        }
    }
    address.sin_addr.s_addr = nAddress;

    ssize_t nSent;
    do {
        nSent = ::sendto(nFd, buf(), static_cast<std::size_t>(nSize), 0,
                         reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } while (nSent < 0 && errno == EINTR);
    if (nSent < 0) {
        int rc = errno;
        logSendFailure(rc, m_sRemoteName);
        detail::closeFd(nFd);
        return false;
    }
    detail::closeFd(nFd);
    return true;
}

}  // namespace MirelNet
