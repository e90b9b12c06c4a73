#include "internal/Inbox.hpp"

#include <poll.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <exception>

#include "MirelLogging.hpp"
#include "MirelPipeConnection.hpp"
#include "MirelSocketConnection.hpp"
#include "internal/CallerWait.hpp"
#include "internal/SenderPolicy.hpp"
#include "internal/StreamIo.hpp"

namespace MirelNet {
namespace detail {

using MirelSupport::endrecord;
using MirelSupport::MirelCriticalSection;
typedef std::chrono::steady_clock Clock;

namespace {

const char* const kRecordHead = "MirelLibraryCallbackSink::run: ";

// A new connection is watched for its end alone at first: a sender writes its message and
// closes at once, so one wake-up and one receive take it whole. After this long the inbox reads
// as bytes arrive, so that a message larger than the socket's buffers can flow.
const std::chrono::milliseconds kEndFirstFor(10);
const std::size_t kHandleSize = 4;

// Records of dropped senders and failed messages: at most this many per window, then one
// record that counts the rest.
const int kRecordsPerWindow = 20;
const std::chrono::seconds kRecordWindow(10);

rlim_t descriptorLimit() {
    rlimit limit;
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
        return 0;
    }
    return limit.rlim_cur;
}

// The read buffer of a pipe or TCP connection; null for any other kind.
StreamCell* streamCellOf(MirelConnection& connection) {
    void* pCell = 0;
    if (MirelSocketConnection* pSocket = dynamic_cast<MirelSocketConnection*>(&connection)) {
        pCell = pSocket->getSocket();
    } else if (MirelPipeConnection* pPipe = dynamic_cast<MirelPipeConnection*>(&connection)) {
        pCell = pPipe->getPipeHandle();
    }
    return static_cast<StreamCell*>(pCell);
}

}  // namespace

InboxLimits InboxLimits::standard() {
    InboxLimits limits;
    limits.deadline = std::chrono::seconds(5);
    limits.nLongestMessage = MirelConnection::MAX_STRING_LENGTH + 65536;
    limits.nBudget = 64u * 1024 * 1024;
    limits.nMostPending = 1024;
    // Half the descriptors the process may open, at most, so that a siege leaves it the rest.
    rlim_t nLimit = descriptorLimit();
    if (nLimit != 0) {
        limits.nMostPending = std::max<std::size_t>(
            16, std::min<std::size_t>(limits.nMostPending, static_cast<std::size_t>(nLimit / 2)));
    }
    return limits;
}

Inbox::Inbox(MirelCallbackContainer& container, const std::function<bool()>& fnStop,
             const SenderPolicy* pPolicy, const InboxLimits& limits)
    : m_container(container),
      m_fnStop(fnStop),
      m_pPolicy(pPolicy),
      m_limits(limits),
      m_nReserveFrom(-1),
      m_nWritten(0),
      m_nHeld(0),
      m_windowStart(Clock::now()) {
    rlim_t nLimit = descriptorLimit();
    if (nLimit != 0) {
        m_nReserveFrom = static_cast<int>(std::min<rlim_t>(nLimit - nLimit / 4, 1 << 30));
    }
}

Inbox::~Inbox() {
    flushRecords();
}

bool Inbox::allow() {
    Clock::time_point now = Clock::now();
    if (now - m_windowStart >= kRecordWindow) {
        flushRecords();
        m_windowStart = now;
        m_nWritten = 0;
    }
    if (m_nWritten < kRecordsPerWindow) {
        ++m_nWritten;
        return true;
    }
    ++m_nHeld;
    return false;
}

void Inbox::flushRecords() {
    if (m_nHeld > 0) {
        MIREL_LOG(1) << kRecordHead << m_nHeld
                     << " more records of dropped senders and failed messages not written"
                     << endrecord;
    }
    m_nHeld = 0;
}

void Inbox::prepare(CallerWait& wait) {
    wait.clear();
    m_polled.clear();
    Clock::time_point now = Clock::now();
    // Open senders are read in the order of their accept while the bytes buffered before them
    // stay below the budget; the rest are only watched for their end.
    std::size_t nBefore = 0;
    for (List::iterator entry = m_pending.begin(); entry != m_pending.end(); ++entry) {
        bool bData = entry->readFrom <= now && nBefore < m_limits.nBudget;
        nBefore += entry->pCell->buffered();
        wait.add(entry->pCell->fd, bData);
        if (entry->readFrom > now) {
            wait.endBy(entry->readFrom);
        }
        m_polled.push_back(entry);
    }
    if (!m_pending.empty()) {
        wait.endBy(m_pending.front().deadline);
    }
}

int Inbox::msToDeadline(int nCapMs) const {
    if (m_pending.empty()) {
        return -1;
    }
    long long nMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                        m_pending.front().deadline - Clock::now())
                        .count();
    return nMs > 0 ? static_cast<int>(std::min<long long>(nMs, nCapMs)) : 0;
}

