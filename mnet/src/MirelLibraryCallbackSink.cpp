#include "MirelLibraryCallbackSink.hpp"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <thread>
#include <vector>

#include "MirelLogging.hpp"
#include "MirelPipeServer.hpp"
#include "MirelServerSocket.hpp"
#include "MirelUDPServerSocket.hpp"
#include "internal/Backoff.hpp"
#include "internal/CallbackDelivery.hpp"
#include "internal/HostLookup.hpp"

namespace MirelNet {

using MirelSupport::endrecord;

namespace {

const short kFirstPort = 5023;
const short kLastPort = 32767;
const unsigned int kUdpBufferSize = 16777215u;
// Senders connect in bursts while the sink serves one at a time: a short listen queue makes
// the system drop their connection requests, which then wait seconds for a retry.
const int kTcpBacklog = SOMAXCONN;
const int kFirstPauseMs = 4;
const int kLongestPauseMs = 1000;

MirelString pipeName() {
    char szName[32];
    std::snprintf(szName, sizeof szName, "qvintf%x", static_cast<unsigned int>(::getpid()));
    return szName;
}

MirelString decimal(int n) {
    char szText[16];
    std::snprintf(szText, sizeof szText, "%d", n);
    return szText;
}

}  // namespace

MirelLibraryCallbackSink::MirelLibraryCallbackSink(const MirelString& sModuleName)
    : MirelThread(sModuleName),
      m_bThreadStarted(false),
      m_nCallbackServerPort(kFirstPort),
      m_pNetServer(0),
      m_bStopping(false),
      m_bReady(false),
      m_bStartFailed(false),
      m_nStartFailureCode(0) {
    MIREL_LOG(9) << "MirelLibraryCallbackSink::MirelLibraryCallbackSink: moduleName="
                 << "|" << sModuleName << "|" << endrecord;
    if (!start()) {
        throw MirelException(
            MirelString("MirelLibraryCallbackSink::MirelLibraryCallbackSink: cannot start thread."),
            EAGAIN);
    }
    waitForServerPort();
}

MirelLibraryCallbackSink::~MirelLibraryCallbackSink() {
    m_bStopping = true;
    m_stopEvent.set();
    // Shut down, not closed: a wait that starts after a close would open the server again.
    if (m_spCallbackServer) {
        MIREL_LOG(9) << "MirelLibraryCallbackSink::~MirelLibraryCallbackSink: closing socket"
                     << endrecord;
        MirelIPCServer* pServer = m_spCallbackServer;
        if (MirelPipeServer* pPipeServer = dynamic_cast<MirelPipeServer*>(pServer)) {
            pPipeServer->shutDown();
        } else if (MirelServerSocket* pNetServer = dynamic_cast<MirelServerSocket*>(pServer)) {
            pNetServer->shutDown();
        }
    }
    wait(-1);
}

short MirelLibraryCallbackSink::getCallbackSocket() const {
    return m_nCallbackServerPort.load();
}

MirelCallbackContainer& MirelLibraryCallbackSink::getCallbackContainer() {
    return m_callbackContainer;
}

MirelString MirelLibraryCallbackSink::getCallbackAddress() {
    std::lock_guard<std::mutex> guard(m_nameLock);
    return m_sCallbackName;
}

void MirelLibraryCallbackSink::setCallbackName(const MirelString& sName) {
    std::lock_guard<std::mutex> guard(m_nameLock);
    m_sCallbackName = sName;
}

bool MirelLibraryCallbackSink::isServerReady() const {
    return m_pNetServer == 0 || m_pNetServer->isInitialized();
}

void MirelLibraryCallbackSink::waitForServerPort() {
    for (;;) {
        if (m_bStartFailed) {
            wait(-1);
            throw MirelException(m_sStartFailure, m_nStartFailureCode);
        }
        if (m_bThreadStarted && isServerReady()) {
            break;
        }
        if (!isRunning()) {
            // The thread ended without a word (it cannot, but never wait for ever on it).
            wait(-1);
            throw MirelException(
                MirelString("MirelLibraryCallbackSink::waitForServerPort: sink thread ended."), 0);
        }
        std::this_thread::sleep_for(std::chrono::microseconds(1000));
    }
    m_bReady = true;
    if (m_spCallbackServer) {
        m_spCallbackServer->waitForInit();
    }
}

void MirelLibraryCallbackSink::reportStartFailure(const MirelString& sText, int nCode) {
    m_sStartFailure = sText;
    m_nStartFailureCode = nCode;
    m_bStartFailed = true;
}

void MirelLibraryCallbackSink::getMyIpAddr() {
    MirelString sHostName;
    if (!detail::lookupByName("localhost", &sHostName, 0)) {
        return;
    }
    std::vector<uint32_t> addresses;
    if (!detail::lookupByName(sHostName, 0, &addresses) || addresses.empty()) {
        return;
    }
    const unsigned char* pBytes = reinterpret_cast<const unsigned char*>(&addresses[0]);
    char szAddress[32];
    std::snprintf(szAddress, sizeof szAddress, "%u.%u.%u.%u", pBytes[0], pBytes[1], pBytes[2],
                  pBytes[3]);
    m_sIpAddr = szAddress;
    MIREL_LOG(9) << "MirelLibraryCallbackSink::getMyIpAddr: address is "
                 << "'" << m_sIpAddr << "'" << endrecord;
}

void MirelLibraryCallbackSink::establishDefaultCallbackServer() {
    MirelString sName = pipeName();
    m_sCallbackType = "pipe";
    MIREL_LOG(9)
        << "MirelLibraryCallbackSink::establishCallbackServer: creating default (pipe) server '"
        << sName << "'" << endrecord;
    m_spCallbackServer = new MirelPipeServer(sName);
    setCallbackName("pipe:" + sName);
}

void MirelLibraryCallbackSink::establishCallbackServer() {
    const char* pszType = std::getenv("QVINTF_CALLB_CONN_TYPE");
    if (pszType == 0) {
        establishDefaultCallbackServer();
    } else {
        m_sCallbackType = pszType;
        int nPort = m_nCallbackServerPort.load();
        if (m_sCallbackType == "udp") {
            MIREL_LOG(9) << "MirelLibraryCallbackSink::establishCallbackServer: creating udp "
                            "server on socket "
                         << nPort << endrecord;
            getMyIpAddr();
            MirelUDPServerSocket* pServer =
                new MirelUDPServerSocket(nPort, m_sIpAddr, kUdpBufferSize);
            m_spCallbackServer = pServer;
            m_pNetServer = pServer;
            setCallbackName(m_sCallbackType + ":" + m_sIpAddr + ":" + decimal(nPort));
        } else if (m_sCallbackType == "pipe") {
            MirelString sName = pipeName();
            MIREL_LOG(9)
                << "MirelLibraryCallbackSink::establishCallbackServer: creating pipe server '"
                << sName << "'" << endrecord;
            m_spCallbackServer = new MirelPipeServer(sName);
            setCallbackName(m_sCallbackType + ":" + sName);
        } else if (m_sCallbackType == "socket") {
            MIREL_LOG(9) << "MirelLibraryCallbackSink::establishCallbackServer: creating tcp "
                            "server on socket "
                         << nPort << endrecord;
            getMyIpAddr();
            MirelServerSocket* pServer = new MirelServerSocket(nPort, kTcpBacklog, m_sIpAddr);
            m_spCallbackServer = pServer;
            m_pNetServer = pServer;
            setCallbackName(m_sCallbackType + ":" + m_sIpAddr + ":" + decimal(nPort));
        } else {
            MIREL_LOG(9) << "MirelLibraryCallbackSink::establishCallbackServer: unknown callback "
                            "server type, creating "
                            "default"
                         << endrecord;
            establishDefaultCallbackServer();
        }
    }
    m_bThreadStarted = true;
}

bool MirelLibraryCallbackSink::tryNextPort() {
    if ((m_sCallbackType != "udp" && m_sCallbackType != "socket") || m_pNetServer == 0) {
        return false;
    }
    short nPort = m_nCallbackServerPort.load();
    if (nPort >= kLastPort) {
        MIREL_LOG(1) << "MirelLibraryCallbackSink::tryNextPort: no port left after " << nPort
                     << endrecord;
        return false;
    }
    ++nPort;
    m_pNetServer->setPort(nPort);
    m_nCallbackServerPort = nPort;
    setCallbackName(m_sCallbackType + ":" + m_sIpAddr + ":" + decimal(nPort));
    MIREL_LOG(9) << "MirelLibraryCallbackSink::tryNextPort: retrying " << m_sCallbackType
                 << " server on socket " << nPort << endrecord;
    return true;
}

int MirelLibraryCallbackSink::run() {
    MIREL_LOG(9) << "MirelLibraryCallbackSink::run: enter" << endrecord;
    int rc = 0;
    try {
        establishCallbackServer();
    } catch (const MirelException& e) {
        reportStartFailure(e.getText(), e.getCode());
        MIREL_LOG(9) << "MirelLibraryCallbackSink::run: exiting rc=" << e.getCode() << endrecord;
        return e.getCode();
    } catch (const std::exception& e) {
        reportStartFailure(MirelString("MirelLibraryCallbackSink::run: ") + e.what(), 0);
        return 0;
    }

    // Doubles from a few milliseconds up to a second while the same trouble repeats.
    detail::Backoff pause(kFirstPauseMs, kLongestPauseMs);
    bool bExit = false;
    while (!bExit && !m_bStopping) {
        MirelString sAddress = getCallbackAddress();
        MIREL_LOG(9) << "MirelLibraryCallbackSink::run: waiting for data : " << sAddress
                     << endrecord;
        MirelSmartPointer<MirelConnection> spClient;
        try {
            spClient = m_spCallbackServer->waitForClient(false);
        } catch (const MirelException& e) {
            int nCode = e.getCode();
            if (m_bStopping) {
                break;
            }
            if (nCode == EADDRINUSE) {
                if (tryNextPort()) {
                    MIREL_LOG(9) << "MirelLibraryCallbackSink::run: exception=" << nCode
                                 << " trying next port=" << m_nCallbackServerPort.load()
                                 << endrecord;
                    continue;
                }
                MIREL_LOG(9) << "MirelLibraryCallbackSink::run: exception=" << nCode
                             << " cannot establish connection, exiting" << endrecord;
                bExit = true;
            } else if (nCode == ECONNRESET || nCode == EINTR) {
                MIREL_LOG(9) << "MirelLibraryCallbackSink::run: exception=" << nCode
                             << " connection closed, exiting" << endrecord;
                bExit = true;
            } else {
                rc = nCode;
            }
            if (!m_bReady) {
                // The first opening failed: the constructor reports it instead of waiting.
                reportStartFailure(e.getText(), nCode);
                break;
            }
            if (!bExit) {
                MIREL_LOG(1) << "MirelLibraryCallbackSink::run: " << e.getText() << " (code "
                             << nCode << "), retrying" << endrecord;
                m_stopEvent.wait(pause.next());
            }
            continue;
        }
        if (!spClient) {
            if (m_bStopping) {
                MIREL_LOG(9) << "MirelLibraryCallbackSink::run: NULL returned from waitForClient : "
                             << sAddress << ", exiting" << endrecord;
                break;
            }
            // Not a stop: an empty datagram, say. One of them must not silence the sink.
            MIREL_LOG(9) << "MirelLibraryCallbackSink::run: NULL returned from waitForClient : "
                         << sAddress << ", waiting again" << endrecord;
            if (pause.current() > 0) {
                m_stopEvent.wait(pause.current());
            }
            pause.next();
            continue;
        }
        pause.reset();
        MIREL_LOG(9) << "MirelLibraryCallbackSink::run: received data : " << sAddress << endrecord;
        detail::deliverCallbackMessage(m_callbackContainer, spClient);
    }
    MIREL_LOG(9) << "MirelLibraryCallbackSink::run: exiting rc=" << rc << endrecord;
    return rc;
}

}  // namespace MirelNet
