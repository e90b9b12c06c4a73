#include "MirelUDPSocketConnection.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "MirelLogging.hpp"
#include "internal/Datagram.hpp"
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

namespace detail {
const char* const kDatagramNotSent = "MirelUDPSocketConnection::transmit: failed to send data.";
}

MirelUDPSocketConnection::MirelUDPSocketConnection(const MirelString& sRemoteName, int nPort,
                                                   bool bIdentify)
    : MirelBufferConnection(), m_nPort(nPort), m_bIdentify(bIdentify) {
    m_sRemoteName = sRemoteName;
}

MirelUDPSocketConnection::~MirelUDPSocketConnection() {}

bool MirelUDPSocketConnection::transmit() {
    return detail::sendDatagram(m_sRemoteName, m_nPort, m_bIdentify, buf(), size()) == 0;
}

namespace detail {

int sendDatagram(const MirelString& sRemoteName, int nPort, bool bIdentify, const void* pData,
                 int nSize) {
    // size() is -1 while nothing was ever written; handing that to sendto would make it a huge
    // unsigned length, so it is refused here the way the system refuses an oversized datagram.
    if (nSize < 0) {
        logSendFailure(EMSGSIZE, sRemoteName);
        return EMSGSIZE;
    }
    // A port outside 0-65535 would wrap to its low 16 bits: another service.
    if (nPort < 0 || nPort > 65535) {
        logSendFailure(EINVAL, sRemoteName);
        return EINVAL;
    }
    char szHost[kHostBufferSize];
    MirelSupport::MirelStringToChar(sRemoteName, szHost, sizeof szHost);
    if (bIdentify && !detail::isHostName(szHost)) {
        MIREL_LOG(7) << "MirelUDPSocketConnection::transmit: using "
                     << "gethostbyaddr." << endrecord;
    }
    // A name that does not resolve, or malformed dotted text (which would become the
    // broadcast address), sends nothing; the outcome of a reverse lookup changes nothing.
    detail::ResolvedHost host;
    int rc = detail::resolveIPv4(szHost, bIdentify, &host);
    if (rc != 0) {
        logSendFailure(rc, sRemoteName);
        return rc;
    }

    detail::FdOwner socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (socket.get() < 0) {
        rc = errno;
        MIREL_LOG(1) << "MirelUDPSocketConnection::transmit: failed to create socket. (rc=" << rc
                     << ")" << endrecord;
        return rc;
    }
    int nBroadcast = 1;
    if (::setsockopt(socket.get(), SOL_SOCKET, SO_BROADCAST, &nBroadcast, sizeof nBroadcast) != 0) {
        rc = errno;
        MIREL_LOG(1) << "MirelUDPSocketConnection::transmit: failed to set UDP options. (rc=" << rc
                     << ")" << endrecord;
        return rc;
    }
    sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(nPort));
    address.sin_addr.s_addr = host.nAddress;
    ssize_t nSent;
    do {
        nSent = ::sendto(socket.get(), pData, static_cast<std::size_t>(nSize), 0,
                         reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } while (nSent < 0 && errno == EINTR);
    if (nSent < 0) {
        rc = errno;
        logSendFailure(rc, sRemoteName);
        return rc;
    }
    return 0;
}

}  // namespace detail
}  // namespace MirelNet
