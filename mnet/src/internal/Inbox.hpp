// Internal: the callback sink's inbox, the senders whose message is being received and the
// delivery of each message to its callback. Not installed.
//
// A stream sender (pipe or TCP) is taken in when the server hands its connection out and read
// without blocking as its bytes come; its message is whole once the sender has ended its side
// of the stream (closed or shut down its writing half), because everything it sent then lies in
// the receiving socket. A datagram is whole as it arrives and is delivered at once.
//
// The promises, and how they are kept:
//   - A message whose sender has ended it is delivered whole, however long other senders or
//     callbacks take: an ended sender is read to its end in the pass that sees the end, whatever
//     the budget, and never dropped but past the per-message cap.
//   - Order: whole messages are delivered in the order their senders were accepted. A sender
//     still writing never holds back one that has ended, so concurrent senders' messages arrive
//     in the order they end; a notification sent after another one's sender returned is
//     accepted after it, and the earlier one has ended by then, so the two arrive in order.
//   - Push-back instead of dropping: senders still open are read in the order of their accept
//     while the bytes buffered for the senders before them stay below the budget; the others
//     are watched for their end only, so the system's flow control holds them, and a sender
//     that cannot finish by its own deadline fails there (remoteNotify with 110). The first
//     open sender is always read, so the inbox never stalls.
//   - The deadline from the accept applies to open senders only: one still open then gets what
//     it sent delivered if that holds a whole handle (and its stream shut down), else nothing.
//   - Senders: a pipe sender the sink's policy does not allow is refused as it is taken (its
//     connection closed, logged like a drop); TCP and UDP senders cannot be named.
//   - Descriptors: past kMostPending pending connections, or when an accepted descriptor falls
//     into the top quarter of the process's descriptor limit (all lower numbers being taken),
//     the oldest pending sender goes: delivered if it has ended meanwhile, dropped otherwise.
//     The process keeps the top quarter of its descriptors for its own use.
// Drops are logged at level 1, paced (kRecordsPerWindow per window, then one that counts the
// rest); the steps of a delivery at level 9.
//
// Threads: the inbox lives on the sink thread, for one run, and is used by it alone; its end
// closes every connection still pending. Deliveries take the container's lock.
#ifndef MNET_INTERNAL_INBOX_HPP
#define MNET_INTERNAL_INBOX_HPP

#include <chrono>
#include <cstddef>
#include <functional>
#include <list>
#include <vector>

#include "MirelCallbackContainer.hpp"
#include "MirelConnection.hpp"

namespace MirelNet {
namespace detail {

class CallerWait;
class SenderPolicy;
struct StreamCell;

// What the delivery of one whole message did.
enum Delivery {
    DELIVERED,    // a callback's doCallback ran to its end
    NO_CALLBACK,  // nothing is registered under the handle: the rest is not read
    FAILED        // no whole handle, or the callback threw: the failure's text says what
};

struct InboxLimits {
    std::chrono::milliseconds deadline;  // from the accept, for an open sender to end
    std::size_t nLongestMessage;         // per message: the longest string and room around it
    std::size_t nBudget;                 // bytes buffered for open senders, together
    std::size_t nMostPending;            // pending connections (fewer with a low limit)

    // 5 s, 16 MiB + 64 KiB, 64 MiB, 1,024 (at most half the descriptor limit).
    static InboxLimits standard();
};

class Inbox {
public:
    // fnStop is asked between deliveries: true ends the serving of a pass at once. pPolicy
    // (not owned, may be null: everyone) says who may deliver; a refused sender's connection is
    // closed before anything of it is read.
    Inbox(MirelCallbackContainer& container, const std::function<bool()>& fnStop,
          const SenderPolicy* pPolicy = 0, const InboxLimits& limits = InboxLimits::standard());
    ~Inbox();

    // Before each wait: the connections to watch (for their end always, for data while they
    // may be read) and the earliest time the wait must end by.
    void prepare(CallerWait& wait);
    // After each wait: takes what arrived, applies the deadlines, then delivers the whole
    // messages in the order of their accept.
    void serve(const CallerWait& wait, const MirelString& sAddress);
    // A connection the server handed out: a datagram is delivered at once, a stream sender
    // waits here for the rest of its message.
    void take(MirelSmartPointer<MirelConnection>& spClient, const MirelString& sAddress);
    // Milliseconds until the earliest deadline, at most nCapMs; -1 when nothing is pending.
    int msToDeadline(int nCapMs) const;
    // A datagram sink's wait ended without a datagram: an empty one, skipped at once.
    void skipped();
    std::size_t pendingCount() const { return m_pending.size(); }

    // The steps of one whole message: reads the handle (a long) and, holding the container's
    // lock, invokes the callback registered under it, which reads the rest. Nothing escapes;
    // a failure comes back as its text. The callback's reference is given back after the lock.
    Delivery deliver(MirelSmartPointer<MirelConnection>& spClient, MirelString* psFailure);

private:
    struct Pending {
        MirelSmartPointer<MirelConnection> spConnection;
        StreamCell* pCell;  // owned by the connection
        std::chrono::steady_clock::time_point deadline;
        std::chrono::steady_clock::time_point readFrom;  // watched for its end alone until then
        bool bEnded;       // the sender has ended: the whole message is buffered
        bool bAtDeadline;  // to be delivered as it stands: its deadline passed while it was open
    };
    typedef std::list<Pending> List;

    // Moves what waits on the entry's socket into its buffer; bPeerDone: its end was seen.
    // False when the entry was dropped (past the per-message cap).
    bool readArrived(List::iterator entry, bool bPeerDone);
    void applyDeadlines();
    void deliverWhole(const MirelString& sAddress);
    // Delivers the whole message of entry, which the caller then erases.
    void deliverOne(List::iterator entry, const MirelString& sAddress);
    void deliverMessage(MirelSmartPointer<MirelConnection>& spConnection,
                        const MirelString& sAddress);
    // Makes room for one more connection: the oldest goes, delivered if it has ended.
    void makeRoom(const MirelString& sAddress);
    void drop(List::iterator entry, const char* pszWhy);
    bool allow();
    void flushRecords();

    MirelCallbackContainer& m_container;
    std::function<bool()> m_fnStop;
    const SenderPolicy* m_pPolicy;
    const InboxLimits m_limits;
    List m_pending;                        // in the order of accept, so of deadline
    std::vector<List::iterator> m_polled;  // entry of each descriptor of the last wait
    int m_nReserveFrom;                    // descriptors from this number on are the process's
    // Pacing of the level-1 records about single senders.
    int m_nWritten;
    long m_nHeld;
    std::chrono::steady_clock::time_point m_windowStart;
};

}  // namespace detail
}  // namespace MirelNet

#endif
