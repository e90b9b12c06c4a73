// TCP listener: hands each accepted client out as a MirelSocketConnection.
//
// The server opens lazily: every waitForClient opens a closed server (bind to the configured
// port and bind address, "*" for all interfaces) and blocks until one client arrives. The
// server owns the listening socket; each returned connection owns its accepted descriptor.
// Threads: one thread waits; close, waitForInit and the queries may be called from any
// thread. close ends a blocked wait at once through a wake-up pipe, whatever the bind address
// and port; the wait then returns an empty pointer. The destructor closes and then waits until
// the waiting thread has left, so a server may be released while another thread waits in it
// (a wait must not be started once the destructor runs). Derived servers (UDP, SSL) keep
// their open state in the same gate and handle, and their destructors should close and call
// m_pGate->waitIdle() themselves before their own members go.
#ifndef MIREL_SERVER_SOCKET_HPP
#define MIREL_SERVER_SOCKET_HPP

#include <atomic>

#include "MirelIPCServer.hpp"

namespace MirelNet {

namespace detail {
class ServerGate;
}

class MNET_API MirelServerSocket : public MirelIPCServer {
public:
    // Opens nothing. Only the low 16 bits of nPort are bound; port 0 lets the system choose,
    // while getPort keeps returning 0.
    MirelServerSocket(int nPort, int nBacklog, const MirelString& sBindAddress);
    virtual ~MirelServerSocket();

    // Returns once a wait (usually on another thread) has opened the server; polls every
    // millisecond, without a time-out.
    virtual void waitForInit();
    // Closes the listening socket and ends a blocked wait. Never throws; harmless when closed.
    virtual void close();

protected:
    // Opens a closed server (its failure comes back as text and code, see init), then waits
    // for one client. Empty pointer and no message when the server was closed meanwhile.
    // accept failures never come back: descriptor or memory shortages are retried after a
    // pause growing from 1 ms to 100 ms, logged once per burst of the same error.
    virtual MirelSmartPointer<MirelConnection> waitForClientImpl(bool bIdentify,
                                                                 MirelString& sExceptionMessage,
                                                                 int& nErrorCode);

public:
    virtual int getPort() const;
    virtual const MirelString& getBindAddress() const;

protected:
    // Opens the listening socket unless open. Throws MirelException with errno:
    //   "MirelServerSocket::init: failed to create socket." (also when the wake-up pipe
    //   cannot be made), "... failed to bind socket.", "... failed to get socket name.",
    //   "... failed to listen on bound socket."; the server then stays closed.
    virtual void init();

public:
    // Ignored while the server is open; takes effect at the next opening.
    void setPort(int nPort);
    // True while the server is open, without waiting (waitForInit waits for it).
    bool isInitialized() const;

protected:
    // Opens the socket of a closed server: a socket of nType bound to the port and bind
    // address, listening when pszListenFailed is given, then published as the open state.
    // Throws MirelException with the matching text and errno; the server then stays closed.
    void openSocket(int nType, const char* pszCreateFailed, const char* pszBindFailed,
                    const char* pszNameFailed, const char* pszListenFailed, const char* pszLogHead);

    int m_nPort;
    int m_nBacklog;
    MirelString m_sBindAddress;
    // The open state: a detail::ListenCell (socket and wake-up pipe), null when closed. Read
    // and written only through m_pGate, which the UDP and SSL servers share with this class.
    void* m_pSocketImpl;
    std::atomic<bool> m_bInitialized;
    // Hands the open state between the waiting thread and close; owned by this server.
    detail::ServerGate* m_pGate;

private:
    MirelServerSocket();
    MirelServerSocket(const MirelServerSocket&);
    MirelServerSocket& operator=(const MirelServerSocket&);
};

}  // namespace MirelNet

extern template class MNET_API MirelSupport::MirelSmartPointer<MirelNet::MirelServerSocket>;

#endif
