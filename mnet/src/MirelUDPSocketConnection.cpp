#include "MirelUDPSocketConnection.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "MirelLogging.hpp"
#include "internal/Datagram.hpp"
#include "internal/Posix.hpp"
#include "internal/StreamIo.hpp"

namespace MirelNet {

using MirelSupport::endrecord;

namespace {

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
    if (bIdentify && isNumericHost(sRemoteName)) {
        MIREL_LOG(7) << "MirelUDPSocketConnection::transmit: using "
                     << "gethostbyaddr." << endrecord;
    }
    // A name that does not resolve, or malformed numeric text (which inet_addr would make the
    // broadcast address), sends nothing; the outcome of a reverse lookup changes nothing.
    Destination destination;
    int rc = resolveDestination(sRemoteName, nPort, SOCK_DGRAM, bIdentify, &destination);
    if (rc != 0) {
        logSendFailure(rc, sRemoteName);
        return rc;
    }
    // A datagram cannot tell a refused address: a name's first IPv4 address, or its first IPv6
    // one when it has none.
    const SocketAddress* pAddress = &destination.addresses[0];
    for (const SocketAddress& address : destination.addresses) {
        if (address.family() == AF_INET) {
            pAddress = &address;
            break;
        }
    }
    FdOwner socket(posix::socket(pAddress->family(), SOCK_DGRAM));
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
    if (posix::sendTo(socket.get(), pData, static_cast<std::size_t>(nSize), 0, *pAddress) < 0) {
        rc = errno;
        logSendFailure(rc, sRemoteName);
        return rc;
    }
    return 0;
}

}  // namespace detail
}  // namespace MirelNet
