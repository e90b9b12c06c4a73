#include "MirelPipeConnection.hpp"

#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

#include "MirelPipeServer.hpp"
#include "internal/StreamIo.hpp"

namespace MirelNet {

namespace {

const char* const kCreationFailed = "MirelPipeConnection::establish: pipe creation failed.";
const char* const kConnectFailed = "MirelPipeConnection::establish: connection request failed.";
const char* const kServiceRefused =
    "MirelConnection::connectToService: connection to remote service failed.";

// A blocking connect that a signal interrupts goes on in the kernel; asking again either
// completes it or reports that it already has.
int connectLocal(int nFd, const sockaddr_un& address, socklen_t nLength) {
    const sockaddr* pAddress = reinterpret_cast<const sockaddr*>(&address);
    if (::connect(nFd, pAddress, nLength) == 0) {
        return 0;
    }
    while (errno == EINTR) {
        if (::connect(nFd, pAddress, nLength) == 0 || errno == EISCONN) {
            return 0;
        }
    }
    return errno;
}

}  // namespace

MirelPipeConnection::MirelPipeConnection(const MirelString& sPipeName)
    : m_sPipeName(sPipeName), m_pipeHandle(0), m_iAccessRights(1) {}

MirelPipeConnection::MirelPipeConnection(void* pPipeHandle, unsigned int iAccessRights)
    : m_pipeHandle(0), m_iAccessRights(iAccessRights) {
    int nFd = pPipeHandle ? *static_cast<int*>(pPipeHandle) : -1;
    if (nFd >= 0) {
        m_pipeHandle = detail::newCell(nFd);
    }
}

MirelPipeConnection::~MirelPipeConnection() {
    MirelPipeConnection::disconnect();
}

void MirelPipeConnection::disconnect() {
    detail::closeCell(m_pipeHandle);
    cleanup();
}

unsigned int MirelPipeConnection::getAccessRights() const {
    return m_iAccessRights;
}

int MirelPipeConnection::establishImpl(MirelString& sExceptionMessage) {
    if (m_pipeHandle) {
        return 0;
    }
    MirelString sPath = MirelPipeServer::getFullPipeName(m_sPipeName);

    int nFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (nFd < 0) {
        sExceptionMessage = kCreationFailed;
        return errno;
    }
    m_pipeHandle = detail::newCell(nFd);

    sockaddr_un address;
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    int nError = ENAMETOOLONG;
    if (sPath.size() < sizeof address.sun_path) {
        std::memcpy(address.sun_path, sPath.data(), sPath.size());
        socklen_t nLength = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + sPath.size());
        nError = connectLocal(nFd, address, nLength);
    }
    if (nError != 0) {
        detail::closeCell(m_pipeHandle);
        sExceptionMessage = kConnectFailed;
        return nError;
    }

    // The handshake runs through our own primitives, which find the socket open and so do
    // not establish again.
    if (!connectToServiceImpl()) {
        throw MirelException(MirelString(kServiceRefused), 0);
    }
    m_bConnected = true;
    initialize();
    return 0;
}

long MirelPipeConnection::transfer(const char* buf, long bufLen, long* error) {
    MirelString sIgnored;
    *error = establishImpl(sIgnored);
    if (*error != 0) {
        return 0;
    }
    int nFd = detail::cellFd(m_pipeHandle);
    if (nFd < 0) {
        *error = ENOTCONN;
        return 0;
    }
    if (bufLen <= 0) {
        return 0;
    }
    return detail::sendAll(nFd, buf, bufLen, error);
}

long MirelPipeConnection::receive(char* bufPtr, long toRead, long* error, bool bWaitForAll) {
    MirelString sIgnored;
    *error = establishImpl(sIgnored);
    if (*error != 0) {
        return 0;
    }
    int nFd = detail::cellFd(m_pipeHandle);
    if (nFd < 0) {
        *error = ENOTCONN;
        return 0;
    }
    if (toRead <= 0) {
        return 0;
    }
    return detail::receiveSome(nFd, bufPtr, toRead, error, bWaitForAll);
}

bool MirelPipeConnection::peekBytes(void* pBuffer, int& nSize, int& nErrorCode) {
    MirelString sIgnored;
    nErrorCode = establishImpl(sIgnored);
    if (nErrorCode != 0) {
        return false;
    }
    int nFd = detail::cellFd(m_pipeHandle);
    if (nFd < 0) {
        nErrorCode = ENOTCONN;
        nSize = 0;
        return false;
    }
    return detail::peekSome(nFd, pBuffer, nSize, nErrorCode);
}

}  // namespace MirelNet
