/// \class MirelNet::MirelUDPServerSocket
/// UDP listener: hands each received datagram out as a MirelBufferConnection holding its bytes.
///
/// Opens lazily like the TCP server it derives from (same port, bind address, open state and
/// waitForInit): every waitForClient opens a closed socket, then waits for one datagram. Each
/// returned connection owns a copy of its datagram; datagrams longer than the buffer size are
/// cut to it. The receive buffer is kept from one wait to the next and freed with the server.
/// The socket asks the system for a receive queue of 4 MiB (SO_RCVBUFFORCE where the process
/// may pass the system's limit, else SO_RCVBUF), so that a burst of datagrams waits instead of
/// being dropped; the size granted is logged at level 5 at each opening.
/// The wait time-out (setWaitTimeout, inherited) ends a wait without a datagram with
/// "MirelUDPServerSocket::waitForClient: no client within the wait time-out." and code 110.
/// Threads: one thread waits; close, shutDown, waitForInit and the queries may be called from
/// any thread. close ends a blocked wait at once, whatever the bind address and port; shutDown
/// (inherited) also makes every later wait return an empty pointer at once; the destructor
/// shuts down and lets a waiting thread leave before the memory goes.
#ifndef MIREL_UDP_SERVER_SOCKET_HPP
#define MIREL_UDP_SERVER_SOCKET_HPP

#include "MirelServerSocket.hpp"

namespace MirelNet {

class MNET_API MirelUDPServerSocket : public MirelServerSocket {
public:
    /// Opens nothing. nBufferSize is the largest datagram delivered whole.
    MirelUDPServerSocket(int nPort, const MirelString& sBindAddress, unsigned int nBufferSize);
    virtual ~MirelUDPServerSocket();

    /// Closes the socket and ends a blocked wait. Never throws; harmless when closed.
    virtual void close();

protected:
    /// Opens a closed socket (failures come back as text and code), then waits for one
    /// datagram. An empty pointer without a message when the server was closed meanwhile (or
    /// is shut down), for
    /// an empty datagram, and for the receive errors 9, 64, 104, 88 and 112 (the number is left
    /// in nErrorCode). Other receive errors are retried after a pause growing from 1 ms to
    /// 100 ms, logged once per burst. A signal does not end the wait.
    virtual MirelSmartPointer<MirelConnection> waitForClientImpl(bool bIdentify,
                                                                 MirelString& sExceptionMessage,
                                                                 int& nErrorCode);
    /// Opens the datagram socket unless open. Throws MirelException with errno:
    /// "MirelUDPServerSocket::init: failed to create socket." (also for the wake-up pipe),
    /// "... failed to bind socket.", "... failed to get socket name."; the server stays closed.
    virtual void init();

    unsigned int m_nBufferSize;

private:
    MirelUDPServerSocket();
    MirelUDPServerSocket(const MirelUDPServerSocket&);
    MirelUDPServerSocket& operator=(const MirelUDPServerSocket&);

    char* m_pReceiveBuffer;  ///< used by the waiting thread only; allocated at the first wait
};

}  // namespace MirelNet

extern template class MNET_API MirelSupport::MirelSmartPointer<MirelNet::MirelUDPServerSocket>;

#endif
