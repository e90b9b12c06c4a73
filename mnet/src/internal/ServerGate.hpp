// Internal: the blocking wait of a server that another thread can end. Not installed.
//
// A server keeps its open state in a ListenCell (listening or datagram socket plus a wake-up
// pipe) referred to by its opaque handle member; null means closed. One thread waits on the
// cell; any thread may close. The handoff:
//   - the waiter takes the cell and marks it waited on under the gate's lock (enter), so a
//     close can never free the cell between the waiter's check and its wait;
//   - close detaches the cell from the server at once; if nobody waits it frees the cell,
//     otherwise it marks the cell closing and writes to the wake-up pipe; the waiter, woken by
//     poll, frees the cell itself (leave); so no thread ever uses a freed cell or a
//     descriptor number that was already given back to the system;
//   - every wait runs inside a Visit; the server's destructor closes and then waits until no
//     visit is left, so a waiting thread leaves before the memory goes.
// The wake-up pipe keeps priority over the socket: a client that arrives together with the
// wake-up is not accepted.
#ifndef MNET_INTERNAL_SERVER_GATE_HPP
#define MNET_INTERNAL_SERVER_GATE_HPP

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace MirelNet {
namespace detail {

struct ListenCell {
    int fd;        // the listening (or datagram) socket; -1 until set by the opener
    int wake[2];   // wake-up pipe: read end, write end
    bool waiting;  // a thread is inside the wait on this cell
    bool closing;  // closed while waited on: the waiter frees the cell
};

class FailureBurst;

class ServerGate {
public:
    enum WaitResult { READY, CLOSED, FAILED };

    ServerGate();
    ~ServerGate();

    // A new cell with its wake-up pipe and no socket. Returns 0, or errno with *ppCell null.
    static int newCell(ListenCell** ppCell);
    // Closes the socket and both pipe ends and frees the cell; harmless on null.
    static void freeCell(ListenCell* pCell);

    // True when the server is open now.
    bool isOpen(void* const& pSlot);
    // Makes an opened cell the server's state; a cell already there (another opener won)
    // is kept and the new one freed. Returns true when pCell was installed.
    bool publish(void*& pSlot, ListenCell* pCell);

    // Waiter: the open cell, marked waited on; null when the server is closed.
    ListenCell* enter(void*& pSlot);
    // Both waits below also end as CLOSED when the calling thread's own descriptors or
    // deadline end them first (see CallerWait).
    // Waiter: blocks until the socket is readable (READY) or close was signalled (CLOSED);
    // FAILED with *pError for a poll failure. A signal (EINTR) goes on waiting. A time-out
    // of nTimeoutMs >= 0 gives READY: the caller then finds nothing and waits again.
    static WaitResult await(ListenCell* pCell, int* pError, int nTimeoutMs = -1);
    // Waiter: sleeps nPauseMs unless close is signalled first (then CLOSED).
    static WaitResult pause(ListenCell* pCell, int nPauseMs);
    // What a take attempt reports to takeWhenReady: done, nothing there (wait again), or end
    // the wait without a result; any value >= 0 is an error number to retry after a pause.
    enum Attempt { TAKEN = -1, NOTHING = -2, QUIT = -3 };
    // Waiter: runs attempt() each time the socket is readable until it reports TAKEN (true) or
    // QUIT, or close is signalled (false). Failed attempts are retried after the burst's
    // growing pause, which close cuts short. The caller leaves the cell either way.
    template <class Take>
    static bool takeWhenReady(ListenCell* pCell, FailureBurst& burst, Take attempt);
    // Waiter: ends the wait on pCell. True when the server was closed meanwhile: the cell is
    // then freed and must not be used.
    bool leave(ListenCell* pCell);

    // Closer: detaches the cell. Frees it at once when nobody waits, else wakes the waiter,
    // which frees it. Returns false when the server was already closed. Never throws.
    bool close(void*& pSlot);

    // A waiting thread's stay inside the server, from the first step of the wait to the last.
    class Visit {
    public:
        explicit Visit(ServerGate& gate);
        ~Visit();

    private:
        Visit(const Visit&);
        Visit& operator=(const Visit&);
        ServerGate& m_gate;
    };

    // Blocks until no thread is inside a wait (for the server's destructor).
    void waitIdle();

private:
    ServerGate(const ServerGate&);
    ServerGate& operator=(const ServerGate&);

    std::mutex m_mutex;  // guards the server's handle slot, the cells' flags and m_nVisits
    std::condition_variable m_idle;
    int m_nVisits;
};

// Owns a half-opened cell (and with it the socket) on every way out of an opening but success.
class CellOwner {
public:
    explicit CellOwner(ListenCell* pCell) : m_pCell(pCell) {}
    ~CellOwner() { ServerGate::freeCell(m_pCell); }
    ListenCell* get() const { return m_pCell; }
    ListenCell* release() {
        ListenCell* pCell = m_pCell;
        m_pCell = 0;
        return pCell;
    }

private:
    CellOwner(const CellOwner&);
    CellOwner& operator=(const CellOwner&);
    ListenCell* m_pCell;
};

// A run of identical failures of a retried wait. The pause before each retry doubles from 1 ms
// up to 100 ms, and the run is logged once at level 1, as head, error number, tail and
// " (count N)", when it ends (or every 10 s while it lasts) instead of once per try.
class FailureBurst {
public:
    FailureBurst(const char* pszRecordHead, const char* pszRecordTail);
    ~FailureBurst();

    // Counts one failure and returns the pause in milliseconds before the next try.
    int record(int nError);
    void flush();

private:
    FailureBurst(const FailureBurst&);
    FailureBurst& operator=(const FailureBurst&);

    const char* m_pszHead;
    const char* m_pszTail;
    int m_nError;
    int m_nCount;
    int m_nPauseMs;
    std::chrono::steady_clock::time_point m_start;
};

template <class Take>
bool ServerGate::takeWhenReady(ListenCell* pCell, FailureBurst& burst, Take attempt) {
    for (;;) {
        int nError = 0;
        WaitResult result = await(pCell, &nError);
        if (result == CLOSED) {
            return false;
        }
        if (result == READY) {
            int rc = attempt();
            if (rc == TAKEN) {
                return true;
            }
            if (rc == NOTHING) {
                continue;
            }
            if (rc == QUIT) {
                return false;
            }
            nError = rc;
        }
        if (pause(pCell, burst.record(nError)) == CLOSED) {
            return false;
        }
    }
}

}  // namespace detail
}  // namespace MirelNet

#endif
