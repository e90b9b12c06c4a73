#include "MirelPipeServer.hpp"

#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <vector>

#include "MirelLogging.hpp"
#include "MirelPipeConnection.hpp"
#include "internal/ServerGate.hpp"
#include "internal/StreamIo.hpp"

namespace MirelNet {

using MirelSupport::endrecord;
using MirelSupport::MirelCriticalSection;

namespace {

const char* const kSharedServiceDir = "/opt/mirel/pelnix/var/lib/corvane/shrsvc/";

const char* const kCreateFailed = "MirelPipeServer::init: failed to create pipe.";
const char* const kPrepareFailed = "MirelPipeServer::init: failed to prepare pipe.";
const char* const kListenFailed = "MirelPipeServer::init: failed to listen on bound pipe.";
const char* const kReadError = "MirelPipeServer::waitForClient: pipe read error. ";
const char* const kConnectionError = "MirelPipeServer::waitForClient: connection error. ";

// Senders that arrive in a burst wait in the listen queue; a short one makes them block in
// connect (a local socket never drops a connection request). Costs nothing until used.
const int kBacklog = SOMAXCONN;
const mode_t kEndpointMode = 0770;

// Only a socket file is taken for the leftover of an earlier run; anything else at the path
// is not ours to delete, and bind then reports the path as taken.
void removeStaleEndpoint(const MirelString& sPath) {
    struct stat info;
    if (::lstat(sPath.c_str(), &info) == 0 && S_ISSOCK(info.st_mode)) {
        ::unlink(sPath.c_str());
    }
}

// getgrnam_r, because another thread of the process may be looking up groups too.
bool lookupGroup(const MirelString& sName, gid_t* pGid) {
    long nHint = ::sysconf(_SC_GETGR_R_SIZE_MAX);
    std::vector<char> buffer(nHint > 0 ? static_cast<std::size_t>(nHint) : 1024);
    for (;;) {
        group entry;
        group* pFound = 0;
        int rc = ::getgrnam_r(sName.c_str(), &entry, buffer.data(), buffer.size(), &pFound);
        if (rc == ERANGE && buffer.size() < (1u << 20)) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (rc == EINTR) {
            continue;
        }
        if (rc != 0 || pFound == 0) {
            return false;
        }
        *pGid = pFound->gr_gid;
        return true;
    }
}

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
    m_bDestroying = true;
    MirelPipeServer::close();
    m_pGate->waitIdle();
    delete m_pGate;
    // Leave no endpoint file behind in the shared directory, but never one that a newer
    // server (this process or another) has bound at the same path since.
    if (m_nBoundInode != 0) {
        MirelString sPath = MirelString(kSharedServiceDir) + m_sPipeName;
        struct stat info;
        if (::lstat(sPath.c_str(), &info) == 0 && S_ISSOCK(info.st_mode) &&
            static_cast<unsigned long long>(info.st_dev) == m_nBoundDevice &&
            static_cast<unsigned long long>(info.st_ino) == m_nBoundInode &&
            static_cast<unsigned long long>(info.st_ctim.tv_sec) * 1000000000ull +
                    info.st_ctim.tv_nsec ==
                m_nBoundChange) {
            ::unlink(sPath.c_str());
        }
    }
}

MirelString MirelPipeServer::getFullPipeName(const MirelString& sPipeName) {
    MirelString sFullPipeName = MirelString(kSharedServiceDir) + sPipeName;
    MIREL_LOG(9) << "MirelPipeServer::getFullPipeName () : sFullPipeName is : " << sFullPipeName
                 << endrecord;
    return sFullPipeName;
}

void MirelPipeServer::waitForInit() {}

void MirelPipeServer::init() {
    // Held while opening, so that a close from another thread either finds the endpoint
    // published or runs before the open starts; it never misses one that is half made.
    MirelCriticalSection guard(m_lock, true);
    if (m_pGate->isOpen(m_pipeHandle)) {
        return;
    }
    detail::ListenCell* pCell = 0;
    int nError = detail::ServerGate::newCell(&pCell);
    if (nError != 0) {
        throw MirelException(MirelString(kCreateFailed), nError);
    }
    // Non-blocking, so that a client that gives up between the wake-up and accept cannot
    // leave the waiting thread stuck where close no longer reaches it.
    pCell->fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (pCell->fd < 0) {
        nError = errno;
        detail::ServerGate::freeCell(pCell);
        throw MirelException(MirelString(kCreateFailed), nError);
    }

    try {
        MirelString sPath = getFullPipeName(m_sPipeName);
        sockaddr_un address;
        std::memset(&address, 0, sizeof address);
        address.sun_family = AF_UNIX;
        if (sPath.size() >= sizeof address.sun_path) {
            throw MirelException(MirelString(kPrepareFailed), ENAMETOOLONG);
        }
        std::memcpy(address.sun_path, sPath.data(), sPath.size());
        socklen_t nLength = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + sPath.size());

        removeStaleEndpoint(sPath);
        if (::bind(pCell->fd, reinterpret_cast<sockaddr*>(&address), nLength) != 0) {
            throw MirelException(MirelString(kPrepareFailed), errno);
        }
        if (::listen(pCell->fd, kBacklog) != 0) {
            throw MirelException(MirelString(kListenFailed), errno);
        }
        ::chmod(sPath.c_str(), kEndpointMode);
        struct stat bound;
        if (::lstat(sPath.c_str(), &bound) == 0) {
            m_nBoundDevice = static_cast<unsigned long long>(bound.st_dev);
            m_nBoundInode = static_cast<unsigned long long>(bound.st_ino);
            m_nBoundChange = static_cast<unsigned long long>(bound.st_ctim.tv_sec) * 1000000000ull +
                             bound.st_ctim.tv_nsec;
        }

        if (m_iAccessPrivileges == 1 && !m_sUserGroupName.empty()) {
            gid_t nGroup = 0;
            if (lookupGroup(m_sUserGroupName, &nGroup)) {
                // Not fatal: the endpoint then keeps the owner's group.
                int nIgnored = ::chown(sPath.c_str(), ::getuid(), nGroup);
                (void)nIgnored;
                MIREL_LOG(9) << "MirelPipeServer::init () : successfully granted rw access to the "
                                "NamedPipe for OS Group : "
                             << m_sUserGroupName << endrecord;
            } else {
                MIREL_LOG(9) << "MirelPipeServer::init () : failed to grant rw access to the "
                                "NamedPipe for OS Group : "
                             << m_sUserGroupName << endrecord;
            }
        }
    } catch (...) {
        detail::ServerGate::freeCell(pCell);
        throw;
    }
    m_pGate->publish(m_pipeHandle, pCell);
}

