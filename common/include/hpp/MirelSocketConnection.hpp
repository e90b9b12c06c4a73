/// \class MirelNet::MirelSocketConnection
/// A connection that carries the typed value protocol over one IPv4 TCP stream.
///
/// Two roles: a client connection (host and port given) opens its socket lazily, at the first
/// primitive or typed operation, resolves the host, connects and runs the service handshake;
/// an accepted connection wraps a descriptor that MirelServerSocket got from accept and is
/// connected from birth. Either way the connection owns its descriptor and closes it in
/// disconnect and in the destructor. Both sides switch Nagle's algorithm off (TCP_NODELAY) just
/// before their second send, so a connection that sends once and closes never pays for the
/// call. Each typed operation leaves with one send. A peer that has gone never raises SIGPIPE:
/// the write fails with 32 (EPIPE) instead.
/// Connecting blocks until the listener takes the connection (or the system gives up), a send
/// until the peer has room and a receive until the bytes arrive, unless the connection has a
/// time-out (setTimeout).
/// Threads: no lock; one thread at a time, like every connection.
#ifndef MIREL_SOCKET_CONNECTION_HPP
#define MIREL_SOCKET_CONNECTION_HPP

#include "MirelConnection.hpp"

namespace MirelNet {

class MirelServerSocket;

class MNET_API MirelSocketConnection : public MirelConnection {
public:
    /// Client connection to sRemoteName (a host name when it holds a letter, else a dotted
    /// address) at nPort. With bIdentify the host must be known to the resolver (a dotted
    /// address is looked up in reverse) or establishing fails. No I/O here.
    MirelSocketConnection(const MirelString& sRemoteName, int nPort, bool bRaw, bool bIdentify);
    /// Takes ownership of the accepted descriptor client and counts as connected. pServer is
    /// only asked for its port here; the connection never touches it afterwards, so it may go
    /// before the connection does.
    MirelSocketConnection(int client, const MirelString& sRemoteName, MirelServerSocket* pServer,
                          bool bClientConnection);
    virtual ~MirelSocketConnection();

    /// Closes the descriptor (if any) and clears the connected flag; a client connection
    /// establishes a new socket at its next use.
    virtual void disconnect();

    using MirelConnection::transfer;
    /// The primitives establish a client connection first; that failure's code goes into the
    /// error argument and 0 is returned. Without a socket: 107 (ENOTCONN) and 0. Otherwise the
    /// system error number and -1; the peer closing the stream reads as 107 and -1.
    virtual long transfer(const char* buf, long bufLen, long* error);
    virtual long receive(char* bufPtr, long toRead, long* error, bool bWaitForAll);
    /// Blocks until at least one byte or the end of the stream is there; false with nSize 0
    /// and code 0 at the end of the stream.
    virtual bool peekBytes(void* pBuffer, int& nSize, int& nErrorCode);

    /// Dotted local address of the socket (for an accepted connection the server's interface);
    /// empty when no socket is open.
    virtual MirelString getServerName();
    /// Port of the server that accepted the connection in decimal, "0" for a client connection.
    virtual MirelString getPortName();

    /// Bounds every blocking step of this connection, client or accepted; 0 (the default, and what
    /// a negative value counts as) waits as long as it takes. With nMilliseconds > 0, the
    /// establishment (connect and service handshake together), each typed operation and each
    /// primitive call, each as a whole, end within it or fail with the operation's usual text (the
    /// primitives: their error argument) and code 110 (ETIMEDOUT). After a time-out the connection
    /// is disconnected, so no later operation reads or writes from the middle of a value; a client
    /// connection establishes again at its next operation, an accepted one fails its later
    /// operations with 107 (ENOTCONN). The setting is kept across disconnect and re-establishment;
    /// it may be made before the first connect and applies to an open socket at once. It costs no
    /// system call per operation once the connection is established, except one after a partial
    /// receive or send that has to end sooner.
    void setTimeout(int nMilliseconds);
    /// The time-out in milliseconds; 0 when none is set.
    int getTimeout() const;

protected:
    /// Resolves, opens, connects and runs the handshake unless already connected or a socket
    /// is open. Failures, with no socket left open:
    ///   "MirelSocketConnection::establish: connection request failed."   22 (EINVAL) for a
    ///       port outside 0-65535, else errno of connect
    ///   "MirelSocketConnection::establish: could not find host."         113 (EHOSTUNREACH)
    ///       for a host name that does not resolve (11, EAGAIN, when the resolver cannot tell
    ///       for now), 89 (EDESTADDRREQ) for text that is neither a name nor a valid dotted
    ///       address; with bIdentify also for an address without a reverse entry
    ///   "MirelSocketConnection::establish: socket creation failed."      errno
    ///   "MirelConnection::connectToService: connection to remote service failed."   0
    virtual int establishImpl(MirelString& sExceptionMessage);

public:
    /// The descriptor cell (null when no socket is open, even while the cell keeps the time-out);
    /// the int it points to is the socket.
    /// The cell stays owned by this connection.
    virtual void* getSocket();

protected:
    /// Takes the socket away from connection without closing it and returns its descriptor (-1
    /// when it had none); connection keeps its connected flag, so its primitives fail with 107
    /// until it is disconnected. For a connection that wraps another and takes its socket over.
    /// The bytes connection has received and nobody has read go with the descriptor: the
    /// accepted-form constructor given this descriptor (while it still names the same socket)
    /// reads them first.
    static int takeSocket(MirelSocketConnection& connection);
    /// Moves the socket of from to to (which holds the same descriptor or none), together with
    /// the bytes from has received and nobody has read yet; from is left without a socket.
    static void takeSocket(MirelSocketConnection& from, MirelSocketConnection& to);

    void* m_pClient;
    int m_nPort;
    bool m_bIdentify;
    /// Not owned and never dereferenced after construction.
    MirelServerSocket* m_pSourceServer;

private:
    MirelSocketConnection();
    MirelSocketConnection(const MirelSocketConnection&);
    MirelSocketConnection& operator=(const MirelSocketConnection&);
};

}  // namespace MirelNet

extern template class MNET_API MirelSupport::MirelSmartPointer<MirelNet::MirelSocketConnection>;

#endif
