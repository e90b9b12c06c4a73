// Internal: descriptors and a deadline that a caller adds to one server wait. Not installed.
//
// A server's wait polls its wake-up pipe and its socket. A thread that serves more than one
// thing at a time (the callback sink: its listening socket and every connection whose message
// is still arriving) hands a CallerWait to waitForClientWatching; the server's poll then also
// covers the caller's descriptors and ends by the caller's deadline. When one of them is
// ready or the deadline has passed, and the server's own socket is not ready, the wait ends
// without a client: waitForClientWatching returns an empty pointer without a message, and
// the caller finds in the CallerWait what ended it (ended()). A server's socket that is
// ready together with the caller's descriptors is served first; the revents of the caller's
// descriptors are kept from that same poll, so the caller needs no second one.
//
// Threads: a CallerWait is used by the one thread that waits with it; the server holds it only
// for the length of that wait.
#ifndef MNET_INTERNAL_CALLER_WAIT_HPP
#define MNET_INTERNAL_CALLER_WAIT_HPP

#include <poll.h>

#include <chrono>
#include <vector>

#include "MirelConnection.hpp"

namespace MirelNet {

class MirelIPCServer;

namespace detail {

class CallerWait {
public:
    // Slots at the front of fds() that the server fills with its own descriptors.
    static const std::size_t kServerSlots = 2;

    CallerWait();

    // Drops the caller's descriptors and deadline.
    void clear();
    // Adds a descriptor polled for the end of the peer's stream (POLLRDHUP; hang-ups and
    // errors always count) and, with bData, for input; returns its index for revents().
    std::size_t add(int nFd, bool bData);
    // The wait ends by then at the latest (the earliest of the calls counts).
    void endBy(std::chrono::steady_clock::time_point deadline);
    // What the last poll of the wait reported for descriptor nIndex (0 when it did not run).
    short revents(std::size_t nIndex) const { return m_fds[kServerSlots + nIndex].revents; }
    // The caller's descriptors or deadline ended the last wait.
    bool ended() const { return m_bEnded; }

    // Clears the revents and the end flag before a wait.
    void reset();

    // The poll of a server wait: nServer (at most kServerSlots) of the server's own entries,
    // plus pWait's when not null. Returns what poll returns; *pbCallerReady tells whether the
    // caller's descriptors or deadline ended it.
    static int poll(CallerWait* pWait, pollfd* pServer, std::size_t nServer, int nTimeoutMs,
                    bool* pbCallerReady);

private:
    CallerWait(const CallerWait&);
    CallerWait& operator=(const CallerWait&);

    std::vector<pollfd> m_fds;  // kServerSlots server entries, then the caller's
    bool m_bDeadline;
    std::chrono::steady_clock::time_point m_deadline;
    bool m_bEnded;
};

// Milliseconds until deadline, rounded up so that a poll never ends just before it; 0 once
// it has passed.
int msUntil(std::chrono::steady_clock::time_point deadline);

// server.waitForClient(false) with wait's descriptors and deadline added to its poll, for a
// pipe or TCP server (UDP and SSL included); another server waits as usual. An empty pointer
// without an exception: closed, shut down, or wait.ended().
MirelSmartPointer<MirelConnection> waitForClientWatching(MirelIPCServer& server, CallerWait& wait);

}  // namespace detail
}  // namespace MirelNet

#endif