void MirelPipeServer::close() {
    MIREL_LOG(9) << "MirelPipeServer::close" << endrecord;
    MirelCriticalSection guard(m_lock, true);
    // Only picks the record below; the gate itself decides between waking and releasing.
    bool bWaiting = m_bClientWaiting;
    if (m_pGate->close(m_pipeHandle)) {
        if (bWaiting) {
            MIREL_LOG(9) << "MirelPipeServer::close: signaling wait thread" << endrecord;
        } else {
            MIREL_LOG(9) << "MirelPipeServer::close: releasing resources" << endrecord;
        }
    }
}

MirelSmartPointer<MirelConnection> MirelPipeServer::waitForClientImpl(
    bool /*bIdentify*/, MirelString& sExceptionMessage, int& nErrorCode) {
    detail::ServerGate::Visit visit(*m_pGate);
    try {
        init();
    } catch (const MirelException& e) {
        sExceptionMessage = e.getText();
        nErrorCode = e.getCode();
        return MirelSmartPointer<MirelConnection>();
    }
    detail::ListenCell* pCell = m_pGate->enter(m_pipeHandle);
    if (pCell == 0) {
        return MirelSmartPointer<MirelConnection>();
    }
    if (m_bDestroying) {
        // The destructor's close ran before this wait had opened the endpoint again.
        if (!m_pGate->leave(pCell)) {
            MirelPipeServer::close();
        }
        return MirelSmartPointer<MirelConnection>();
    }
    m_bClientWaiting = true;
    MIREL_LOG(9) << "MirelPipeServer::waitForClient: " << m_sPipeName
                 << " ready, accepting connections... (" << pCell->fd << ")" << endrecord;

    for (;;) {
        int nError = 0;
        detail::ServerGate::WaitResult result = detail::ServerGate::await(pCell, &nError);
        if (result == detail::ServerGate::CLOSED) {
            MIREL_LOG(9) << "MirelPipeServer::waitForClient : Shutting down thread" << endrecord;
            m_bClientWaiting = false;
            if (m_pGate->leave(pCell)) {
                MIREL_LOG(9) << "MirelPipeServer::close: releasing resources" << endrecord;
            }
            return MirelSmartPointer<MirelConnection>();
        }
        if (result == detail::ServerGate::FAILED) {
            m_bClientWaiting = false;
            if (!m_pGate->leave(pCell)) {
                sExceptionMessage = kReadError;
            }
            return MirelSmartPointer<MirelConnection>();
        }

        sockaddr_un clientAddress;
        std::memset(&clientAddress, 0, sizeof clientAddress);
        socklen_t nAddressLength = sizeof clientAddress;
        int nClient = ::accept4(pCell->fd, reinterpret_cast<sockaddr*>(&clientAddress),
                                &nAddressLength, SOCK_CLOEXEC);
        if (nClient < 0 &&
            (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == ECONNABORTED)) {
            continue;
        }
        int nAcceptError = nClient < 0 ? errno : 0;
        MIREL_LOG(9) << "MirelPipeServer::waitForClient: " << m_sPipeName
                     << " returned from accept with clientSocket=" << nClient << endrecord;
        m_bClientWaiting = false;
        if (m_pGate->leave(pCell)) {
            // Closed just as the client arrived: the wait ends as closed, and the client
            // with it.
            detail::closeFd(nClient);
            return MirelSmartPointer<MirelConnection>();
        }
        if (nClient < 0) {
            sExceptionMessage = kConnectionError;
            nErrorCode = nAcceptError;
            return MirelSmartPointer<MirelConnection>();
        }
        MirelPipeConnection* pConnection = new MirelPipeConnection(&nClient, m_iAccessPrivileges);
        pConnection->setLocalAccess(true);
        return MirelSmartPointer<MirelConnection>(pConnection);
    }
}

}  // namespace MirelNet
