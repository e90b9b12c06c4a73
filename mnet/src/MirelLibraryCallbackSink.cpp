#include "MirelLibraryCallbackSink.hpp"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <thread>
#include <vector>

#include "MirelLogging.hpp"
#include "MirelPipeServer.hpp"
#include "MirelReleaseHold.hpp"
#include "MirelServerSocket.hpp"
#include "MirelUDPServerSocket.hpp"
#include "internal/Backoff.hpp"
#include "internal/CallerWait.hpp"
#include "internal/HostLookup.hpp"
#include "internal/Inbox.hpp"
#include "internal/Posix.hpp"
#include "internal/SenderPolicy.hpp"

namespace MirelNet {

using MirelSupport::endrecord;

namespace {

const short kFirstPort = 5023;
const short kLastPort = 32767;
const unsigned int kUdpBufferSize = 16777215u;
// Senders connect in bursts: a short listen queue makes the system drop their connection
// requests, which then wait seconds for a retry.
const int kTcpBacklog = SOMAXCONN;
const int kFirstPauseMs = 4;
const int kLongestPauseMs = 1000;

const char* const kSetUpHead = "MirelLibraryCallbackSink::establishCallbackServer: ";
const char* const kRunHead = "MirelLibraryCallbackSink::run: ";

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

// The servers a sink can run, by the value of QVINTF_CALLB_CONN_TYPE.
enum ServerKind { PIPE_SERVER, TCP_SERVER, UDP_SERVER };
struct ServerChoice {
    const char* pszType;
    ServerKind kind;
    const char* pszRecord;  // the set-up record, before the pipe name or the port
};
const ServerChoice kServerChoices[] = {
    {"udp", UDP_SERVER, "creating udp server on socket "},
    {"pipe", PIPE_SERVER, "creating pipe server '"},
    {"socket", TCP_SERVER, "creating tcp server on socket "},
};
// Without the variable, or with a value not above: a pipe.
const ServerChoice kDefaultChoice = {"pipe", PIPE_SERVER, "creating default (pipe) server '"};

// The address MIREL_SINK_ADDRESS gives a TCP or UDP sink to bind and publish: an IPv4 or IPv6
// address (brackets optional), without its brackets in *psAddress. False without the variable
// or with a bad value, which is reported once (level 1): the host's own address is used then.
bool configuredAddress(MirelString* psAddress) {
    static std::atomic<bool> s_bReported(false);
    const char* pszValue = std::getenv("MIREL_SINK_ADDRESS");
    if (pszValue == 0) {
        return false;
    }
    detail::SocketAddress address;
    if (detail::parseNumericAddress(pszValue, 0, &address)) {
        *psAddress = detail::addressText(address);
        return true;
    }
    if (!s_bReported.exchange(true)) {
        MIREL_LOG(1) << kSetUpHead << "MIREL_SINK_ADDRESS=\"" << pszValue
                     << "\" is not an IPv4 or IPv6 address, using the host's own" << endrecord;
    }
    return false;
}

const ServerChoice& chooseServer(const char* pszType) {
    if (pszType == 0) {
        return kDefaultChoice;
    }
    for (const ServerChoice& choice : kServerChoices) {
        if (std::strcmp(choice.pszType, pszType) == 0) {
            return choice;
        }
    }
    MIREL_LOG(9) << kSetUpHead << "unknown callback server type, creating default" << endrecord;
    return kDefaultChoice;
}

// What a wait handed out: a sender for the inbox, or nothing (an empty datagram, say).
void takeClient(detail::Inbox& inbox, MirelSmartPointer<MirelConnection>& spClient,
                bool bPendingEnded, bool bDatagrams, const MirelString& sAddress) {
    if (spClient) {
        inbox.take(spClient, sAddress);
    } else if (!bPendingEnded) {
        // Not a stop and not one of the pending senders: an empty datagram, say, which is
        // skipped at once.
        MIREL_LOG(9) << kRunHead << "NULL returned from waitForClient : " << sAddress
                     << ", waiting again" << endrecord;
        if (bDatagrams) {
            inbox.skipped();
        }
    }
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
            // It may have reported its failure just after the test above. Without a word (it
            // cannot end so, but never wait for ever on it) the failure is that it ended.
            wait(-1);
            if (m_bStartFailed) {
                throw MirelException(m_sStartFailure, m_nStartFailureCode);
            }
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
    createServer(kDefaultChoice.kind, kDefaultChoice.pszType, kDefaultChoice.pszRecord);
}

void MirelLibraryCallbackSink::establishCallbackServer() {
    const ServerChoice& choice = chooseServer(std::getenv("QVINTF_CALLB_CONN_TYPE"));
    createServer(choice.kind, choice.pszType, choice.pszRecord);
    m_bThreadStarted = true;
}

void MirelLibraryCallbackSink::createServer(int nKind, const char* pszType, const char* pszRecord) {
    m_sCallbackType = pszType;
    if (nKind == PIPE_SERVER) {
        MirelString sName = pipeName();
        MIREL_LOG(9) << kSetUpHead << pszRecord << sName << "'" << endrecord;
        m_spCallbackServer = new MirelPipeServer(sName);
        setCallbackName(m_sCallbackType + ":" + sName);
        return;
    }
    int nPort = m_nCallbackServerPort.load();
    MIREL_LOG(9) << kSetUpHead << pszRecord << nPort << endrecord;
    if (!configuredAddress(&m_sIpAddr)) {
        getMyIpAddr();
    }
    MirelServerSocket* pServer = nKind == UDP_SERVER
                                     ? new MirelUDPServerSocket(nPort, m_sIpAddr, kUdpBufferSize)
                                     : new MirelServerSocket(nPort, kTcpBacklog, m_sIpAddr);
    m_spCallbackServer = pServer;
    m_pNetServer = pServer;
    setCallbackName(m_sCallbackType + ":" + detail::hostForPort(m_sIpAddr) + ":" + decimal(nPort));
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
    setCallbackName(m_sCallbackType + ":" + detail::hostForPort(m_sIpAddr) + ":" + decimal(nPort));
    MIREL_LOG(9) << "MirelLibraryCallbackSink::tryNextPort: retrying " << m_sCallbackType
                 << " server on socket " << nPort << endrecord;
    return true;
}

bool MirelLibraryCallbackSink::setUpServer(int& rc) {
    try {
        establishCallbackServer();
        return true;
    } catch (const MirelException& e) {
        reportStartFailure(e.getText(), e.getCode());
        MIREL_LOG(9) << "MirelLibraryCallbackSink::run: exiting rc=" << e.getCode() << endrecord;
        rc = e.getCode();
    } catch (const std::exception& e) {
        reportStartFailure(MirelString("MirelLibraryCallbackSink::run: ") + e.what(), 0);
        rc = 0;
    }
    return false;
}

int MirelLibraryCallbackSink::run() {
    MIREL_LOG(9) << kRunHead << "enter" << endrecord;
    int rc = 0;
    // Read before the server opens, while the constructor still waits.
    const detail::SenderPolicy policy = detail::SenderPolicy::forSink();
    if (!setUpServer(rc)) {
        return rc;
    }
    if (m_sCallbackType == "socket" || m_sCallbackType == "udp") {
        MIREL_LOG(5) << kRunHead << "a " << m_sCallbackType
                     << " sink cannot name its senders: any local user, and any host that "
                        "reaches its address, may deliver to it; a pipe sink names them and "
                        "applies its sender policy"
                     << endrecord;
    }
    bool bReleased = serveSenders(rc, &policy);
    MIREL_LOG(9) << kRunHead << "exiting rc=" << rc << endrecord;
    if (bReleased) {
        // The last reference went inside a callback. The destructor joins this thread, so it
        // runs on a thread of its own, which waits for this one to end.
        MirelObjectBase* pSelf = this;
        try {
            std::thread([pSelf] { delete pSelf; }).detach();
        } catch (const std::exception& e) {
            MIREL_LOG(1) << kRunHead
                         << "released inside a callback, cannot be destroyed: " << e.what()
                         << endrecord;
        }
    }
    return rc;
}

bool MirelLibraryCallbackSink::serveSenders(int& rc, const void* pPolicy) {
    bool bReleased = false;
    // The hold of the delivery in progress: once a callback has let the sink go, no further
    // message of that pass is delivered.
    const MirelSupport::MirelReleaseHold* pHold = 0;
    // What the loop serves besides its server: the senders whose message is still arriving,
    // watched by the server's own wait.
    detail::Inbox inbox(
        m_callbackContainer, [this, &pHold] { return m_bStopping || (pHold && pHold->released()); },
        static_cast<const detail::SenderPolicy*>(pPolicy));
    detail::CallerWait callerWait;
    // Doubles from a few milliseconds up to a second while the server's own trouble repeats.
    detail::Backoff pause(kFirstPauseMs, kLongestPauseMs);
    while (!m_bStopping && !bReleased) {
        MirelString sAddress = getCallbackAddress();
        MIREL_LOG(9) << kRunHead << "waiting for data : " << sAddress << endrecord;
        inbox.prepare(callerWait);
        MirelSmartPointer<MirelConnection> spClient;
        int nPauseMs = -1;
        try {
            spClient = detail::waitForClientWatching(*m_spCallbackServer, callerWait);
        } catch (const MirelException& e) {
            bool bPause = false;
            if (m_bStopping || !recoverFromWaitFailure(e, rc, bPause)) {
                break;
            }
            nPauseMs = bPause ? pause.next() : (pause.reset(), 0);
        }
        if (m_bStopping) {
            if (!spClient) {
                MIREL_LOG(9) << kRunHead << "NULL returned from waitForClient : " << sAddress
                             << ", exiting" << endrecord;
            }
            break;
        }
        {
            // A callback may release the sink's last reference: it stays alive until this
            // thread is out of the delivery.
            MirelSupport::MirelReleaseHold hold(*this);
            pHold = &hold;
            // Also after a failed wait: its poll may have found senders ready or deadlines
            // passed.
            inbox.serve(callerWait, sAddress);
            if (nPauseMs < 0) {
                takeClient(inbox, spClient, callerWait.ended(), m_sCallbackType == "udp", sAddress);
            }
            bReleased = hold.released();
            pHold = 0;
        }
        if (nPauseMs >= 0 && !bReleased) {
            m_stopEvent.wait(inbox.msToDeadline(nPauseMs) < 0 ? nPauseMs
                                                              : inbox.msToDeadline(nPauseMs));
        } else if (nPauseMs < 0) {
            pause.reset();
        }
    }
    return bReleased;
}

bool MirelLibraryCallbackSink::recoverFromWaitFailure(const MirelException& e, int& rc,
                                                      bool& bPause) {
    int nCode = e.getCode();
    bool bExit = false;
    if (nCode == EADDRINUSE) {
        if (tryNextPort()) {
            MIREL_LOG(9) << "MirelLibraryCallbackSink::run: exception=" << nCode
                         << " trying next port=" << m_nCallbackServerPort.load() << endrecord;
            bPause = false;
            return true;
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
        return false;
    }
    if (bExit) {
        return false;
    }
    // The server's own failures (opening, descriptors exhausted) are retried after a pause
    // that grows while they last.
    MIREL_LOG(1) << "MirelLibraryCallbackSink::run: " << e.getText() << " (code " << nCode
                 << "), retrying" << endrecord;
    bPause = true;
    return true;
}

}  // namespace MirelNet
