#include "MirelLibraryCallbackSink.hpp"

#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <list>
#include <thread>
#include <vector>

#include "MirelLogging.hpp"
#include "MirelPipeConnection.hpp"
#include "MirelPipeServer.hpp"
#include "MirelServerSocket.hpp"
#include "MirelSocketConnection.hpp"
#include "MirelUDPServerSocket.hpp"
#include "internal/Backoff.hpp"
#include "internal/CallbackDelivery.hpp"
#include "internal/CallerWait.hpp"
#include "internal/HostLookup.hpp"
#include "internal/SenderPolicy.hpp"
#include "internal/StreamIo.hpp"

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

// The limits on senders whose message is still arriving.
// One deadline per connection, from its accept: a trickle cannot stretch it.
const std::chrono::seconds kMessageDeadline(5);
// The longest message: the longest string a callback may read, and room for values around it.
const std::size_t kLongestMessage = MirelConnection::MAX_STRING_LENGTH + 65536;
// All bytes of the messages still arriving, together.
const std::size_t kPendingBudget = 64u * 1024 * 1024;
// Connections whose message is still arriving, at most (and half the descriptor limit).
const std::size_t kMostPending = 1024;
// Bytes taken from one connection per readiness, so that one fast sender does not hold up the
// others.
const std::size_t kTakeAtOnce = 1024 * 1024;
// A new connection is watched for its end alone at first: a sender writes its message and
// closes at once, so one wake-up and one receive take it whole. After this long the sink
// reads as bytes arrive, so that a message larger than the socket's buffer can flow.
const std::chrono::milliseconds kEndFirstFor(10);

// Records of dropped senders and failed messages: at most this many per window, then one
// record that counts the rest.
const int kRecordsPerWindow = 20;
const std::chrono::seconds kRecordWindow(10);

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

// Half the descriptors the process may open, so that a siege leaves the rest of the process
// its own; never more than kMostPending.
std::size_t mostPending() {
    rlimit limit;
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
        return kMostPending;
    }
    std::size_t nHalf = static_cast<std::size_t>(limit.rlim_cur / 2);
    return std::max<std::size_t>(16, std::min(kMostPending, nHalf));
}

// Paces the level-1 records about single senders, so that a flood cannot fill the log.
class RecordPacer {
public:
    RecordPacer() : m_nWritten(0), m_nHeld(0), m_start(std::chrono::steady_clock::now()) {}
    ~RecordPacer() { flush(); }

    // True when the next record may be written.
    bool allow() {
        std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now();
        if (now - m_start >= kRecordWindow) {
            flush();
            m_start = now;
            m_nWritten = 0;
        }
        if (m_nWritten < kRecordsPerWindow) {
            ++m_nWritten;
            return true;
        }
        ++m_nHeld;
        return false;
    }

private:
    void flush() {
        if (m_nHeld > 0) {
            MIREL_LOG(1) << "MirelLibraryCallbackSink::run: " << m_nHeld
                         << " more records of dropped senders and failed messages not written"
                         << endrecord;
        }
        m_nHeld = 0;
    }

    int m_nWritten;
    long m_nHeld;
    std::chrono::steady_clock::time_point m_start;
};

// The read buffer of a pipe or TCP connection; null for any other kind.
detail::StreamCell* streamCellOf(MirelConnection& connection) {
    void* pCell = 0;
    if (MirelSocketConnection* pSocket = dynamic_cast<MirelSocketConnection*>(&connection)) {
        pCell = pSocket->getSocket();
    } else if (MirelPipeConnection* pPipe = dynamic_cast<MirelPipeConnection*>(&connection)) {
        pCell = pPipe->getPipeHandle();
    }
    return static_cast<detail::StreamCell*>(pCell);
}

// A stream connection whose message is still arriving.
struct Pending {
    MirelSmartPointer<MirelConnection> spConnection;
    detail::StreamCell* pCell;  // owned by the connection
    std::chrono::steady_clock::time_point deadline;
    std::chrono::steady_clock::time_point readFrom;  // watched for its end alone until then
    bool bAtDeadline;  // delivered because its deadline passed, not because it ended
};

// The sink thread's senders: every stream connection whose message is still arriving is read
// without blocking as its bytes come, and its message delivered once its sender has closed the
// connection or its deadline has passed; datagrams are delivered as they come. Lives on the
// sink thread only, for one run; its end closes every connection it still holds.
class Inbox {
public:
    Inbox(MirelCallbackContainer& container, const std::atomic<bool>& bStopping,
          const detail::SenderPolicy& policy)
        : m_container(container),
          m_bStopping(bStopping),
          m_policy(policy),
          m_nMostPending(mostPending()),
          m_nBytes(0) {}

