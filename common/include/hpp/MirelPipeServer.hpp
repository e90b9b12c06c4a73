/// \class MirelNet::MirelPipeServer
/// Server for local ("pipe") connections: a local stream socket whose file is the endpoint
/// name in the shared-service directory, mode 0770, optionally handed to a named group.
///
/// The constructor opens the endpoint, listening with a queue of SOMAXCONN; each waitForClient
/// accepts one client and returns it as a MirelPipeConnection marked local, carrying the server's
/// access privileges. close stops listening (the socket file stays; the next wait removes and
/// re-creates it); shutDown stops it for good; the destructor removes the socket file it created,
/// unless another server has replaced it meanwhile. Endpoint names: a name that is absolute or has
/// a
/// ".." component (or holds a zero byte) would leave the shared-service directory and is refused
/// (22); no link below the directory is followed: a name whose directory component is a link
/// fails with 40 (ELOOP), and the endpoint is bound, changed and removed relative to a descriptor
/// of its directory. Whatever non-directory entry stands at the path (a link itself, never what
/// it leads to) is removed before binding, except the socket file of a live server (one on which
/// a connection is accepted, which that server then sees as a client that sends nothing): that
/// one is left and the opening fails with 98. Openings in one directory take turns under a lock
/// on it (flock, across processes), so of two servers opening one name at once exactly one
/// opens. Accepted connections carry the peer's credentials (getPeerCredentials). Threads: one
/// thread waits; any thread may call close, shutDown or waitForInit. close always wakes a blocked
/// wait, which then returns an empty pointer; the waiting thread itself frees the listening socket
/// it was woken from, so no thread uses a released descriptor. The destructor shuts the server down
/// and returns only after a waiting thread has left. Owned through MirelSmartPointer.
#ifndef MIREL_PIPE_SERVER_HPP
#define MIREL_PIPE_SERVER_HPP

#include <atomic>

#include "MirelCriticalSection.hpp"
#include "MirelIPCServer.hpp"

namespace MirelNet {

namespace detail {
class ServerGate;
class ServerAccess;
}  // namespace detail

using MirelSupport::MirelCriticalSectionObject;

class MNET_API MirelPipeServer : public MirelIPCServer {
public:
    /// Access privileges 7, no group. Throws the failures of init.
    explicit MirelPipeServer(const MirelString& sPipeName);
    /// Opens the endpoint at once; throws the failures of init. With iAccessPrivileges 1 and a
    /// group name, the endpoint file is given to that group (a missing group is only logged).
    MirelPipeServer(const MirelString& sPipeName, unsigned int iAccessPrivileges,
                    const MirelString& sUserGroupName);
    /// Shuts down, then waits until a thread still inside waitForClient has left.
    virtual ~MirelPipeServer();

    /// The socket file of the endpoint sPipeName: the shared-service directory followed
    /// directly by the name.
    static MirelString getFullPipeName(const MirelString& sPipeName);

    /// Returns at once: the constructor has opened the endpoint.
    virtual void waitForInit();
    /// Releases the endpoint now, or wakes the waiting thread, which releases it. Never throws.
    /// A wait that starts afterwards opens the endpoint again.
    virtual void close();
    /// Closes for good: wakes a waiting thread, and every later wait returns an empty pointer
    /// at once, without a message and without opening the endpoint again. What an owner calls
    /// before it stops the thread that serves and releases the server. Never throws.
    void shutDown();

    /// Bounds each later waitForClient: a wait that sees no client within nMilliseconds
    /// throws MirelException "MirelPipeServer::waitForClient: no client within the wait time-out."
    /// with code 110 (ETIMEDOUT); the server stays open and the next wait goes on. 0 (the
    /// default, and what a negative value counts as) waits as long as it takes. close and
    /// shutDown still end a wait with an empty pointer. May be called from any thread; a wait
    /// already running keeps the bound it started with.
    void setWaitTimeout(int nMilliseconds);
    /// The wait time-out in milliseconds; 0 when none is set.
    int getWaitTimeout() const;

protected:
    /// The wait. Ends empty without a message when the server is closed or shut down. Failures
    /// (empty pointer, message, code): those of init; "MirelPipeServer::waitForClient: pipe read
    /// error. " (0) when the wait itself fails; "MirelPipeServer::waitForClient: connection
    /// error. " with the error number of accept. bIdentify is not used.
    virtual MirelSmartPointer<MirelConnection> waitForClientImpl(bool bIdentify,
                                                                 MirelString& sExceptionMessage,
                                                                 int& nErrorCode);
    /// Opens the endpoint unless it is open or shut down: clears the path, binds, listens.
    /// Throws "MirelPipeServer::init: failed to create pipe." (wake-up pipe or socket),
    /// "...failed to prepare pipe." (bind; 22, EINVAL, for a name that is refused, before any
    /// system call on its path; 36, ENAMETOOLONG, when the full path does not fit a local
    /// socket address; 98, EADDRINUSE, when a live server holds the path),
    /// "...failed to listen on bound pipe." with the error number; the server then stays
    /// closed.
    virtual void init();

    MirelString m_sPipeName;
    void* m_pipeHandle;  ///< the open state; null while closed; only touched through m_pGate
    MirelCriticalSectionObject m_lock;  ///< serialises close and shutDown, and opening against them
    unsigned int m_iAccessPrivileges;
    MirelString m_sUserGroupName;

private:
    // The library's internal waits reach the gate (m_pGate) through it.
    friend class detail::ServerAccess;
    MirelPipeServer(const MirelPipeServer&);
    MirelPipeServer& operator=(const MirelPipeServer&);

    detail::ServerGate* m_pGate;  ///< hands the open state between the waiter, close and shutDown
    /// Unused, kept for the class layout: the gate knows whether a thread waits and whether the
    /// server is shut down.
    std::atomic<bool> m_bClientWaiting;
    std::atomic<bool> m_bDestroying;
    /// The socket file this server bound last (device, inode and change time in nanoseconds,
    /// since an inode number is reused at once), guarded by m_lock; the destructor removes
    /// that file and no other.
    unsigned long long m_nBoundDevice;
    unsigned long long m_nBoundInode;
    unsigned long long m_nBoundChange;
};

}  // namespace MirelNet

#endif
