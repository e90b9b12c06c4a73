#include "MirelServerSocket.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <thread>

#include "MirelLogging.hpp"
#include "MirelSocketConnection.hpp"
#include "internal/HostLookup.hpp"
#include "internal/Posix.hpp"
#include "internal/ServerGate.hpp"

namespace MirelNet {

using MirelSupport::endrecord;

namespace {

const char* const kCreateFailed = "MirelServerSocket::init: failed to create socket.";
const char* const kBindFailed = "MirelServerSocket::init: failed to bind socket.";
const char* const kNameFailed = "MirelServerSocket::init: failed to get socket name.";
const char* const kListenFailed = "MirelServerSocket::init: failed to listen on bound socket.";

// accept errors after which the wait ends without a client and without a message.
bool endsWaitQuietly(int nError) {
    return nError == EBADF || nError == ENONET || nError == ENOTSOCK || nError == EHOSTDOWN;
}

// A datagram socket asks for a receive buffer of several MiB, so that a burst of datagrams
// waits in the system's queue instead of being dropped; the system may grant less (the
// process's limit, unless it may pass it with SO_RCVBUFFORCE).
const int kDatagramReceiveBuffer = 4 * 1024 * 1024;

void askForReceiveBuffer(int nFd) {
    int nSize = kDatagramReceiveBuffer;
    if (::setsockopt(nFd, SOL_SOCKET, SO_RCVBUFFORCE, &nSize, sizeof nSize) != 0) {
        ::setsockopt(nFd, SOL_SOCKET, SO_RCVBUF, &nSize, sizeof nSize);
    }
    int nGranted = 0;
    socklen_t nLength = sizeof nGranted;
    if (::getsockopt(nFd, SOL_SOCKET, SO_RCVBUF, &nGranted, &nLength) == 0) {
        MIREL_LOG(5) << "MirelUDPServerSocket::init: receive buffer of " << nGranted << " bytes"
                     << endrecord;
    }
}

[[noreturn]] void failOpening(const char* pszText) {
    int nError = errno;
    throw MirelException(MirelString(pszText), nError);
}

// The TCP server's part of a wait: accepts one client and hands it out as a socket connection
// that knows its server. Accept failures other than the quiet ones are retried, paced.
class AcceptSteps : public detail::InetWaitSteps {
public:
    AcceptSteps(const std::function<void()>& fnOpen, MirelServerSocket* pServer, const int& nPort)
        : InetWaitSteps(fnOpen),
          m_pServer(pServer),
          m_nPort(nPort),
          m_burst("MirelServerSocket::waitForClient: socket connection error. ", "") {}

