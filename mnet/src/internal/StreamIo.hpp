// Internal: the descriptor cell and the stream primitives shared by the pipe and TCP
// connections. Not installed.
//
// A stream cell is the heap cell behind the opaque handle member of a stream connection
// (m_pipeHandle, m_pClient); null means no open socket. Its first member is the int
// descriptor, so code that reads the int behind getSocket() keeps working. The cell also holds
// the connection's read buffer: a receive takes what has arrived (up to the buffer's size)
// with one system call and later reads are served from it. The owner closes the descriptor
// and frees the cell through closeCell. The stream calls retry on EINTR and never raise
// SIGPIPE. Sends inside a write span of their connection are gathered and leave with the span
// (WriteSpan.hpp); bytes gathered for a cell leave before it is read, closed or released.
//
// Threads: a cell belongs to one connection and is used by one thread at a time.
#ifndef MNET_INTERNAL_STREAM_IO_HPP
#define MNET_INTERNAL_STREAM_IO_HPP

#include <sys/uio.h>

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
    bool bSent;        // a send was made on the socket
    bool bNoDelaySet;  // pfnSetNoDelay has run
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

    explicit StreamCell(int nFd)
        : fd(nFd),
          nBegin(0),
          nEnd(0),
          bComplete(false),
          pfnSetNoDelay(0),
          bSent(false),
          bNoDelaySet(false),
          bPeerKnown(false),
          nPeerPid(0),
          nPeerUid(0),
          nPeerGid(0) {}
    std::size_t buffered() const { return nEnd - nBegin; }
};

// What one receive system call asks for at most when the caller wants less.
const std::size_t kReadBufferSize = 4096;

void* newCell(int nFd);
// The descriptor in the cell, or -1 for a null cell.
int cellFd(const void* pCell);
// Closes the descriptor, frees the cell and nulls the pointer; harmless on null.
void closeCell(void*& pCell);
// Frees the cell without closing its descriptor (another owner keeps it); nulls the pointer.
void releaseCell(void*& pCell);
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

// The end of a stream client's establishment, once connect on the cell's socket returned
// nConnectError. A failure (110 where remoteNotify's deadline cut it short) closes the cell
// and is returned. Otherwise the service handshake runs at once, outside the write span of the
// operation that got here; a refusal closes the cell, so that the next operation connects and
// announces itself again, and throws the handshake's MirelException. 0 when connected.
int finishConnect(MirelConnection& connection, void*& pCell, int nConnectError);

// What a primitive passes on as nEstablished below: 0 at once while pCell is open, else what
// connection's establishImpl (pfnEstablish, called virtually) returns, its text dropped (the
// typed operations have reported it already). A primitive calls it first and reads its cell
// pointer after: an argument list naming both leaves the order to the compiler, which may read
// the pointer first and hand the primitive that opened the connection a null cell.
template <class Connection>
int establishedCell(void* const& pCell, Connection& connection,
                    int (Connection::*pfnEstablish)(MirelSupport::MirelString&)) {
    if (pCell != 0) {
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
// takes, usually one; pPieces is used up. 0 or the error number.
long sendPieces(StreamCell& cell, iovec* pPieces, int nPieces);
// Receive: toRead bytes (bWaitForAll) or what is there; buffered bytes first. -1 with *error =
// 107 when the peer closed the stream, errno when the call failed, 0 for a complete message
// that has no more bytes.
long streamReceive(int nEstablished, void* pCell, char* bufPtr, long toRead, long* error,
                   bool bWaitForAll);
// Peek: copies up to nSize waiting bytes without consuming them, blocking until a byte or the
// end arrives. True when at least one byte was copied; nSize = count.
bool streamPeek(int nEstablished, void* pCell, void* pBuffer, int& nSize, int& nErrorCode);

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
// Ends both directions of the cell's stream (the peer reads its end); the descriptor and the
// buffered bytes stay.
void shutdownStream(void* pCell);

}  // namespace detail
}  // namespace MirelNet

#endif
