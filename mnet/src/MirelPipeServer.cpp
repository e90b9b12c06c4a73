#include "MirelPipeServer.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <functional>

#include "MirelLogging.hpp"
#include "MirelPipeConnection.hpp"
#include "internal/Accounts.hpp"
#include "internal/EndpointName.hpp"
#include "internal/ServerGate.hpp"

namespace MirelNet {

using MirelSupport::endrecord;
using MirelSupport::MirelCriticalSection;

namespace {

const char* const kCreateFailed = "MirelPipeServer::init: failed to create pipe.";
const char* const kPrepareFailed = "MirelPipeServer::init: failed to prepare pipe.";
const char* const kListenFailed = "MirelPipeServer::init: failed to listen on bound pipe.";
const char* const kReadError = "MirelPipeServer::waitForClient: pipe read error. ";
const char* const kConnectionError = "MirelPipeServer::waitForClient: connection error. ";
const char* const kReleasingRecord = "MirelPipeServer::close: releasing resources";

// Senders that arrive in a burst wait in the listen queue; a short one makes them block in
// connect (a local socket never drops a connection request). Costs nothing until used.
const int kBacklog = SOMAXCONN;
const mode_t kEndpointMode = 0770;

[[noreturn]] void fail(const char* pszText, int nError) {
    throw MirelException(MirelString(pszText), nError);
}

// Refuses with 36 (ENAMETOOLONG) a name whose full path would not fit a local socket address
// with its terminator (the limit of the days when binds went by that path).
void checkPathLength(const MirelString& sName) {
    if (!detail::endpointPathFits(sName)) {
        fail(kPrepareFailed, ENAMETOOLONG);
    }
}

// True when a connection to the socket file that nFile stands for is refused: nobody accepts
// on it any more. A server that accepts, one whose queue is full and a file this process may
// not connect to all count as alive. A live server sees the trial as a client that sends
// nothing.
bool refusesConnection(int nFile) {
    detail::FdOwner trial(detail::posix::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK));
    if (trial.get() < 0) {
        fail(kCreateFailed, errno);
    }
    detail::SocketAddress address = detail::descriptorAddress(nFile, 0);
    return detail::posix::connect(trial.get(), address, 0) == ECONNREFUSED;
}

// Makes room for the bind, under the directory's lock: removes whatever non-directory entry is
// at sLeaf (a link itself, never what it leads to), except the endpoint of a live server, which
// fails the opening with 98 (EADDRINUSE) and stays. A directory is left for bind to report as
// taken.
void clearEndpoint(int nParent, const MirelString& sLeaf) {
    detail::FdOwner file;
    struct stat info;
    int nError = detail::openEndpointFile(nParent, sLeaf, file, &info);
    if (file.get() < 0 || S_ISDIR(info.st_mode)) {
        return;
    }
    if (nError == 0 && !refusesConnection(file.get())) {
        fail(kPrepareFailed, EADDRINUSE);
    }
    ::unlinkat(nParent, sLeaf.c_str(), 0);
}

// Device, inode and change time in nanoseconds of a socket file's status (an inode number
// alone is reused at once).
void socketFileIdentity(const struct stat& info, unsigned long long* pnDevice,
                        unsigned long long* pnInode, unsigned long long* pnChange) {
    *pnDevice = static_cast<unsigned long long>(info.st_dev);
    *pnInode = static_cast<unsigned long long>(info.st_ino);
    *pnChange =
        static_cast<unsigned long long>(info.st_ctim.tv_sec) * 1000000000ull + info.st_ctim.tv_nsec;
}

// Holds the lock of the directory that nDir stands for while it lives: the openings of pipe
// servers in one directory (in any process) take turns, so that two never both find a stale
// file, remove it and bind.
class DirectoryLock {
public:
    explicit DirectoryLock(int nDir) : m_nDir(nDir) {
        if (detail::posix::flock(m_nDir, LOCK_EX) != 0) {
            fail(kPrepareFailed, errno);
        }
    }
    ~DirectoryLock() { ::flock(m_nDir, LOCK_UN); }

private:
    DirectoryLock(const DirectoryLock&);
    DirectoryLock& operator=(const DirectoryLock&);
    int m_nDir;
};

// Hands the endpoint file that nFile stands for to the group sGroup; a missing group is only
// logged, and a failed chown keeps the owner's group.
void grantGroup(int nFile, const MirelString& sGroup) {
    gid_t nGroup = 0;
    if (detail::lookupGroup(sGroup, &nGroup)) {
        int nIgnored = ::fchownat(nFile, "", ::getuid(), nGroup, AT_EMPTY_PATH);
        (void)nIgnored;
        MIREL_LOG(9) << "MirelPipeServer::init () : successfully granted rw access to the "
                        "NamedPipe for OS Group : "
                     << sGroup << endrecord;
    } else {
        MIREL_LOG(9) << "MirelPipeServer::init () : failed to grant rw access to the "
                        "NamedPipe for OS Group : "
                     << sGroup << endrecord;
    }
}

// The pipe server's part of a wait: accepts one client and hands it out as a local pipe
// connection with the server's access privileges. Accept failures end the wait.
class PipeAcceptSteps : public detail::WaitSteps {
public:
    PipeAcceptSteps(const std::function<void()>& fnOpen, const MirelString& sPipeName,
                    unsigned int iAccessPrivileges)
        : WaitSteps(fnOpen),
          m_sPipeName(sPipeName),
          m_iAccessPrivileges(iAccessPrivileges),
          m_nAcceptError(0) {}