    static const char* timedOut() {
        return "MirelServerSocket::waitForClient: no client within the wait time-out.";
    }
    void ready(const detail::ListenCell&) {
        MIREL_LOG(5) << "MirelServerSocket::waitForClient: TCP Server on " << m_nPort
                     << " ready, accepting connections..." << endrecord;
    }
    int take(const detail::ListenCell& cell) {
        int nClient = detail::posix::accept(cell.fd, &m_peer);
        if (nClient >= 0) {
            m_client.reset(nClient);
            return TAKEN;
        }
        int nError = errno;
        if (detail::classifyFailure(nError) == detail::RETRY_NOW) {
            return NOTHING;
        }
        return endsWaitQuietly(nError) ? static_cast<int>(QUIT) : nError;
    }
    MirelConnection* handOut(bool bIdentify) {
        MirelString sRemoteName =
            identify(bIdentify, "MirelServerSocket::waitForClient () Server connected to ");
        MirelConnection* pConnection =
            new MirelSocketConnection(m_client.get(), sRemoteName, m_pServer, false);
        m_client.release();
        return pConnection;
    }
    detail::FailureBurst* burst() { return &m_burst; }

private:
    MirelServerSocket* m_pServer;
    const int& m_nPort;
    detail::FailureBurst m_burst;
    detail::FdOwner m_client;  // the accepted client until it is handed out
};

}  // namespace

MirelServerSocket::MirelServerSocket(int nPort, int nBacklog, const MirelString& sBindAddress)
    : m_nPort(nPort),
      m_nBacklog(nBacklog),
      m_sBindAddress(sBindAddress),
      m_pSocketImpl(0),
      m_bInitialized(false),
      m_pGate(new detail::ServerGate) {}

MirelServerSocket::~MirelServerSocket() {
    shutDown();
    m_pGate->waitIdle();
    delete m_pGate;
}

void MirelServerSocket::setWaitTimeout(int nMilliseconds) {
    m_pGate->setWaitTimeout(nMilliseconds);
}

int MirelServerSocket::getWaitTimeout() const {
    return m_pGate->waitTimeout();
}

void MirelServerSocket::shutDown() {
    m_pGate->shut();
    close();
}

void MirelServerSocket::setPort(int nPort) {
    if (!m_pGate->isOpen(m_pSocketImpl)) {
        m_nPort = nPort;
    }
}

int MirelServerSocket::getPort() const {
    return m_nPort;
}

const MirelString& MirelServerSocket::getBindAddress() const {
    return m_sBindAddress;
}

void MirelServerSocket::init() {
    if (!m_pGate->isOpen(m_pSocketImpl)) {
        openSocket(SOCK_STREAM, kCreateFailed, kBindFailed, kNameFailed, kListenFailed,
                   "MirelServerSocket::init: Using IP Address ");
    }
}

void MirelServerSocket::openSocket(int nType, const char* pszCreateFailed,
                                   const char* pszBindFailed, const char* pszNameFailed,
                                   const char* pszListenFailed, const char* pszLogHead) {
    detail::ListenCell* pNewCell = 0;
    int nError = detail::ServerGate::newCell(&pNewCell);
    if (nError != 0) {
        throw MirelException(MirelString(pszCreateFailed), nError);
    }
    detail::CellOwner cell(pNewCell);
    // "*" is every IPv4 interface; "::" every interface of both families.
    const MirelString& sBindAddress = getBindAddress();
    uint16_t nBindPort = static_cast<uint16_t>(m_nPort);
    detail::SocketAddress address = detail::ipv4Address(htonl(INADDR_ANY), nBindPort);
    if (sBindAddress != "*" && !detail::parseNumericAddress(sBindAddress, nBindPort, &address)) {
        // Not an address: inet_addr's all-ones value, which no interface has.
        address = detail::ipv4Address(::inet_addr(sBindAddress.c_str()), nBindPort);
    }
    // Non-blocking: readiness comes from the gate's poll, and a client or datagram that went
    // away between the wake-up and the read must not leave the wait stuck where close no
    // longer reaches it.
    int nFd = detail::posix::socket(address.family(), nType | SOCK_NONBLOCK);
    if (nFd < 0) {
        failOpening(pszCreateFailed);
    }
    cell.get()->fd = nFd;
    if (address.family() == AF_INET6) {
        int nBoth = 0;
        ::setsockopt(nFd, IPPROTO_IPV6, IPV6_V6ONLY, &nBoth, sizeof nBoth);
    }
    if (::bind(nFd, address.get(), address.nLength) != 0) {
        failOpening(pszBindFailed);
    }
    socklen_t* pnLength = 0;
    sockaddr* pBound = address.clearedFor(&pnLength);
    if (::getsockname(nFd, pBound, pnLength) != 0) {
        failOpening(pszNameFailed);
    }
    if (pszListenFailed && ::listen(nFd, m_nBacklog) != 0) {
        failOpening(pszListenFailed);
    }
    if (nType == SOCK_DGRAM) {
        askForReceiveBuffer(nFd);
    }
    MIREL_LOG(5) << pszLogHead << detail::hostForPort(detail::addressText(address))
                 << " Port: " << static_cast<unsigned int>(nBindPort) << endrecord;
    m_pGate->publish(m_pSocketImpl, cell.release());
    m_bInitialized = true;
    // A close that ran between publish and the line above must not leave the flag set.
    if (!m_pGate->isOpen(m_pSocketImpl)) {
        m_bInitialized = false;
    }
}

bool MirelServerSocket::isInitialized() const {
    return m_bInitialized;
}

void MirelServerSocket::waitForInit() {
    while (!m_bInitialized && !m_pGate->isShut()) {
        std::this_thread::sleep_for(std::chrono::microseconds(1000));
    }
}

MirelSmartPointer<MirelConnection> MirelServerSocket::waitForClientImpl(
    bool bIdentify, MirelString& sExceptionMessage, int& nErrorCode) {
    AcceptSteps steps([this] { init(); }, this, m_nPort);
    return m_pGate->serve(m_pSocketImpl, steps, bIdentify, sExceptionMessage, nErrorCode);
}

void MirelServerSocket::close() {
    if (m_pGate->close(m_pSocketImpl) != detail::ServerGate::WAS_CLOSED) {
        MIREL_LOG(9) << "MirelServerSocket::close: closing socket " << m_nPort << endrecord;
    }
    m_bInitialized = false;
}

}  // namespace MirelNet
