#include "MirelPipeConnection.hpp"

#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>

#include "MirelPipeServer.hpp"
#include "internal/EndpointName.hpp"
#include "internal/StreamIo.hpp"

namespace MirelNet {

namespace {

const char* const kCreationFailed = "MirelPipeConnection::establish: pipe creation failed.";
const char* const kConnectFailed = "MirelPipeConnection::establish: connection request failed.";

}  // namespace

MirelPipeConnection::MirelPipeConnection(const MirelString& sPipeName)
    : m_sPipeName(sPipeName), m_pipeHandle(0), m_iAccessRights(1) {}

MirelPipeConnection::MirelPipeConnection(void* pPipeHandle, unsigned int iAccessRights)
    : m_pipeHandle(0), m_iAccessRights(iAccessRights) {
    int nFd = pPipeHandle ? *static_cast<int*>(pPipeHandle) : -1;
    if (nFd >= 0) {
        detail::openCell(m_pipeHandle, nFd);
        detail::markAccepted(m_pipeHandle);
    }
}

MirelPipeConnection::~MirelPipeConnection() {
    MirelPipeConnection::disconnect();
    detail::freeCell(m_pipeHandle);
}

void MirelPipeConnection::disconnect() {
    detail::closeCell(m_pipeHandle);
    cleanup();
}

unsigned int MirelPipeConnection::getAccessRights() const {
    return m_iAccessRights;
}

int MirelPipeConnection::establishImpl(MirelString& sExceptionMessage) {
    if (detail::cellFd(m_pipeHandle) >= 0 || detail::droppedAccepted(m_pipeHandle)) {
        return 0;
    }
    if (detail::takeDropped(m_pipeHandle)) {
        cleanup();  // a time-out closed the socket: connect again
    }
    // A name from a callback address is input from outside: it must not lead out of the
    // shared-service directory.
    if (!detail::isSafeEndpointName(m_sPipeName)) {
        sExceptionMessage = kConnectFailed;
        return EINVAL;
    }
    // The full path must still fit a local socket address, as when connects went by it.
    if (!detail::endpointPathFits(m_sPipeName)) {
        sExceptionMessage = kConnectFailed;
        return ENAMETOOLONG;
    }
    int nFd = detail::posix::socket(AF_UNIX, SOCK_STREAM);
    if (nFd < 0) {
        sExceptionMessage = kCreationFailed;
        return errno;
    }
    // With a time-out, a listener that never accepts must not hold the caller for ever: the
    // cell bounds the connect.
    detail::openCell(m_pipeHandle, nFd);
    // A refused handshake leaves this function as its MirelException.
    int nError =
        detail::finishConnect(*this, m_pipeHandle, detail::connectEndpoint(nFd, m_sPipeName));
    if (nError != 0) {
        sExceptionMessage = kConnectFailed;
        return nError;
    }
    m_bConnected = true;
    initialize();
    return 0;
}

long MirelPipeConnection::transfer(const char* buf, long bufLen, long* error) {
    int nEstablished =
        detail::establishedCell(m_pipeHandle, *this, &MirelPipeConnection::establishImpl);
    return detail::streamSend(this, nEstablished, m_pipeHandle, buf, bufLen, error);
}

long MirelPipeConnection::receive(char* bufPtr, long toRead, long* error, bool bWaitForAll) {
    int nEstablished =
        detail::establishedCell(m_pipeHandle, *this, &MirelPipeConnection::establishImpl);
    return detail::streamReceive(this, nEstablished, m_pipeHandle, bufPtr, toRead, error,
                                 bWaitForAll);
}

bool MirelPipeConnection::peekBytes(void* pBuffer, int& nSize, int& nErrorCode) {
    int nEstablished =
        detail::establishedCell(m_pipeHandle, *this, &MirelPipeConnection::establishImpl);
    return detail::streamPeek(this, nEstablished, m_pipeHandle, pBuffer, nSize, nErrorCode);
}

bool MirelPipeConnection::getPeerCredentials(int& nPid, unsigned int& nUid,
                                             unsigned int& nGid) const {
    const detail::StreamCell* pCell = static_cast<const detail::StreamCell*>(m_pipeHandle);
    if (pCell == 0 || !pCell->bPeerKnown) {
        return false;
    }
    nPid = pCell->nPeerPid;
    nUid = pCell->nPeerUid;
    nGid = pCell->nPeerGid;
    return true;
}

void* MirelPipeConnection::getPipeHandle() {
    return detail::openCellOrNull(m_pipeHandle);
}

void MirelPipeConnection::setTimeout(int nMilliseconds) {
    detail::setCellTimeout(m_pipeHandle, nMilliseconds);
}

int MirelPipeConnection::getTimeout() const {
    return detail::cellTimeout(m_pipeHandle);
}

}  // namespace MirelNet
