// Internal: the send of one UDP datagram, shared by MirelUDPSocketConnection::transmit and
// remoteNotify (which passes the failure on). Not installed.
//
// Threads: any; nothing is shared.
#ifndef MNET_INTERNAL_DATAGRAM_HPP
#define MNET_INTERNAL_DATAGRAM_HPP

#include "MirelString.hpp"

namespace MirelNet {
namespace detail {

// The text of a datagram that was not sent, as remoteNotify throws it.
extern const char* const kDatagramNotSent;

// Sends nSize bytes at pData to sRemoteName (a host name or dotted IPv4 address) and nPort
// through a datagram socket of its own; with bIdentify a dotted address is also looked up in
// reverse. 0, or the error number, logged at level 1 as transmit documents it.
int sendDatagram(const MirelSupport::MirelString& sRemoteName, int nPort, bool bIdentify,
                 const void* pData, int nSize);

}  // namespace detail
}  // namespace MirelNet

#endif