    static const char* timedOut() {
        return "MirelPipeServer::waitForClient: no client within the wait time-out.";
    }
    void ready(const detail::ListenCell& cell) {
        MIREL_LOG(9) << "MirelPipeServer::waitForClient: " << m_sPipeName
                     << " ready, accepting connections... (" << cell.fd << ")" << endrecord;
    }
    int take(const detail::ListenCell& cell) {
        int nClient = detail::posix::accept(cell.fd, 0);
        if (nClient < 0 && detail::classifyFailure(errno) == detail::RETRY_NOW) {
            return NOTHING;
        }
        m_nAcceptError = nClient < 0 ? errno : 0;
        MIREL_LOG(9) << "MirelPipeServer::waitForClient: " << m_sPipeName
                     << " returned from accept with clientSocket=" << nClient << endrecord;
        m_client.reset(nClient);
        return nClient < 0 ? static_cast<int>(QUIT) : static_cast<int>(TAKEN);
    }
    void ended(Ending how, MirelString& sExceptionMessage, int& nErrorCode) {
        if (how == WAIT_FAILED) {
            sExceptionMessage = kReadError;
        } else {
            sExceptionMessage = kConnectionError;
            nErrorCode = m_nAcceptError;
        }
    }
    void woken() {
        MIREL_LOG(9) << "MirelPipeServer::waitForClient : Shutting down thread" << endrecord;
        MIREL_LOG(9) << kReleasingRecord << endrecord;
    }
    MirelConnection* handOut(bool /*bIdentify*/) {
        int nClient = m_client.get();
        MirelPipeConnection* pConnection = new MirelPipeConnection(&nClient, m_iAccessPrivileges);
        m_client.release();
        // Now, while the sender is sure to be connected: it may close at once.
        detail::takePeerCredentials(pConnection->getPipeHandle());
        return pConnection;
    }
    // Every pipe client is on this machine.
    bool peerIsLocal() const { return true; }

private:
    const MirelString& m_sPipeName;
    unsigned int m_iAccessPrivileges;
    int m_nAcceptError;
    detail::FdOwner m_client;  // the accepted client until it is handed out
};

}  // namespace

MirelPipeServer::MirelPipeServer(const MirelString& sPipeName)
    : MirelPipeServer(sPipeName, 7, MirelString()) {}

MirelPipeServer::MirelPipeServer(const MirelString& sPipeName, unsigned int iAccessPrivileges,
                                 const MirelString& sUserGroupName)
    : m_sPipeName(sPipeName),
      m_pipeHandle(0),
      m_iAccessPrivileges(iAccessPrivileges),
      m_sUserGroupName(sUserGroupName),
      m_pGate(new detail::ServerGate),
      m_bClientWaiting(false),
      m_bDestroying(false),
      m_nBoundDevice(0),
      m_nBoundInode(0),
      m_nBoundChange(0) {
    try {
        init();
    } catch (...) {
        delete m_pGate;
        throw;
    }
}