void Inbox::serve(const CallerWait& wait, const MirelString& sAddress) {
    for (std::size_t i = 0; i < m_polled.size(); ++i) {
        if (short nEvents = wait.revents(i)) {
            readArrived(m_polled[i], (nEvents & (POLLRDHUP | POLLHUP | POLLERR)) != 0);
        }
    }
    m_polled.clear();
    applyDeadlines();
    deliverWhole(sAddress);
}

bool Inbox::readArrived(List::iterator entry, bool bPeerDone) {
    StreamCell* pCell = entry->pCell;
    std::size_t nHave = pCell->buffered();
    Arrival arrival = takeArrived(pCell, m_limits.nLongestMessage + 1 - nHave, bPeerDone);
    entry->bEnded = entry->bEnded || arrival.bEnded;
    if (pCell->buffered() > m_limits.nLongestMessage) {
        drop(entry, "message longer than the limit");
        return false;
    }
    return true;
}

// A sender still open at its deadline gets what it sent delivered, if that holds a handle at
// least; one that keeps its connection open for an answer gets none. One that ended just now
// is read to its end first.
void Inbox::applyDeadlines() {
    Clock::time_point now = Clock::now();
    for (List::iterator entry = m_pending.begin();
         entry != m_pending.end() && entry->deadline <= now;) {
        List::iterator next = entry;
        ++next;
        if (!entry->bEnded && !entry->bAtDeadline && readArrived(entry, false) && !entry->bEnded) {
            if (entry->pCell->buffered() < kHandleSize) {
                drop(entry, "no whole handle by the deadline");
            } else {
                MIREL_LOG(9) << kRecordHead
                             << "sender still open at its deadline, delivering what it sent"
                             << endrecord;
                entry->bAtDeadline = true;
            }
        }
        entry = next;
    }
}

void Inbox::deliverWhole(const MirelString& sAddress) {
    for (List::iterator entry = m_pending.begin(); entry != m_pending.end();) {
        if (m_fnStop()) {
            return;
        }
        if (!entry->bEnded && !entry->bAtDeadline) {
            ++entry;
            continue;
        }
        deliverOne(entry, sAddress);
        entry = m_pending.erase(entry);
    }
}

void Inbox::deliverOne(List::iterator entry, const MirelString& sAddress) {
    // Held here: a callback may release the last other reference.
    MirelSmartPointer<MirelConnection> spConnection = entry->spConnection;
    entry->pCell->bComplete = true;
    deliverMessage(spConnection, sAddress);
    // Its sender is told the message is over; a callback that keeps the connection still
    // reads the bytes received. (Without a callback's reference the release closes it.)
    if (entry->bAtDeadline && spConnection->refCount() > 2) {
        shutdownStream(entry->pCell);
    }
}

void Inbox::deliverMessage(MirelSmartPointer<MirelConnection>& spConnection,
                           const MirelString& sAddress) {
    MIREL_LOG(9) << kRecordHead << "received data : " << sAddress << endrecord;
    MirelString sFailure;
    if (deliver(spConnection, &sFailure) == FAILED && allow()) {
        MIREL_LOG(1) << kRecordHead << "notification failed: " << sFailure << endrecord;
    }
}

