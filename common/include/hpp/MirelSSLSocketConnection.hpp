/// \class MirelNet::MirelSSLSocketConnection
/// The SSL member of the connection family, as a shell: the library has no SSL layer.
///
/// It keeps the shape of an SSL connection (an opaque SSL handle, the wrapped plain
/// connection) but its transport moves no bytes: establishing always succeeds without opening
/// anything; without an SSL handle every send and receive fails with 107 (ENOTCONN), with one
/// they succeed and move nothing. The handle is only stored and forgotten, never freed.
/// Descriptor ownership: the accepted form owns the descriptor it is given. The wrapping form
/// takes the socket over from the wrapped connection, which keeps no socket afterwards (its
/// primitives fail with 107), so the descriptor is closed exactly once, by this connection;
/// holding the wrapped connection only keeps that object alive.
/// Threads: no lock; one thread at a time, like every connection.
#ifndef MIREL_SSL_SOCKET_CONNECTION_HPP
#define MIREL_SSL_SOCKET_CONNECTION_HPP

#include "MirelSocketConnection.hpp"

namespace MirelNet {

class MNET_API MirelSSLSocketConnection : public MirelSocketConnection {
public:
    /// Client form: never resolves, connects or opens a socket; getServerName gives "".
    MirelSSLSocketConnection(const MirelString& sRemoteName, int nPort, bool bRaw);
    /// Accepted form: owns client and counts as connected.
    MirelSSLSocketConnection(int client, const MirelString& sRemoteName, MirelServerSocket* pServer,
                             bool bClientConnection);
    /// Wrapping form: takes client's socket over (see above), keeps a reference to client,
    /// stores pSSL and switches raw mode on. A client without socket (or an empty pointer)
    /// gives a connection without descriptor that is not yet connected.
    MirelSSLSocketConnection(MirelSmartPointer<MirelSocketConnection> client, void* pSSL);
    virtual ~MirelSSLSocketConnection();

    /// Forgets the SSL handle, closes the descriptor if one is open, clears the connected flag.
    virtual void disconnect();

    using MirelConnection::transfer;
    /// With an SSL handle: nothing moves, error 0, result 0. Without: error 107, result -1.
    virtual long transfer(const char* buf, long bufLen, long* error);
    virtual long receive(char* bufPtr, long toRead, long* error, bool bWaitForAll);
    /// With an SSL handle: copies nothing, true exactly when nSize is not 0. Without: code 107,
    /// nSize 0, false.
    virtual bool peekBytes(void* pBuffer, int& nSize, int& nErrorCode);

protected:
    /// Marks the connection connected; never fails, opens nothing.
    virtual int establishImpl(MirelString& sExceptionMessage);

    MirelSmartPointer<MirelSocketConnection> m_client;
    void* m_pSSLImpl;

private:
    MirelSSLSocketConnection();
    MirelSSLSocketConnection(const MirelSSLSocketConnection&);
    MirelSSLSocketConnection& operator=(const MirelSSLSocketConnection&);
};

}  // namespace MirelNet

#endif
