/// \class MirelNet::MirelPipeConnection
/// A connection over a local stream socket (a "pipe") named by a short endpoint name.
///
/// Two roles. A client connection, built from an endpoint name, connects lazily to the socket
/// file MirelPipeServer::getFullPipeName(name) on its first typed operation or primitive and
/// then runs the service handshake. An accepted connection, built by the pipe server from a
/// descriptor that accept returned, is usable at once and never connects.
/// Ownership: the connection owns its socket (cell and descriptor) and closes it in
/// disconnect and in its destructor. Sends never raise SIGPIPE: a peer that has gone makes
/// put throw with 32 (EPIPE). Connecting blocks until the listener takes the connection, a send
/// until the peer has room and a receive until the bytes arrive, unless the connection has a
/// time-out (setTimeout). Threads: one thread at a time, like every connection.
#ifndef MIREL_PIPE_CONNECTION_HPP
#define MIREL_PIPE_CONNECTION_HPP

#include "MirelConnection.hpp"

namespace MirelNet {

class MNET_API MirelPipeConnection : public MirelConnection {
public:
    /// Client connection to the endpoint sPipeName; access rights 1. No I/O here.
    explicit MirelPipeConnection(const MirelString& sPipeName);
    /// Accepted connection: takes over the descriptor that pPipeHandle points to (the int
    /// itself stays the caller's); from now on this connection closes it. A null pointer or a
    /// negative descriptor gives a connection without a socket.
    MirelPipeConnection(void* pPipeHandle, unsigned int iAccessRights);
    /// Disconnects.
    virtual ~MirelPipeConnection();

    /// Closes the socket if one is open; repeating it is harmless.
    virtual void disconnect();

    using MirelConnection::transfer;
    /// The primitives establish first: a failed establishment gives its code (result 0), a
    /// refused handshake escapes as its MirelException. Without a socket the error is 107
    /// (ENOTCONN), as it is when the peer closed the stream while receiving.
    virtual long transfer(const char* buf, long bufLen, long* error);
    virtual long receive(char* bufPtr, long toRead, long* error, bool bWaitForAll);
    virtual bool peekBytes(void* pBuffer, int& nSize, int& nErrorCode);

    /// 1 for a client connection; the server's access privileges for an accepted one. Only
    /// reported, never acted on.
    virtual unsigned int getAccessRights() const;

    /// The descriptor cell (null when no socket is open, even while the cell keeps the time-out);
    /// the int it points to is the socket. The cell stays owned by this connection.
    void* getPipeHandle();

    /// Bounds every blocking step of this connection, client or accepted; 0 (the default, and what
    /// a negative value counts as) waits as long as it takes. With nMilliseconds > 0, the
    /// establishment (connect and service handshake together), each typed operation and each
    /// primitive call, each as a whole, end within it or fail with the operation's usual text (the
    /// primitives: their error argument) and code 110 (ETIMEDOUT); a connect to a server whose
    /// accept queue is full fails so too. After a time-out the connection is disconnected, so no
    /// later operation reads or writes from the middle of a value; a client connection establishes
    /// again at its next operation, an accepted one fails its later operations with 107 (ENOTCONN).
    /// The setting is kept across disconnect and re-establishment; it may be made before the first
    /// connect and applies to an open socket at once. It costs no system call per operation once
    /// the connection is established, except one after a partial receive or send that has to end
    /// sooner.
    void setTimeout(int nMilliseconds);
    /// The time-out in milliseconds; 0 when none is set.
    int getTimeout() const;
    /// The process id, user id and group id of the peer of an accepted connection, as the
    /// system named them when the server accepted it (so also after the peer has closed or
    /// exited; the ids are those the peer had when it connected). False, the outputs
    /// untouched, on a client connection, once the socket is closed, or when the system could
    /// not tell. Callbacks of a pipe sink learn here who sent the message.
    bool getPeerCredentials(int& nPid, unsigned int& nUid, unsigned int& nGid) const;

protected:
    /// 0 at once while a socket is open (the connected flag is not consulted). Failures:
    /// "MirelPipeConnection::establish: pipe creation failed." (socket) and
    /// "MirelPipeConnection::establish: connection request failed." (connect) with the error
    /// number as code, or with 22 (EINVAL) for a name that is absolute, has a ".." component
    /// or ends in '/' and 36 (ENAMETOOLONG) when the full path does not fit a local socket
    /// address, both before any system call; no socket stays open. No link below the
    /// shared-service directory is followed: a name that would need one (a component or the
    /// endpoint itself a link) fails with the second text and 40 (ELOOP), a file there that is
    /// not a socket with 111 (ECONNREFUSED). A refused handshake throws
    /// "MirelConnection::connectToService: connection to remote service failed." (code 0) and
    /// closes the socket, so the next operation connects and announces itself again.
    virtual int establishImpl(MirelString& sExceptionMessage);

    MirelString m_sPipeName;
    void* m_pipeHandle;  // descriptor cell; null, or descriptor -1, while no socket is open
    unsigned int m_iAccessRights;

private:
    MirelPipeConnection(const MirelPipeConnection&);
    MirelPipeConnection& operator=(const MirelPipeConnection&);
};

}  // namespace MirelNet

#endif