void Inbox::drop(List::iterator entry, const char* pszWhy) {
    std::size_t nBytes = entry->pCell->buffered();
    if (allow()) {
        MIREL_LOG(1) << kRecordHead << "dropped a sender (" << pszWhy << ", "
                     << static_cast<unsigned long>(nBytes) << " bytes received)" << endrecord;
    }
    m_pending.erase(entry);  // the last reference: the connection closes
}

void Inbox::makeRoom(const MirelString& sAddress) {
    List::iterator oldest = m_pending.begin();
    if (!oldest->bEnded && !oldest->bAtDeadline && !readArrived(oldest, false)) {
        return;
    }
    if (oldest->bEnded || oldest->bAtDeadline) {
        deliverOne(oldest, sAddress);
        m_pending.erase(oldest);
        return;
    }
    drop(oldest, "oldest of too many pending connections");
}

void Inbox::take(MirelSmartPointer<MirelConnection>& spClient, const MirelString& sAddress) {
    // The sender policy, before anything is read: a refused sender's connection is closed.
    MirelString sWho;
    if (m_pPolicy != 0 && !m_pPolicy->admits(*spClient, &sWho)) {
        if (allow()) {
            MIREL_LOG(1) << kRecordHead << "refused a sender (" << sWho
                         << ") that the sender policy does not allow" << endrecord;
        }
        spClient->disconnect();
        return;
    }
    StreamCell* pCell = streamCellOf(*spClient);
    if (pCell == 0) {
        deliverMessage(spClient, sAddress);
        return;
    }
    bool bInReserve = m_nReserveFrom >= 0 && pCell->fd >= m_nReserveFrom;
    if (!m_pending.empty() && (m_pending.size() >= m_limits.nMostPending || bInReserve)) {
        makeRoom(sAddress);
    }
    Pending entry;
    entry.spConnection = spClient;
    entry.pCell = pCell;
    Clock::time_point now = Clock::now();
    entry.deadline = now + m_limits.deadline;
    entry.readFrom = now + kEndFirstFor;
    entry.bEnded = false;
    entry.bAtDeadline = false;
    m_pending.push_back(entry);
}

void Inbox::skipped() {
    if (allow()) {
        MIREL_LOG(1) << kRecordHead << "skipped an empty datagram or a failed receive" << endrecord;
    }
}

Delivery Inbox::deliver(MirelSmartPointer<MirelConnection>& spClient, MirelString* psFailure) {
    // Whatever one sender does, its failure stays with its message.
    try {
        long hCallback = spClient->receiveLong();
        MIREL_LOG(9) << kRecordHead << "hCallback=" << hCallback << endrecord;
        // Declared before the guard: a callback that removed itself while it ran goes after
        // the lock, so its destructor never holds up the container.
        MirelSmartPointer<MirelNotificationCallback> spCallback;
        MirelCriticalSection lock(m_container.mutex(), true);
        spCallback = m_container.lookup(static_cast<int>(hCallback));
        if (!spCallback) {
            MIREL_LOG(9) << kRecordHead << "unable to find callback... ignoring notification"
                         << endrecord;
            return NO_CALLBACK;
        }
        MIREL_LOG(9) << kRecordHead << "found callback... invoking" << endrecord;
        spCallback->callback(spClient);
        MIREL_LOG(9) << kRecordHead << "callback returned" << endrecord;
        return DELIVERED;
    } catch (const MirelException& e) {
        char szCode[32];
        std::snprintf(szCode, sizeof szCode, " (code %d)", e.getCode());
        *psFailure = e.getText() + szCode;
    } catch (const std::exception& e) {
        *psFailure = e.what();
    } catch (...) {
        *psFailure = "unknown exception";
    }
    return FAILED;
}

}  // namespace detail
}  // namespace MirelNet
