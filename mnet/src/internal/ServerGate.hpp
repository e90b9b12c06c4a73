// Internal: the blocking wait of a server that another thread can end, and the one frame in
// which every server's wait runs. Not installed.
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
//   - shut is final: once a gate is shut, no cell is published or entered again, so every
//     later wait ends at once instead of opening the server again (an ordinary close leaves
//     the server to be opened by the next wait);
//   - every wait runs inside a Visit; the server's destructor shuts, closes and then waits
//     until no visit is left, so a waiting thread leaves before the memory goes.
// The wake-up pipe keeps priority over the socket: a client that arrives together with the
// wake-up is not accepted.
// The gate also holds what bounds a wait: the server's wait time-out (setWaitTimeout, any
// thread; read when a wait starts), past which the wait ends as TIMED_OUT and the server stays
// open, and, for the length of one wait, the waiting caller's CallerWait
// (waitForClientWatching), whose descriptors and deadline its polls cover.
#ifndef MNET_INTERNAL_SERVER_GATE_HPP
#define MNET_INTERNAL_SERVER_GATE_HPP

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>

#include "MirelConnection.hpp"
#include "internal/Backoff.hpp"
#include "internal/CallerWait.hpp"
#include "internal/Posix.hpp"
#include "internal/StreamIo.hpp"

namespace MirelNet {

class MirelIPCServer;

namespace detail {

struct ListenCell {
    int fd;        // the listening (or datagram) socket; -1 until set by the opener
    int wake[2];   // wake-up pipe: read end, write end
    bool waiting;  // a thread is inside the wait on this cell
    bool closing;  // closed while waited on: the waiter frees the cell
    // The readiness of this opening has been logged; read and set by the waiter only, which
    // the waiting flag makes one thread at a time.
    bool announced;
};

class WaitSteps;

class ServerGate {
public:
    enum WaitResult { READY, CLOSED, FAILED, TIMED_OUT };
    // What close did: nothing (the server was closed), freed the cell, or woke its waiter.
    enum CloseResult { WAS_CLOSED = 0, RELEASED, SIGNALLED };

    ServerGate();
    ~ServerGate();

    // A new cell with its wake-up pipe and no socket. Returns 0, or errno with *ppCell null.
    static int newCell(ListenCell** ppCell);
    // Closes the socket and both pipe ends and frees the cell; harmless on null.
    static void freeCell(ListenCell* pCell);

    // True when the server is open now.
    bool isOpen(void* const& pSlot);
    // Makes an opened cell the server's state; a cell already there (another opener won) is
    // kept and the new one freed, and so is the new one when the gate is shut. Returns true
    // when pCell was installed.
    bool publish(void*& pSlot, ListenCell* pCell);

    // One wait of a server whose open state is pSlot, with the server's own steps (a class
    // derived from WaitSteps): ends at once on a shut gate; opens (an opening failure comes
    // back as text and code); enters the cell; takes when ready, paced by the steps' burst;
    // leaves; hands the result out with its local access set. An empty pointer, and no
    // message unless the steps give one, when the server was closed meanwhile or nothing was
    // taken; steps.timedOut() and 110 (ETIMEDOUT) when the wait time-out passed first. Never
    // throws MirelException.
    template <class Steps>
    MirelSmartPointer<MirelConnection> serve(void*& pSlot, Steps& steps, bool bIdentify,
                                             MirelString& sExceptionMessage, int& nErrorCode);

    // Both waits below also end as CLOSED when pCaller's descriptors or deadline end them
    // first (see CallerWait); pCaller may be null.
    // Waiter: blocks until the socket is readable (READY) or close was signalled (CLOSED);
    // FAILED with *pError for a poll failure. A signal (EINTR) goes on waiting. nTimeoutMs >=
    // 0 bounds the wait: TIMED_OUT.
    static WaitResult await(ListenCell* pCell, int* pError, int nTimeoutMs, CallerWait* pCaller);
    // Waiter: sleeps nPauseMs unless close is signalled first (then CLOSED).
    static WaitResult pause(ListenCell* pCell, int nPauseMs, CallerWait* pCaller);

