#include "MirelUDPServerSocket.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>

#include "MirelBufferConnection.hpp"
#include "MirelLogging.hpp"
#include "internal/ServerGate.hpp"

namespace MirelNet {

using MirelSupport::endrecord;

namespace {

const char* const kCreateFailed = "MirelUDPServerSocket::init: failed to create socket.";
const char* const kBindFailed = "MirelUDPServerSocket::init: failed to bind socket.";
const char* const kNameFailed = "MirelUDPServerSocket::init: failed to get socket name.";
const char* const kNoBuffer =
    "MirelUDPServerSocket::waitForClient: no memory for the receive buffer.";

// Receive errors after which the wait ends without a datagram and without a message.
bool endsWaitQuietly(int nError) {
    return nError == EBADF || nError == ENONET || nError == ECONNRESET || nError == ENOTSOCK ||
           nError == EHOSTDOWN;
}

// The UDP server's part of a wait: receives one datagram into the server's buffer and hands
// out a copy of it. Receive failures other than the quiet ones are retried, paced.
class ReceiveSteps : public detail::InetWaitSteps {
public:
    ReceiveSteps(const std::function<void()>& fnOpen, const int& nPort, char* const& pBuffer,
                 unsigned int nBufferSize)
        : InetWaitSteps(fnOpen),
          m_nPort(nPort),
          m_pBuffer(pBuffer),
          m_nBufferSize(nBufferSize),
          m_nReceived(0),
          m_nQuitError(0),
          m_burst("MirelUDPServerSocket::receive: UDP server: failed to recvfrom (error:", ")") {}

    static const char* timedOut() {
        return "MirelUDPServerSocket::waitForClient: no client within the wait time-out.";
    }
    void ready(const detail::ListenCell&) {
        MIREL_LOG(9) << "MirelUDPServerSocket::receive: UDP Server on " << m_nPort
                     << " ready, accepting messages..." << endrecord;
    }
    int take(const detail::ListenCell& cell) {
        m_nReceived = detail::posix::recvFrom(cell.fd, m_pBuffer, m_nBufferSize, 0, &m_peer);
        if (m_nReceived >= 0) {
            return TAKEN;
        }
        int nError = errno;
        if (detail::classifyFailure(nError) == detail::RETRY_NOW && nError != ECONNABORTED) {
            return NOTHING;
        }
        if (endsWaitQuietly(nError)) {
            MIREL_LOG(9) << "MirelUDPServerSocket::waitForClientImpl: socket error=" << nError
                         << ", exiting" << endrecord;
            m_nQuitError = nError;
            return QUIT;
        }
        return nError;
    }
    void ended(Ending, MirelString&, int& nErrorCode) { nErrorCode = m_nQuitError; }
    MirelConnection* handOut(bool bIdentify) {
        if (m_nReceived == 0) {
            MIREL_LOG(9)
                << "MirelUDPServerSocket::receive: UDP server: exiting gracefully got no message"
                << endrecord;
            return 0;
        }
        MirelString sRemoteName =
            identify(bIdentify, "MirelUDPServerSocket::receive: Server connected to ");
        return new MirelBufferConnection(m_pBuffer, static_cast<int>(m_nReceived), sRemoteName);
    }
    detail::FailureBurst* burst() { return &m_burst; }

private:
    const int& m_nPort;
    char* const& m_pBuffer;  // the server's, allocated by the opening step
    unsigned int m_nBufferSize;
    ssize_t m_nReceived;
    int m_nQuitError;  // the receive error that ended the wait quietly
    detail::FailureBurst m_burst;
};

}  // namespace

MirelUDPServerSocket::MirelUDPServerSocket(int nPort, const MirelString& sBindAddress,
                                           unsigned int nBufferSize)
    : MirelServerSocket(nPort, 0, sBindAddress), m_nBufferSize(nBufferSize), m_pReceiveBuffer(0) {}

MirelUDPServerSocket::~MirelUDPServerSocket() {
    shutDown();
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
    ReceiveSteps steps(
        [this] {
            init();
            if (m_pReceiveBuffer == 0 && m_nBufferSize > 0) {
                m_pReceiveBuffer = static_cast<char*>(std::malloc(m_nBufferSize));
                if (m_pReceiveBuffer == 0) {
                    throw MirelException(MirelString(kNoBuffer), ENOMEM);
                }
            }
        },
        m_nPort, m_pReceiveBuffer, m_nBufferSize);
    return m_pGate->serve(m_pSocketImpl, steps, bIdentify, sExceptionMessage, nErrorCode);
}

void MirelUDPServerSocket::close() {
    m_pGate->close(m_pSocketImpl);
    m_bInitialized = false;
}

}  // namespace MirelNet
