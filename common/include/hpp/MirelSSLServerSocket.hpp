/// \class MirelNet::MirelSSLServerSocket
/// The server side of the SSL transport, as a shell: the library has no SSL layer.
///
/// It keeps the TCP server's port, backlog and bind address and a copy of its certificate,
/// but never opens a socket: init does nothing, so waitForClient returns an empty pointer at
/// once, without a message and without touching a descriptor. close, shutDown and destruction
/// are harmless at any time. Threads: as for MirelServerSocket.
#ifndef MIREL_SSL_SERVER_SOCKET_HPP
#define MIREL_SSL_SERVER_SOCKET_HPP

#include "MirelCertificate.hpp"
#include "MirelServerSocket.hpp"

namespace MirelNet {

class MNET_API MirelSSLServerSocket : public MirelServerSocket {
public:
    /// Note the order: the certificate stands between port and backlog.
    MirelSSLServerSocket(int nPort, const MirelCertificate& certificate, int nBacklog,
                         const MirelString& sBindAddress);
    virtual ~MirelSSLServerSocket();

    /// Forgets the SSL state if the server were open, then closes like the TCP server.
    virtual void close();

protected:
    /// Runs the TCP server's wait, which finds nothing to wait on; whatever it yields is
    /// dropped. Its failure text and code, if any, are passed on.
    virtual MirelSmartPointer<MirelConnection> waitForClientImpl(bool bIdentify,
                                                                 MirelString& sExceptionMessage,
                                                                 int& nErrorCode);
    /// Opens nothing.
    virtual void init();

    /// Place for the SSL state; never read, only cleared.
    void* m_pSSLImpl;
    MirelCertificate m_certificate;

private:
    MirelSSLServerSocket();
    MirelSSLServerSocket(const MirelSSLServerSocket&);
    MirelSSLServerSocket& operator=(const MirelSSLServerSocket&);
};

}  // namespace MirelNet

#endif
