// Internal: the descriptor cell and the stream primitives shared by the pipe and TCP
// connections. Not installed.
//
// A stream cell is the heap cell behind the opaque handle member of a stream connection
// (m_pipeHandle, m_pClient). Its first member is the int descriptor, so code that reads the
// int behind getSocket() keeps working. A socket is open while the descriptor is >= 0: a
// client connection that was given a time-out before its first connect holds a cell with
// descriptor -1, and a cell that carries a time-out outlives its socket (closeCell keeps it,
// freeCell frees it), so the setting survives re-establishment. Null means neither. The cell also
// holds the connection's read buffer: a receive takes what has arrived (up to the buffer's size)
// with one system call and later reads are served from it. The owner closes the descriptor
// and frees the cell through closeCell. The stream calls go through the system-call layer
// (internal/Posix) and never raise SIGPIPE. Sends inside a write span of their connection are
// gathered and leave with the span (WriteSpan.hpp); bytes gathered for a cell leave before it is
// read, closed or released.
//
// Threads: a cell belongs to one connection and is used by one thread at a time.
#ifndef MNET_INTERNAL_STREAM_IO_HPP
#define MNET_INTERNAL_STREAM_IO_HPP

#include <sys/uio.h>

#include <chrono>
#include <cstddef>
#include <vector>

#include "MirelString.hpp"

namespace MirelNet {

class MirelConnection;

namespace detail {

struct StreamCell {
    int fd;  // first: the int that getSocket() hands out points here
    // Bytes received but not yet read: buffer[nBegin, nEnd).
    std::vector<char> buffer;
    std::size_t nBegin;
    std::size_t nEnd;
    // The whole message is in the buffer: reads past it fail as data that ended (code 0) and
    // never touch the socket.
    bool bComplete;
    // Set by the TCP transport to switch Nagle's algorithm off. It runs once, before the
    // second send: Nagle holds a small segment back only while earlier data is unacknowledged,
    // so a first send never waits, and a connection that sends once and closes saves the call.
    void (*pfnSetNoDelay)(int nFd);
    bool bSent;         // a send was made on the socket
    std::size_t nSent;  // bytes sent on the socket, all sends together
    bool bNoDelaySet;   // pfnSetNoDelay has run
    // Where a write span copies the pieces of one send that do not fit in the span itself;
    // kept between operations, so that a stream of strings allocates once.
    std::vector<char> copyArea;
    // The peer's process, user and group as the system named them when an accepted local
    // connection was taken (takePeerCredentials), so that a sender that has closed since is
    // still named. bPeerKnown is false on a client connection and on TCP.
    bool bPeerKnown;
    int nPeerPid;
    unsigned int nPeerUid;
    unsigned int nPeerGid;

    // Time-outs (see Bounds below). nTimeoutMs: the connection's own, 0 for none; every
    // operation ends within it from its start. bDeadline: every call ends by deadline instead,
    // an absolute end given by the owner (remoteNotify) or set for the length of an
    // establishment (bEstablishing).
    int nTimeoutMs;
    bool bDeadline;
    bool bEstablishing;
    std::chrono::steady_clock::time_point deadline;
    // What SO_RCVTIMEO and SO_SNDTIMEO hold on the socket now, in microseconds (0: none).
    long long nReceiveBoundUs;
    long long nSendBoundUs;
    // A time-out closed the socket: the owner counts as disconnected from now on.
    bool bDropped;
    // The socket came from accept: after a drop there is nothing to connect to again.
    bool bAccepted;