    // Before each wait: the connections to watch and the earliest deadline.
    void prepare(detail::CallerWait& wait);
    // After each wait: takes what the wait found arrived, then delivers, in the order they
    // end, the messages that have ended or reached their deadline.
    void serve(const detail::CallerWait& wait, const MirelString& sAddress);
    // A connection the server handed out: a datagram is delivered at once, a stream
    // connection waits here for the rest of its message.
    void take(MirelSmartPointer<MirelConnection>& spClient, const MirelString& sAddress);
    // Milliseconds until the earliest deadline; -1 when nothing is pending.
    int msToDeadline() const;
    // The wait of a UDP sink ended without a datagram to deliver and without a stop: an empty
    // datagram (or a receive that failed), skipped at once.
    void skipped() {
        if (m_pacer.allow()) {
            MIREL_LOG(1) << "MirelLibraryCallbackSink::run: skipped an empty datagram or a "
                            "failed receive"
                         << endrecord;
        }
    }

private:
    typedef std::list<Pending> List;

    void readArrived(List::iterator entry, short nEvents, List& ended);
    void keepToBudget();
    void drop(List::iterator entry, const char* pszWhy);
    void deliver(MirelSmartPointer<MirelConnection>& spClient, const MirelString& sAddress);

    MirelCallbackContainer& m_container;
    const std::atomic<bool>& m_bStopping;
    const detail::SenderPolicy& m_policy;  // who may deliver; checked as a sender is taken
    const std::size_t m_nMostPending;
    RecordPacer m_pacer;
    List m_pending;                        // in the order of accept, so of deadline
    std::vector<List::iterator> m_polled;  // entry of each descriptor of the last wait
    std::size_t m_nBytes;                  // buffered by all pending connections together
};

void Inbox::prepare(detail::CallerWait& wait) {
    wait.clear();
    m_polled.clear();
    std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now();
    for (List::iterator entry = m_pending.begin(); entry != m_pending.end(); ++entry) {
        bool bData = entry->readFrom <= now;
        wait.add(entry->pCell->fd, bData);
        if (!bData) {
            wait.endBy(entry->readFrom);
        }
        m_polled.push_back(entry);
    }
    if (!m_pending.empty()) {
        wait.endBy(m_pending.front().deadline);
    }
}

int Inbox::msToDeadline() const {
    if (m_pending.empty()) {
        return -1;
    }
    long long nMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                        m_pending.front().deadline - std::chrono::steady_clock::now())
                        .count();
    return nMs > 0 ? static_cast<int>(std::min<long long>(nMs, kLongestPauseMs)) : 0;
}

void Inbox::serve(const detail::CallerWait& wait, const MirelString& sAddress) {
    List ended;
    for (std::size_t i = 0; i < m_polled.size(); ++i) {
        if (short nEvents = wait.revents(i)) {
            readArrived(m_polled[i], nEvents, ended);
        }
    }
    m_polled.clear();
    keepToBudget();
    // A sender that has not closed by its deadline gets what it sent delivered, if that holds
    // a handle at least; a sender that keeps its connection open for an answer gets none.
    std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now();
    while (!m_pending.empty() && m_pending.front().deadline <= now) {
        List::iterator entry = m_pending.begin();
        if (entry->pCell->buffered() < 4) {
            drop(entry, "no whole handle by the deadline");
            continue;
        }
        MIREL_LOG(9) << "MirelLibraryCallbackSink::run: sender still open at its deadline, "
                        "delivering what it sent"
                     << endrecord;
        entry->bAtDeadline = true;
        m_nBytes -= entry->pCell->buffered();
        ended.splice(ended.end(), m_pending, entry);
    }
    for (Pending& message : ended) {
        if (m_bStopping) {
            break;
        }
        message.pCell->bComplete = true;
        deliver(message.spConnection, sAddress);
        // Its sender is told the message is over; a callback that keeps the connection still
        // reads the bytes received. (Without a callback's reference the release closes it.)
        if (message.bAtDeadline && message.spConnection->refCount() > 1) {
            detail::shutdownStream(streamCellOf(*message.spConnection));
        }
    }
}

void Inbox::readArrived(List::iterator entry, short nEvents, List& ended) {
    std::size_t nHave = entry->pCell->buffered();
    std::size_t nLimit = std::min(kTakeAtOnce, kLongestMessage + 1 - nHave);
    detail::Arrival arrival =
        detail::takeArrived(entry->pCell, nLimit, (nEvents & (POLLRDHUP | POLLHUP)) != 0);
    m_nBytes += arrival.nTaken;
    if (entry->pCell->buffered() > kLongestMessage) {
        drop(entry, "message longer than the limit");
        return;
    }
    if (arrival.bEnded) {
        m_nBytes -= entry->pCell->buffered();
        ended.splice(ended.end(), m_pending, entry);
    }
}

// Past the budget, the largest message still arriving goes: the one that holds most of it.
void Inbox::keepToBudget() {
    while (m_nBytes > kPendingBudget && !m_pending.empty()) {
        List::iterator largest = m_pending.begin();
        for (List::iterator entry = m_pending.begin(); entry != m_pending.end(); ++entry) {
            if (entry->pCell->buffered() > largest->pCell->buffered()) {
                largest = entry;
            }
        }
        drop(largest, "pending messages beyond the budget");
    }
}

