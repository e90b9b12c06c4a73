#include "MirelUDPServerSocket.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "MirelBufferConnection.hpp"
#include "MirelLogging.hpp"
#include "internal/HostLookup.hpp"
#include "internal/ServerGate.hpp"
#include "internal/StreamIo.hpp"

namespace MirelNet {

using MirelSupport::endrecord;

namespace {

const char* const kCreateFailed = "MirelUDPServerSocket::init: failed to create socket.";
const char* const kBindFailed = "MirelUDPServerSocket::init: failed to bind socket.";
const char* const kNameFailed = "MirelUDPServerSocket::init: failed to get socket name.";

// Receive errors after which the wait ends without a datagram and without a message.
bool endsWaitQuietly(int nError) {
    return nError == EBADF || nError == ENONET || nError == ECONNRESET || nError == ENOTSOCK ||
           nError == EHOSTDOWN;
}

}  // namespace

MirelUDPServerSocket::MirelUDPServerSocket(int nPort, const MirelString& sBindAddress,
                                           unsigned int nBufferSize)
    : MirelServerSocket(nPort, 0, sBindAddress), m_nBufferSize(nBufferSize), m_pReceiveBuffer(0) {}

MirelUDPServerSocket::~MirelUDPServerSocket() {
    MirelUDPServerSocket::close();
    m_pGate->waitIdle();
    std::free(m_pReceiveBuffer);
}

void MirelUDPServerSocket::init() {
    if (!m_pGate->isOpen(m_pSocketImpl)) {
        openSocket(SOCK_DGRAM, kCreateFailed, kBindFailed, kNameFailed, 0,
                   "MirelUDPServerSocket::init: Using IP Address ");
    }
}

MirelSmartPointer<MirelConnection> MirelUDPServerSocket::waitForClientImpl(
    bool bIdentify, MirelString& sExceptionMessage, int& nErrorCode) {
    detail::ServerGate::Visit visit(*m_pGate);
    try {
        init();
    } catch (const MirelException& e) {
        sExceptionMessage = e.getText();
        nErrorCode = e.getCode();
        return MirelSmartPointer<MirelConnection>();
    }
    if (m_pReceiveBuffer == 0 && m_nBufferSize > 0) {
        m_pReceiveBuffer = static_cast<char*>(std::malloc(m_nBufferSize));
        if (m_pReceiveBuffer == 0) {
            sExceptionMessage =
                "MirelUDPServerSocket::waitForClient: no memory for the receive buffer.";
            nErrorCode = ENOMEM;
            return MirelSmartPointer<MirelConnection>();
        }
    }
    detail::ListenCell* pCell = m_pGate->enter(m_pSocketImpl);
    if (pCell == 0) {
        return MirelSmartPointer<MirelConnection>();
    }

    MIREL_LOG(9) << "MirelUDPServerSocket::receive: UDP Server on " << m_nPort
                 << " ready, accepting messages..." << endrecord;
    sockaddr_in sender;
    ssize_t nReceived = -1;
    bool bTaken;
    {
        detail::FailureBurst burst(
            "MirelUDPServerSocket::receive: UDP server: failed to recvfrom (error:", ")");
        bTaken = detail::ServerGate::takeWhenReady(pCell, burst, [&]() -> int {
            std::memset(&sender, 0, sizeof sender);
            socklen_t nLength = sizeof sender;
            nReceived = ::recvfrom(pCell->fd, m_pReceiveBuffer, m_nBufferSize, 0,
                                   reinterpret_cast<sockaddr*>(&sender), &nLength);
            if (nReceived >= 0) {
                return detail::ServerGate::TAKEN;
            }
            int nError = errno;
            if (nError == EAGAIN || nError == EWOULDBLOCK || nError == EINTR) {
                return detail::ServerGate::NOTHING;
            }
            if (endsWaitQuietly(nError)) {
                MIREL_LOG(9) << "MirelUDPServerSocket::waitForClientImpl: socket error=" << nError
                             << ", exiting" << endrecord;
                nErrorCode = nError;
                return detail::ServerGate::QUIT;
            }
            return nError;
        });
    }
    if (!bTaken) {
        m_pGate->leave(pCell);
        return MirelSmartPointer<MirelConnection>();
    }
    if (m_pGate->leave(pCell)) {
        return MirelSmartPointer<MirelConnection>();
    }
    if (nReceived == 0) {
        MIREL_LOG(9)
            << "MirelUDPServerSocket::receive: UDP server: exiting gracefully got no message"
            << endrecord;
        return MirelSmartPointer<MirelConnection>();
    }

    MirelString sRemoteName;
    if (bIdentify && detail::lookupByAddress(sender.sin_addr.s_addr, &sRemoteName)) {
        MIREL_LOG(5) << "MirelUDPServerSocket::receive: Server connected to " << sRemoteName << ":"
                     << static_cast<int>(ntohs(sender.sin_port)) << endrecord;
    }
    MirelSmartPointer<MirelConnection> spConnection(
        new MirelBufferConnection(m_pReceiveBuffer, static_cast<int>(nReceived), sRemoteName));
    spConnection->setLocalAccess(sender.sin_addr.s_addr == htonl(INADDR_LOOPBACK));
    return spConnection;
}

void MirelUDPServerSocket::close() {
    m_pGate->close(m_pSocketImpl);
    m_bInitialized = false;
}

}  // namespace MirelNet