    explicit StreamCell(int nFd)
        : fd(nFd),
          nBegin(0),
          nEnd(0),
          bComplete(false),
          pfnSetNoDelay(0),
          bSent(false),
          nSent(0),
          bNoDelaySet(false),
          bPeerKnown(false),
          nPeerPid(0),
          nPeerUid(0),
          nPeerGid(0),
          nTimeoutMs(0),
          bDeadline(false),
          bEstablishing(false),
          nReceiveBoundUs(0),
          nSendBoundUs(0),
          bDropped(false),
          bAccepted(false) {}
    std::size_t buffered() const { return nEnd - nBegin; }
    bool timed() const { return nTimeoutMs > 0 || bDeadline; }
};

// What one receive system call asks for at most when the caller wants less.
const std::size_t kReadBufferSize = 4096;

void* newCell(int nFd);
// The descriptor in the cell, or -1 for a null cell or one without a socket.
int cellFd(const void* pCell);
// The cell when it holds an open socket, else null (what getSocket() and getPipeHandle() give).
void* openCellOrNull(void* pCell);
// Puts the new socket nFd into the cell (made when null, with pfnSetNoDelay) with an empty
// buffer, and bounds its blocking calls when the cell carries a time-out. With a time-out of
// the connection's own, the establishment that follows (connect and handshake, ended by
// finishConnect) gets one deadline of its own.
void openCell(void*& pCell, int nFd, void (*pfnSetNoDelay)(int) = 0);
// Closes the descriptor. A cell that carries a time-out stays, without a socket; any other is
// freed and the pointer nulled. Harmless on null.
void closeCell(void*& pCell);
// Closes the socket of a connection that is still establishing, so that it can try its next
// address with openCell; the establishment's deadline goes on.
void dropSocket(void* pCell);
// closeCell, then frees the cell whatever it carries (for the destructors).
void freeCell(void*& pCell);
// Frees the cell without closing its descriptor (another owner keeps it); nulls the pointer.
void releaseCell(void*& pCell);
// The connection's time-out (setTimeout): kept in the cell, made without a socket when needed;
// applied to an open socket at once. A negative value counts as 0 (no bound).
void setCellTimeout(void*& pCell, int nMilliseconds);
int cellTimeout(const void* pCell);
// Every call on the cell ends by deadline (remoteNotify's one deadline for its connection).
void endCellBy(void*& pCell, std::chrono::steady_clock::time_point deadline);
// Marks the cell's socket as one that accept returned (the accepted forms' constructors).
void markAccepted(void* pCell);
// True once when a time-out closed the cell's client socket since the last call: the owner
// then clears its connected flag and establishes again.
bool takeDropped(void* pCell);
// A time-out closed the cell's accepted socket: the owner stays without one (107), as after
// the peer's end, until it is disconnected.
bool droppedAccepted(const void* pCell);
// Reads the peer credentials of the cell's local socket into the cell (SO_PEERCRED, one call);
// bPeerKnown stays false when the system cannot tell. Harmless on null.
void takePeerCredentials(void* pCell);
// close() that is not repeated on EINTR (the descriptor is gone either way on Linux).
void closeFd(int nFd);

// Owns one descriptor and closes it when it goes, unless released first.
class FdOwner {
public:
    explicit FdOwner(int nFd = -1) : m_nFd(nFd) {}
    ~FdOwner() { reset(); }
    int get() const { return m_nFd; }
    // Closes the descriptor held so far and takes nFd.
    void reset(int nFd = -1) {
        closeFd(m_nFd);
        m_nFd = nFd;
    }
    int release() {
        int nFd = m_nFd;
        m_nFd = -1;
        return nFd;
    }

private:
    FdOwner(const FdOwner&);
    FdOwner& operator=(const FdOwner&);
    int m_nFd;
};

// Milliseconds left of the cell's establishment, for a poll; -1 when it has no bound.
int establishMsLeft(const void* pCell);

// The end of a stream client's establishment, once connect on the cell's socket returned
// nConnectError. A failure (110 where the cell's time-out cut it short) closes the cell
// and is returned. Otherwise the service handshake runs at once, outside the write span of the
// operation that got here; a refusal closes the cell, so that the next operation connects and
// announces itself again, and throws the handshake's MirelException. 0 when connected.
int finishConnect(MirelConnection& connection, void*& pCell, int nConnectError);

// What a primitive passes on as nEstablished below: 0 at once while pCell holds a socket, else what
// connection's establishImpl (pfnEstablish, called virtually) returns, its text dropped (the
// typed operations have reported it already). A primitive calls it first and reads its cell
// pointer after: an argument list naming both leaves the order to the compiler, which may read
// the pointer first and hand the primitive that opened the connection a null cell.
template <class Connection>
int establishedCell(void* const& pCell, Connection& connection,
                    int (Connection::*pfnEstablish)(MirelSupport::MirelString&)) {
    if (cellFd(pCell) >= 0) {
        return 0;
    }
    MirelSupport::MirelString sIgnored;
    return (connection.*pfnEstablish)(sIgnored);
}

// The three primitives of a stream connection, after its own establishment step. nEstablished
// is what establishImpl returned: non-zero is passed on as the error (result 0); without a
// cell the error is 107 (ENOTCONN), result 0, and for a peek nSize 0.
//
// Send: writes all bufLen bytes with MSG_NOSIGNAL; bufLen, or -1 with *error = errno (32,
// EPIPE, when the peer has gone). Inside a write span of pOwner the bytes are gathered instead
// (bufLen), and the span sends them.
long streamSend(const MirelConnection* pOwner, int nEstablished, void* pCell, const char* buf,
                long bufLen, long* error);
// Writes the nPieces pieces (each longer than 0) in order with as few calls as the system
// takes, usually one; pPieces is used up. 0 or the error number. start: when the operation
// began (for the cell's time-out).
long sendPieces(StreamCell& cell, iovec* pPieces, int nPieces,
                std::chrono::steady_clock::time_point start);
// Receive: toRead bytes (bWaitForAll) or what is there; buffered bytes first. -1 with *error =
// 107 when the peer closed the stream, errno when the call failed, 0 for a complete message
// that has no more bytes.
long streamReceive(const MirelConnection* pOwner, int nEstablished, void* pCell, char* bufPtr,
                   long toRead, long* error, bool bWaitForAll);
// Peek: copies up to nSize waiting bytes without consuming them, blocking until a byte or the
// end arrives. True when at least one byte was copied; nSize = count.
bool streamPeek(const MirelConnection* pOwner, int nEstablished, void* pCell, void* pBuffer,
                int& nSize, int& nErrorCode);
// Time-outs: a cell that carries one bounds each blocking call by SO_RCVTIMEO and SO_SNDTIMEO,
// set when the socket is made, so an established connection pays no call for it. An operation
// (a typed operation: its write span; else the one primitive call) ends within the time-out
// from its start: only when a call would end more than a few milliseconds after that (after a
// partial receive or send, say) is the socket's bound shortened to what is left, and it is
// given back at the next operation. A call that the bound cuts short, or an operation with no
// time left, fails with 110 (ETIMEDOUT) and closes the socket (the cell stays and says so,
// takeDropped), so nothing is ever read or written from the middle of a value afterwards.

// What takeArrived found: the bytes it added to the cell's buffer, and whether the stream has
// ended, because the peer closed it (nError 0) or because it failed (nError, ECONNRESET say).
struct Arrival {
    std::size_t nTaken;
    bool bEnded;
    int nError;
};
// Moves what has arrived on the cell's socket into its buffer without waiting (MSG_DONTWAIT),
// in receives that grow with the buffer, until nothing more waits, nLimit bytes were taken or
// the stream ends. bPeerDone: the poll just before reported the peer's end of the stream
// (POLLRDHUP or POLLHUP), so everything it sent has arrived and a receive that leaves room
// ends the stream without one more receive to see the end.
Arrival takeArrived(void* pCell, std::size_t nLimit, bool bPeerDone);
// Before a TCP client closes after its last send. Returning from a send says only that the
// bytes are in this end's queue: those beyond the receiver's window wait there, and a receiver
// that stops reading would never get them, while the sender believes them sent. So a client
// that sent more than kLingerAbove bytes lingers on its close: the close then returns once the
// peer's system has acknowledged the whole stream and its end, or after about nMsLeft
// milliseconds (whole seconds, rounded up, at least one). True when the linger was set; the caller
// then checks after the close whether its time ran out. Smaller messages fit any receive window and
// leave at once.
const std::size_t kLingerAbove = 16384;
bool lingerOnClose(void* pCell, int nMsLeft);

// Ends both directions of the cell's stream (the peer reads its end); the descriptor and the
// buffered bytes stay.
void shutdownStream(void* pCell);

}  // namespace detail
}  // namespace MirelNet

#endif