    // The wait time-out in milliseconds for the waits that start later; 0 for none.
    void setWaitTimeout(int nMilliseconds) {
        m_nWaitTimeoutMs = nMilliseconds > 0 ? nMilliseconds : 0;
    }
    int waitTimeout() const { return m_nWaitTimeoutMs; }
    // The caller's extra descriptors for the waits until the next call (null: none); set and
    // read by the waiting thread only.
    void watch(CallerWait* pCaller) { m_pCallerWait = pCaller; }

    // Closer: detaches the cell. Frees it at once when nobody waits, else wakes the waiter,
    // which frees it. Never throws.
    CloseResult close(void*& pSlot);
    // Makes the gate final (see the top of this file); the caller then closes the server.
    void shut();
    bool isShut();

    // Blocks until no thread is inside a wait (for the server's destructor).
    void waitIdle();

private:
    ServerGate(const ServerGate&);
    ServerGate& operator=(const ServerGate&);

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

    // How the take-when-ready loop ended.
    enum Outcome { GOT, WOKEN, QUITTED, BROKEN, EXPIRED };

    // serve's start: the open cell, entered; null for a shut gate, a failed opening (text
    // and code set) or a server whose opening opens nothing.
    ListenCell* begin(void*& pSlot, WaitSteps& steps, MirelString& sExceptionMessage,
                      int& nErrorCode);
    // Runs steps.take each time the socket is readable until it takes something or quits, or
    // close is signalled, or the wait time-out passes. Failed tries are retried after the
    // burst's growing pause, which close cuts short; without a burst a failure ends the loop.
    template <class Steps>
    Outcome takeWhenReady(ListenCell* pCell, Steps& steps);
    // The open cell, marked waited on; null when the server is closed or the gate shut.
    ListenCell* enter(void*& pSlot);
    // Ends the wait on pCell. True when the server was closed meanwhile: the cell is then
    // freed and must not be used.
    bool leave(ListenCell* pCell);

    std::mutex m_mutex;  // guards the server's handle slot, the cells' flags, m_nVisits, m_bShut
    std::condition_variable m_idle;
    int m_nVisits;
    bool m_bShut;
    std::atomic<int> m_nWaitTimeoutMs;
    CallerWait* m_pCallerWait;
};

// Reaches the gate of a pipe or TCP server (and so of a UDP or SSL one), for the internal
// entries that bound or watch its waits; null for any other server.
class ServerAccess {
public:
    static ServerGate* gateOf(MirelIPCServer& server);
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
    Backoff m_pause;
    std::chrono::steady_clock::time_point m_start;
};

// What one server adds to the wait frame of ServerGate::serve: a class derived from this one,
// made by the server's waitForClientImpl on the waiting thread and used by it alone. It
// defines
//   void ready(const ListenCell& cell)   the first wait on cell since the server opened holds
//                                        it now: logs that the server is ready (once per
//                                        opening, not at every client);
//   int take(const ListenCell& cell)     one try to take a client or datagram from the
//                                        readable socket: an Attempt or an error number;
//   MirelConnection* handOut(bool bIdentify)  the connection for what take got (null for
//                                        nothing), its peer identified when bIdentify;
//   bool peerIsLocal() const             the local access of that connection;
//   static const char* timedOut()        the text of a wait that the wait time-out ended;
// and may hide burst, ended and woken below. The frame calls them statically, so nothing on
// the way of a wait is dispatched through a virtual table (whose sanitizer checks would need
// a free descriptor while accept fails for want of one).
class WaitSteps {
public:
    // How a wait ended without handing anything out while the server stayed open.
    enum Ending {
        TAKE_QUIT,   // take reported QUIT
        WAIT_FAILED  // poll failed, or take reported an error number, and there is no burst
    };
    // What take reports: done, nothing there (wait again), or end the wait without a result;
    // any value >= 0 is an error number to retry after the burst's pause.
    enum Attempt { TAKEN = -1, NOTHING = -2, QUIT = -3 };

