/// \class MirelNet::MirelIPCServer
/// Abstract server: waits for one client per call and hands it out as a new connection.
///
/// waitForClient opens a closed server, blocks until a client (or datagram) arrives and
/// returns it; it returns an empty pointer, without throwing, when the wait ended because the
/// server was closed; it throws the concrete server's failure text and code otherwise.
/// Threads: one thread waits; close and waitForInit may be called from any other thread.
/// Destroying a server runs the concrete destructor, which closes it and lets a waiting thread
/// leave before the memory goes. Owned through MirelSmartPointer; never copied.
/// A close that lands before a thread enters waitForClient does not stop that wait: every wait
/// opens a closed server again. To stop a serving thread for good, call the concrete server's
/// shutDown (pipe and TCP servers, and so UDP and SSL): every wait after it returns an empty
/// pointer at once, so the thread leaves its loop (the callback sink does so).
#ifndef MIREL_IPC_SERVER_HPP
#define MIREL_IPC_SERVER_HPP

#include "MirelConnection.hpp"

namespace MirelNet {

class MNET_API MirelIPCServer : public MirelObjectBase {
public:
    MirelIPCServer();
    virtual ~MirelIPCServer();

    /// A connection with one reference, or empty when the server was closed meanwhile.
    /// Throws MirelException with the concrete server's text and code on failure.
    virtual MirelSmartPointer<MirelConnection> waitForClient(bool bIdentify);
    /// Returns once the server accepts clients.
    virtual void waitForInit() = 0;
    /// Stops listening and wakes a thread blocked in waitForClient. Never throws.
    virtual void close() = 0;

private:
    /// Waits for one client. An empty pointer and an empty message: ended without error. An
    /// empty pointer and a message (code in nErrorCode): failure. Never throws.
    virtual MirelSmartPointer<MirelConnection> waitForClientImpl(bool bIdentify,
                                                                 MirelString& sExceptionMessage,
                                                                 int& nErrorCode) = 0;

    MirelIPCServer(const MirelIPCServer&);
    MirelIPCServer& operator=(const MirelIPCServer&);
};

}  // namespace MirelNet

extern template class MNET_API MirelSupport::MirelSmartPointer<MirelNet::MirelIPCServer>;

#include "inline/MirelIPCServer.inl"

#endif