void Inbox::drop(List::iterator entry, const char* pszWhy) {
    std::size_t nBytes = entry->pCell->buffered();
    m_nBytes -= nBytes;
    if (m_pacer.allow()) {
        MIREL_LOG(1) << "MirelLibraryCallbackSink::run: dropped a sender (" << pszWhy << ", "
                     << static_cast<unsigned long>(nBytes) << " bytes received)" << endrecord;
    }
    m_pending.erase(entry);  // the last reference: the connection closes
}

void Inbox::take(MirelSmartPointer<MirelConnection>& spClient, const MirelString& sAddress) {
    // The sender policy, before anything is read: a refused sender's connection is closed.
    MirelString sWho;
    if (!m_policy.admits(*spClient, &sWho)) {
        if (m_pacer.allow()) {
            MIREL_LOG(1) << "MirelLibraryCallbackSink::run: refused a sender (" << sWho
                         << ") that the sender policy does not allow" << endrecord;
        }
        spClient->disconnect();
        return;
    }
    detail::StreamCell* pCell = streamCellOf(*spClient);
    if (pCell == 0) {
        deliver(spClient, sAddress);
        return;
    }
    if (m_pending.size() >= m_nMostPending) {
        drop(m_pending.begin(), "oldest of too many pending connections");
    }
    Pending entry;
    entry.spConnection = spClient;
    entry.pCell = pCell;
    std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now();
    entry.deadline = now + kMessageDeadline;
    entry.readFrom = now + kEndFirstFor;
    entry.bAtDeadline = false;
    m_pending.push_back(entry);
}

void Inbox::deliver(MirelSmartPointer<MirelConnection>& spClient, const MirelString& sAddress) {
    MIREL_LOG(9) << "MirelLibraryCallbackSink::run: received data : " << sAddress << endrecord;
    MirelString sFailure;
    if (detail::deliverCallbackMessage(m_container, spClient, &sFailure) == detail::FAILED &&
        m_pacer.allow()) {
        MIREL_LOG(1) << "MirelLibraryCallbackSink::run: notification failed: " << sFailure
                     << endrecord;
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
    MIREL_LOG(9) << "MirelLibraryCallbackSink::run: enter" << endrecord;
    int rc = 0;
    // Read while the constructor waits, as the sink is made.
    const detail::SenderPolicy policy = detail::SenderPolicy::forSink();
    if (!setUpServer(rc)) {
        return rc;
    }

    // What the loop serves besides its server: the connections whose message is still
    // arriving, watched by the server's own wait.
    if (m_sCallbackType == "socket" || m_sCallbackType == "udp") {
        MIREL_LOG(5) << "MirelLibraryCallbackSink::run: a " << m_sCallbackType
                     << " sink cannot name its senders: any local user, and any host that "
                        "reaches its address, may deliver to it; a pipe sink names them and "
                        "applies its sender policy"
                     << endrecord;
    }
    Inbox inbox(m_callbackContainer, m_bStopping, policy);
    detail::CallerWait callerWait;
    // Doubles from a few milliseconds up to a second while the server's own trouble repeats.
    detail::Backoff pause(kFirstPauseMs, kLongestPauseMs);
    int nPauseMs = 0;
    while (!m_bStopping) {
        MirelString sAddress = getCallbackAddress();
        MIREL_LOG(9) << "MirelLibraryCallbackSink::run: waiting for data : " << sAddress
                     << endrecord;
        inbox.prepare(callerWait);
        MirelSmartPointer<MirelConnection> spClient;
        bool bWaited = true;
        try {
            detail::CallerWait::Scope scope(callerWait);
            spClient = m_spCallbackServer->waitForClient(false);
        } catch (const MirelException& e) {
            bWaited = false;
            bool bPause = false;
            if (m_bStopping || !recoverFromWaitFailure(e, rc, bPause)) {
                break;
            }
            nPauseMs = bPause ? pause.next() : (pause.reset(), 0);
        }
        if (m_bStopping) {
            if (!spClient) {
                MIREL_LOG(9) << "MirelLibraryCallbackSink::run: NULL returned from waitForClient : "
                             << sAddress << ", exiting" << endrecord;
            }
            break;
        }
        // Also after a failed wait: its poll may have found senders ready or deadlines passed.
        inbox.serve(callerWait, sAddress);
        if (!bWaited) {
            m_stopEvent.wait(inbox.msToDeadline() < 0 ? nPauseMs
                                                      : std::min(nPauseMs, inbox.msToDeadline()));
            continue;
        }
        pause.reset();
        if (spClient) {
            inbox.take(spClient, sAddress);
        } else if (!callerWait.ended()) {
            // Not a stop and not one of the pending senders: an empty datagram, say, which is
            // skipped at once.
            MIREL_LOG(9) << "MirelLibraryCallbackSink::run: NULL returned from waitForClient : "
                         << sAddress << ", waiting again" << endrecord;
            if (m_sCallbackType == "udp") {
                inbox.skipped();
            }
        }
    }
    MIREL_LOG(9) << "MirelLibraryCallbackSink::run: exiting rc=" << rc << endrecord;
    return rc;
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