    // fnOpen opens a closed server and whatever else the wait needs; throws MirelException.
    explicit WaitSteps(const std::function<void()>& fnOpen) : m_fnOpen(fnOpen) {}
    void open() { m_fnOpen(); }
    // Paces and logs retried failures; null: failures are not retried but end the wait.
    FailureBurst* burst() { return 0; }
    // The wait ended as said while the server stayed open; may set the failure text and code.
    void ended(Ending /*how*/, MirelString& /*sExceptionMessage*/, int& /*nErrorCode*/) {}
    // close woke the wait; the server has been released.
    void woken() {}

private:
    WaitSteps(const WaitSteps&);
    WaitSteps& operator=(const WaitSteps&);
    std::function<void()> m_fnOpen;
};

// Steps of a server on an IPv4 or IPv6 socket: the peer's address, its local access (the
// loopback address of either family) and its identification.
class InetWaitSteps : public WaitSteps {
public:
    explicit InetWaitSteps(const std::function<void()>& fnOpen) : WaitSteps(fnOpen) {}
    bool peerIsLocal() const { return m_peer.isLoopback(); }

protected:
    // With bIdentify, the name the reverse lookup gives for the peer, logged at level 5 as
    // pszLogHead, the name, ':' and the port; otherwise, or when the lookup fails, empty.
    MirelString identify(bool bIdentify, const char* pszLogHead) const;

    SocketAddress m_peer;  // filled by the accept or receive of take
};

template <class Steps>
MirelSmartPointer<MirelConnection> ServerGate::serve(void*& pSlot, Steps& steps, bool bIdentify,
                                                     MirelString& sExceptionMessage,
                                                     int& nErrorCode) {
    Visit visit(*this);
    ListenCell* pCell = begin(pSlot, steps, sExceptionMessage, nErrorCode);
    if (pCell == 0) {
        return MirelSmartPointer<MirelConnection>();
    }
    if (!pCell->announced) {
        pCell->announced = true;
        steps.ready(*pCell);
    }
    Outcome outcome = takeWhenReady(pCell, steps);
    if (steps.burst()) {
        steps.burst()->flush();
    }
    bool bClosed = leave(pCell);
    if (outcome == WOKEN) {
        steps.woken();
        return MirelSmartPointer<MirelConnection>();
    }
    if (outcome == EXPIRED && !bClosed) {
        sExceptionMessage = Steps::timedOut();
        nErrorCode = ETIMEDOUT;
        return MirelSmartPointer<MirelConnection>();
    }
    if (bClosed) {
        // Closed just as something arrived: the wait ends as closed; what take got goes with
        // the steps.
        return MirelSmartPointer<MirelConnection>();
    }
    if (outcome != GOT) {
        steps.ended(outcome == QUITTED ? WaitSteps::TAKE_QUIT : WaitSteps::WAIT_FAILED,
                    sExceptionMessage, nErrorCode);
        return MirelSmartPointer<MirelConnection>();
    }
    MirelSmartPointer<MirelConnection> spConnection(steps.handOut(bIdentify));
    if (spConnection) {
        spConnection->setLocalAccess(steps.peerIsLocal());
    }
    return spConnection;
}

template <class Steps>
ServerGate::Outcome ServerGate::takeWhenReady(ListenCell* pCell, Steps& steps) {
    FailureBurst* pBurst = steps.burst();
    CallerWait* pCaller = m_pCallerWait;
    int nTimeoutMs = m_nWaitTimeoutMs;
    std::chrono::steady_clock::time_point end =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
    for (;;) {
        int nError = 0;
        int nLeftMs = nTimeoutMs > 0 ? msUntil(end) : -1;
        WaitResult result = nLeftMs == 0 ? TIMED_OUT : await(pCell, &nError, nLeftMs, pCaller);
        if (result == CLOSED) {
            return WOKEN;
        }
        if (result == TIMED_OUT) {
            return EXPIRED;
        }
        if (result == READY) {
            int rc = steps.take(*pCell);
            if (rc == WaitSteps::TAKEN) {
                return GOT;
            }
            if (rc == WaitSteps::NOTHING) {
                continue;
            }
            if (rc == WaitSteps::QUIT) {
                return QUITTED;
            }
            nError = rc;
        }
        if (pBurst == 0) {
            return BROKEN;
        }
        int nPauseMs = pBurst->record(nError);
        if (nTimeoutMs > 0 && msUntil(end) < nPauseMs) {
            nPauseMs = msUntil(end);
        }
        if (pause(pCell, nPauseMs, pCaller) == CLOSED) {
            return WOKEN;
        }
    }
}

}  // namespace detail
}  // namespace MirelNet

#endif
