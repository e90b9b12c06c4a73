/// \class MirelNet::MirelServerSocket
/// TCP listener: hands each accepted client out as a MirelSocketConnection.
///
/// The server opens lazily: every waitForClient opens a closed server (bind to the configured
/// port and bind address, "*" for all interfaces) and blocks until one client arrives. The
/// server owns the listening socket; each returned connection owns its accepted descriptor.
/// Threads: one thread waits; close, shutDown, waitForInit and the queries may be called from
/// any thread. close ends a blocked wait at once through a wake-up pipe, whatever the bind
/// address and port; the wait then returns an empty pointer, and the next wait opens the
/// server again. shutDown ends it for good: every later wait returns an empty pointer at once.
/// The destructor shuts down and then waits until the waiting thread has left, so a server may
/// be released while another thread waits in it. Derived servers (UDP, SSL) share the open
/// state with this class; their destructors shut down and wait the same way before their own
/// members go.
#ifndef MIREL_SERVER_SOCKET_HPP
#define MIREL_SERVER_SOCKET_HPP

#include <atomic>

#include "MirelIPCServer.hpp"

namespace MirelNet {

namespace detail {
class ServerGate;
class ServerAccess;
}  // namespace detail

class MNET_API MirelServerSocket : public MirelIPCServer {
public:
    /// Opens nothing. Only the low 16 bits of nPort are bound; port 0 lets the system choose,
    /// while getPort keeps returning 0.
    MirelServerSocket(int nPort, int nBacklog, const MirelString& sBindAddress);
    virtual ~MirelServerSocket();

    /// Returns once a wait (usually on another thread) has opened the server, or once the
    /// server is shut down; polls every millisecond, without a time-out.
    virtual void waitForInit();
    /// Closes the listening socket and ends a blocked wait. Never throws; harmless when closed.
    /// A wait that starts afterwards opens the server again.
    virtual void close();
    /// Closes for good (through close, so a derived server's close runs too): wakes a waiting
    /// thread, and every later wait returns an empty pointer at once, without a message and
    /// without opening a socket. What an owner calls before it stops the thread that serves
    /// and releases the server. Never throws.
    void shutDown();

    /// Bounds each later waitForClient: a wait that sees no client within nMilliseconds
    /// throws MirelException "MirelServerSocket::waitForClient: no client within the wait
    /// time-out." with code 110 (ETIMEDOUT); the server stays open and the next wait goes on. 0
    /// (the default, and what a negative value counts as) waits as long as it takes. close and
    /// shutDown still end a wait with an empty pointer. May be called from any thread; a wait
    /// already running keeps the bound it started with.
    void setWaitTimeout(int nMilliseconds);
    /// The wait time-out in milliseconds; 0 when none is set.
    int getWaitTimeout() const;

protected:
    /// Opens a closed server (its failure comes back as text and code, see init), then waits
    /// for one client. Empty pointer and no message when the server was closed meanwhile or
    /// is shut down.
    /// accept failures never come back: descriptor or memory shortages are retried after a
    /// pause growing from 1 ms to 100 ms, logged once per burst of the same error.
    virtual MirelSmartPointer<MirelConnection> waitForClientImpl(bool bIdentify,
                                                                 MirelString& sExceptionMessage,
                                                                 int& nErrorCode);

public:
    /// The port: the configured one, or the one the system chose for port 0 once open.
    virtual int getPort() const;
    /// The address the server binds, as given ("*" for every address).
    virtual const MirelString& getBindAddress() const;

protected:
    /// Opens the listening socket unless open. Throws MirelException with errno:
    ///   "MirelServerSocket::init: failed to create socket." (also when the wake-up pipe
    ///   cannot be made), "... failed to bind socket.", "... failed to get socket name.",
    ///   "... failed to listen on bound socket."; the server then stays closed.
    virtual void init();

public:
    /// Ignored while the server is open; takes effect at the next opening.
    void setPort(int nPort);
    /// True while the server is open, without waiting (waitForInit waits for it).
    bool isInitialized() const;

protected:
    /// Opens the socket of a closed server: a socket of nType bound to the port and bind
    /// address, listening when pszListenFailed is given, then published as the open state.
    /// Throws MirelException with the matching text and errno; the server then stays closed.
    void openSocket(int nType, const char* pszCreateFailed, const char* pszBindFailed,
                    const char* pszNameFailed, const char* pszListenFailed, const char* pszLogHead);

    int m_nPort;
    int m_nBacklog;
    MirelString m_sBindAddress;
    /// The open state (socket and wake-up pipe), null when closed. Read and written only
    /// through m_pGate, which the UDP and SSL servers share with this class.
    void* m_pSocketImpl;
    std::atomic<bool> m_bInitialized;
    /// Hands the open state between the waiting thread and close; owned by this server.
    detail::ServerGate* m_pGate;

private:
    // The library's internal waits reach the gate (m_pGate) through it.
    friend class detail::ServerAccess;
    MirelServerSocket();
    MirelServerSocket(const MirelServerSocket&);
    MirelServerSocket& operator=(const MirelServerSocket&);
};

}  // namespace MirelNet

extern template class MNET_API MirelSupport::MirelSmartPointer<MirelNet::MirelServerSocket>;

#endif