MirelPipeServer::~MirelPipeServer() {
    shutDown();
    m_pGate->waitIdle();
    delete m_pGate;
    // Leave no endpoint file behind in the shared directory, but never one that a newer
    // server (this process or another) has bound at the same path since.
    detail::FdOwner parent;
    MirelString sLeaf;
    struct stat info;
    unsigned long long nDevice = 0;
    unsigned long long nInode = 0;
    unsigned long long nChange = 0;
    if (m_nBoundInode != 0 && detail::openEndpointParent(m_sPipeName, false, parent, &sLeaf) == 0 &&
        ::fstatat(parent.get(), sLeaf.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISSOCK(info.st_mode)) {
        socketFileIdentity(info, &nDevice, &nInode, &nChange);
        if (nDevice == m_nBoundDevice && nInode == m_nBoundInode && nChange == m_nBoundChange) {
            ::unlinkat(parent.get(), sLeaf.c_str(), 0);
        }
    }
}

void MirelPipeServer::setWaitTimeout(int nMilliseconds) {
    m_pGate->setWaitTimeout(nMilliseconds);
}

int MirelPipeServer::getWaitTimeout() const {
    return m_pGate->waitTimeout();
}

void MirelPipeServer::shutDown() {
    // Held so that no opening runs half-way across the shut.
    MirelCriticalSection guard(m_lock, true);
    m_pGate->shut();
    close();
}

MirelString MirelPipeServer::getFullPipeName(const MirelString& sPipeName) {
    MirelString sFullPipeName = MirelString(detail::kSharedServiceDir) + sPipeName;
    MIREL_LOG(9) << "MirelPipeServer::getFullPipeName () : sFullPipeName is : " << sFullPipeName
                 << endrecord;
    return sFullPipeName;
}

void MirelPipeServer::waitForInit() {}

void MirelPipeServer::init() {
    // Held while opening, so that a close from another thread either finds the endpoint
    // published or runs before the open starts; it never misses one that is half made.
    MirelCriticalSection guard(m_lock, true);
    if (m_pGate->isOpen(m_pipeHandle) || m_pGate->isShut()) {
        return;
    }
    // Before anything is done with a path made from the name.
    if (!detail::isSafeEndpointName(m_sPipeName)) {
        fail(kPrepareFailed, EINVAL);
    }
    checkPathLength(m_sPipeName);
    detail::ListenCell* pNewCell = 0;
    int nError = detail::ServerGate::newCell(&pNewCell);
    if (nError != 0) {
        fail(kCreateFailed, nError);
    }
    detail::CellOwner cell(pNewCell);
    // Non-blocking, so that a client that gives up between the wake-up and accept cannot
    // leave the waiting thread stuck where close no longer reaches it.
    cell.get()->fd = detail::posix::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK);
    if (cell.get()->fd < 0) {
        fail(kCreateFailed, errno);
    }
    // Everything below goes through the directory opened without following links, and under
    // its lock, so that only one server at a time clears and binds a name.
    detail::FdOwner parent;
    MirelString sLeaf;
    nError = detail::openEndpointParent(m_sPipeName, true, parent, &sLeaf);
    if (nError != 0) {
        fail(kPrepareFailed, nError);
    }
    DirectoryLock lock(parent.get());
    clearEndpoint(parent.get(), sLeaf);
    detail::SocketAddress address = detail::descriptorAddress(parent.get(), sLeaf.c_str());
    if (::bind(cell.get()->fd, address.get(), address.nLength) != 0) {
        fail(kPrepareFailed, errno);
    }
    if (::listen(cell.get()->fd, kBacklog) != 0) {
        fail(kListenFailed, errno);
    }
    // The file bound is this server's until it goes (only its owner may remove it from the
    // sticky directory); its mode, group and identity are set and read through a descriptor.
    detail::FdOwner file;
    struct stat info;
    if (detail::openEndpointFile(parent.get(), sLeaf, file, &info) == 0) {
        ::chmod(detail::descriptorPath(file.get(), 0).c_str(), kEndpointMode);
        if (m_iAccessPrivileges == 1 && !m_sUserGroupName.empty()) {
            grantGroup(file.get(), m_sUserGroupName);
        }
        if (::fstat(file.get(), &info) == 0) {
            socketFileIdentity(info, &m_nBoundDevice, &m_nBoundInode, &m_nBoundChange);
        }
    }
    m_pGate->publish(m_pipeHandle, cell.release());
}

void MirelPipeServer::close() {
    MIREL_LOG(9) << "MirelPipeServer::close" << endrecord;
    MirelCriticalSection guard(m_lock, true);
    detail::ServerGate::CloseResult result = m_pGate->close(m_pipeHandle);
    if (result == detail::ServerGate::SIGNALLED) {
        MIREL_LOG(9) << "MirelPipeServer::close: signaling wait thread" << endrecord;
    } else if (result == detail::ServerGate::RELEASED) {
        MIREL_LOG(9) << kReleasingRecord << endrecord;
    }
}

MirelSmartPointer<MirelConnection> MirelPipeServer::waitForClientImpl(
    bool bIdentify, MirelString& sExceptionMessage, int& nErrorCode) {
    PipeAcceptSteps steps([this] { init(); }, m_sPipeName, m_iAccessPrivileges);
    return m_pGate->serve(m_pipeHandle, steps, bIdentify, sExceptionMessage, nErrorCode);
}

}  // namespace MirelNet
