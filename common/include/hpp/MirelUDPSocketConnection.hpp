/// \class MirelNet::MirelUDPSocketConnection
/// A buffer connection that sends what was written into it as one UDP datagram.
///
/// Typed writes only append to the in-memory buffer; transmit sends the whole buffer to the
/// remote host (a host name or a dotted IPv4 address) and port, through a datagram socket of its
/// own that it closes again. The buffer is kept: a second transmit sends the same bytes again.
/// Nothing is received and delivery is never confirmed. Broadcast destinations are allowed.
/// Threads: one thread at a time, like every connection.
#ifndef MIREL_UDP_SOCKET_CONNECTION_HPP
#define MIREL_UDP_SOCKET_CONNECTION_HPP

#include "MirelBufferConnection.hpp"

namespace MirelNet {

class MNET_API MirelUDPSocketConnection : public MirelBufferConnection {
public:
    /// With bIdentify, a dotted address is also looked up in reverse before sending (the
    /// outcome changes nothing). Does no I/O.
    MirelUDPSocketConnection(const MirelString& sRemoteName, int nPort, bool bIdentify);
    virtual ~MirelUDPSocketConnection();

    /// True when the datagram was handed to the system. Never throws: a failure is logged at
    /// level 1 and returns false, leaving no socket open. An empty connection (nothing ever
    /// written) sends nothing and fails with rc 90 (EMSGSIZE), as an oversized buffer does; a
    /// destination that is neither a host name nor a valid dotted address fails with rc 89
    /// (EDESTADDRREQ), a host name that does not resolve with rc 113 (EHOSTUNREACH), a port
    /// outside 0-65535 with rc 22 (EINVAL); none of them sends anything.
    virtual bool transmit();

private:
    MirelUDPSocketConnection();
    MirelUDPSocketConnection(const MirelUDPSocketConnection&);
    MirelUDPSocketConnection& operator=(const MirelUDPSocketConnection&);

    int m_nPort;
    bool m_bIdentify;
};

}  // namespace MirelNet

#endif
