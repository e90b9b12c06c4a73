#include "internal/StreamIo.hpp"

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "MirelConnection.hpp"
#include "internal/Posix.hpp"
#include "internal/WriteSpan.hpp"

namespace MirelNet {
namespace detail {

namespace {

using Clock = std::chrono::steady_clock;

// A call whose socket bound would end it more than this away from the end of its operation
// gets the bound set anew; within it, the call costs nothing extra.
const long long kBoundSlackUs = 10000;

// The common start of every stream primitive: the establishment's code, then the cell.
StreamCell* start(int nEstablished, void* pCell, long* error) {
    *error = nEstablished;
    if (nEstablished != 0) {
        return 0;
    }
    if (cellFd(pCell) < 0) {
        *error = ENOTCONN;
        return 0;
    }
    return static_cast<StreamCell*>(pCell);
}

void setBound(StreamCell& cell, int nOption, long long nUs) {
    timeval bound;
    bound.tv_sec = static_cast<time_t>(nUs / 1000000);
    bound.tv_usec = static_cast<suseconds_t>(nUs % 1000000);
    ::setsockopt(cell.fd, SOL_SOCKET, nOption, &bound, sizeof bound);
    (nOption == SO_RCVTIMEO ? cell.nReceiveBoundUs : cell.nSendBoundUs) = nUs;
}

Clock::time_point endOf(const StreamCell& cell, Clock::time_point start) {
    return cell.bDeadline ? cell.deadline : start + std::chrono::milliseconds(cell.nTimeoutMs);
}

long long usLeft(const StreamCell& cell, Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::microseconds>(endOf(cell, start) - Clock::now())
        .count();
}

// Before a blocking call of a timed cell (nOption: SO_RCVTIMEO or SO_SNDTIMEO): makes the
// socket's bound end the call with the operation begun at start. False when no time is left.
bool boundCall(StreamCell& cell, int nOption, Clock::time_point start) {
    if (!cell.timed()) {
        return true;
    }
    long long nLeftUs = usLeft(cell, start);
    if (nLeftUs <= 0) {
        return false;
    }
    long long nHeldUs = nOption == SO_RCVTIMEO ? cell.nReceiveBoundUs : cell.nSendBoundUs;
    if (nHeldUs - nLeftUs > kBoundSlackUs || nLeftUs - nHeldUs > kBoundSlackUs) {
        setBound(cell, nOption, nLeftUs);
    }
    return true;
}

// Closes the socket of a cell whose operation ran out of time and marks it dropped; the cell
// and its settings stay. Returns ETIMEDOUT.
int drop(StreamCell& cell) {
    closeFd(cell.fd);
    cell.fd = -1;
    cell.nBegin = cell.nEnd = 0;
    cell.bDropped = true;
    return ETIMEDOUT;
}

// What a failed blocking call reports: a call that the bound cut short drops the socket.
int failure(StreamCell& cell, int nError) {
    if (cell.timed() && (nError == EAGAIN || nError == EWOULDBLOCK || nError == EINPROGRESS)) {
        return drop(cell);
    }
    return nError;
}

void endEstablishment(StreamCell& cell) {
    if (cell.bEstablishing) {
        cell.bEstablishing = false;
        cell.bDeadline = false;
    }
}

std::size_t takeBuffered(StreamCell& cell, char* pTarget, std::size_t nWanted) {
    std::size_t nCount = std::min(cell.buffered(), nWanted);
    if (nCount > 0) {
        std::memcpy(pTarget, cell.buffer.data() + cell.nBegin, nCount);
        cell.nBegin += nCount;
    }
    if (cell.nBegin == cell.nEnd) {
        cell.nBegin = cell.nEnd = 0;
    }
    return nCount;
}

// Moves the buffered bytes to the front and makes room for at least nRoom more.
void makeRoom(StreamCell& cell, std::size_t nRoom) {
    if (cell.nBegin > 0) {
        std::memmove(cell.buffer.data(), cell.buffer.data() + cell.nBegin, cell.buffered());
        cell.nEnd -= cell.nBegin;
        cell.nBegin = 0;
    }
    if (cell.buffer.size() < cell.nEnd + nRoom) {
        cell.buffer.resize(cell.nEnd + nRoom);
    }
}

ssize_t receiveOnce(int nFd, char* pTarget, std::size_t nSize, int nFlags) {
    return posix::recv(nFd, pTarget, nSize, nFlags);
}

// One receive into the buffer's free space; what the call returned.
ssize_t fillBuffer(StreamCell& cell, std::size_t nAtLeast, int nFlags) {
    makeRoom(cell, std::max(nAtLeast, kReadBufferSize));
    ssize_t n = receiveOnce(cell.fd, cell.buffer.data() + cell.nEnd, cell.buffer.size() - cell.nEnd,
                            nFlags);
    if (n > 0) {
        cell.nEnd += static_cast<std::size_t>(n);
    }
    return n;
}

}  // namespace

void* newCell(int nFd) {
    return new StreamCell(nFd);
}

int cellFd(const void* pCell) {
    return pCell ? static_cast<const StreamCell*>(pCell)->fd : -1;
}

void* openCellOrNull(void* pCell) {
    return cellFd(pCell) >= 0 ? pCell : 0;
}

void openCell(void*& pCell, int nFd, void (*pfnSetNoDelay)(int)) {
    if (pCell == 0) {
        pCell = newCell(-1);
    }
    StreamCell& cell = *static_cast<StreamCell*>(pCell);
    cell.fd = nFd;
    cell.nBegin = cell.nEnd = 0;
    cell.bComplete = false;
    cell.pfnSetNoDelay = pfnSetNoDelay;
    cell.bSent = false;
    cell.bNoDelaySet = false;
    cell.nReceiveBoundUs = cell.nSendBoundUs = 0;
    cell.bDropped = false;
    cell.bAccepted = false;
    if (cell.nTimeoutMs > 0 && !cell.bDeadline) {
        cell.bDeadline = true;
        cell.bEstablishing = true;
        cell.deadline = Clock::now() + std::chrono::milliseconds(cell.nTimeoutMs);
    }
    if (cell.timed()) {
        // SO_SNDTIMEO also bounds a blocking connect (TCP and local stream sockets, Linux). The
        // receive bound is set by the first receive that blocks: a sender never pays for it.
        setBound(cell, SO_SNDTIMEO, std::max(usLeft(cell, Clock::now()), 1000LL));
    }
}

void closeCell(void*& pCell) {
    if (pCell) {
        StreamCell* pStream = static_cast<StreamCell*>(pCell);
        WriteSpan::sendBeforeRelease(pStream);
        closeFd(pStream->fd);
        pStream->fd = -1;
        endEstablishment(*pStream);
        if (!pStream->timed()) {
            releaseCell(pCell);
        }
    }
}

void dropSocket(void* pCell) {
    if (pCell) {
        StreamCell* pStream = static_cast<StreamCell*>(pCell);
        closeFd(pStream->fd);
        pStream->fd = -1;
    }
}

void freeCell(void*& pCell) {
    closeCell(pCell);
    if (pCell) {
        releaseCell(pCell);
    }
}

void setCellTimeout(void*& pCell, int nMilliseconds) {
    if (nMilliseconds < 0) {
        nMilliseconds = 0;
    }
    if (pCell == 0) {
        if (nMilliseconds == 0) {
            return;
        }
        pCell = newCell(-1);
    }
    StreamCell& cell = *static_cast<StreamCell*>(pCell);
    cell.nTimeoutMs = nMilliseconds;
    if (cell.fd >= 0 && !cell.bDeadline) {
        setBound(cell, SO_SNDTIMEO, nMilliseconds * 1000LL);
        setBound(cell, SO_RCVTIMEO, nMilliseconds * 1000LL);
    }
}

int cellTimeout(const void* pCell) {
    return pCell ? static_cast<const StreamCell*>(pCell)->nTimeoutMs : 0;
}

void endCellBy(void*& pCell, std::chrono::steady_clock::time_point deadline) {
    if (pCell == 0) {
        pCell = newCell(-1);
    }
    StreamCell& cell = *static_cast<StreamCell*>(pCell);
    cell.bDeadline = true;
    cell.bEstablishing = false;
    cell.deadline = deadline;
}

void markAccepted(void* pCell) {
    if (pCell) {
        static_cast<StreamCell*>(pCell)->bAccepted = true;
    }
}

bool droppedAccepted(const void* pCell) {
    const StreamCell* pStream = static_cast<const StreamCell*>(pCell);
    return pStream != 0 && pStream->bDropped && pStream->bAccepted;
}

bool takeDropped(void* pCell) {
    if (pCell == 0 || !static_cast<StreamCell*>(pCell)->bDropped ||
        static_cast<StreamCell*>(pCell)->bAccepted) {
        return false;
    }
    static_cast<StreamCell*>(pCell)->bDropped = false;
    return true;
}

int establishMsLeft(const void* pCell) {
    if (pCell == 0 || !static_cast<const StreamCell*>(pCell)->timed()) {
        return -1;
    }
    long long nUs = usLeft(*static_cast<const StreamCell*>(pCell), Clock::now());
    return nUs > 0 ? static_cast<int>((nUs + 999) / 1000) : 0;
}

void releaseCell(void*& pCell) {
    StreamCell* pStream = static_cast<StreamCell*>(pCell);
    WriteSpan::sendBeforeRelease(pStream);
    pCell = 0;
    delete pStream;
}

void takePeerCredentials(void* pCell) {
    StreamCell* pStream = static_cast<StreamCell*>(pCell);
    ucred peer;
    socklen_t nLength = sizeof peer;
    if (pStream == 0 || ::getsockopt(pStream->fd, SOL_SOCKET, SO_PEERCRED, &peer, &nLength) != 0 ||
        nLength != sizeof peer || peer.pid <= 0) {
        return;
    }
    pStream->bPeerKnown = true;
    pStream->nPeerPid = static_cast<int>(peer.pid);
    pStream->nPeerUid = static_cast<unsigned int>(peer.uid);
    pStream->nPeerGid = static_cast<unsigned int>(peer.gid);
}

void closeFd(int nFd) {
    if (nFd >= 0) {
        ::close(nFd);
    }
}

int finishConnect(MirelConnection& connection, void*& pCell, int nConnectError) {
    StreamCell& cell = *static_cast<StreamCell*>(pCell);
    if (nConnectError != 0) {
        int nError = failure(cell, nConnectError);
        cell.bDropped = false;  // nothing was established
        closeCell(pCell);
        return nError;
    }
    try {
        SpanPause pause;
        connection.connectToService();
    } catch (const MirelSupport::MirelException&) {
        if (cell.bDropped) {
            // Not a refusal: the handshake ran out of time and its primitive closed the socket.
            cell.bDropped = false;
            endEstablishment(cell);
            return ETIMEDOUT;
        }
        closeCell(pCell);
        throw;
    }
    endEstablishment(cell);
    return 0;
}

long streamSend(const MirelConnection* pOwner, int nEstablished, void* pCell, const char* buf,
                long bufLen, long* error) {
    StreamCell* pStream = start(nEstablished, pCell, error);
    if (pStream == 0 || bufLen <= 0) {
        return 0;
    }
    if (WriteSpan* pSpan = WriteSpan::gathering(pOwner)) {
        if (pStream->timed()) {
            WriteSpan::operationStart(pOwner);  // the operation begins here at the latest
        }
        pSpan->gather(pStream, buf, static_cast<std::size_t>(bufLen));
        return bufLen;
    }
    iovec piece;
    piece.iov_base = const_cast<char*>(buf);
    piece.iov_len = static_cast<std::size_t>(bufLen);
    Clock::time_point start;
    if (pStream->timed()) {
        start = Clock::now();
    }
    long nError = sendPieces(*pStream, &piece, 1, start);
    if (nError != 0) {
        *error = nError;
        return -1;
    }
    return bufLen;
}

long sendPieces(StreamCell& cell, iovec* pPieces, int nPieces, Clock::time_point start) {
    if (cell.fd < 0) {
        return ENOTCONN;
    }
    if (cell.bSent && !cell.bNoDelaySet && cell.pfnSetNoDelay) {
        cell.pfnSetNoDelay(cell.fd);
        cell.bNoDelaySet = true;
    }
    cell.bSent = true;
    while (nPieces > 0) {
        if (!boundCall(cell, SO_SNDTIMEO, start)) {
            return drop(cell);
        }
        ssize_t n;
        if (nPieces == 1) {
            n = posix::send(cell.fd, pPieces->iov_base, pPieces->iov_len, MSG_NOSIGNAL);
        } else {
            msghdr message;
            std::memset(&message, 0, sizeof message);
            message.msg_iov = pPieces;
            message.msg_iovlen = static_cast<std::size_t>(std::min(nPieces, IOV_MAX));
            n = posix::sendMsg(cell.fd, &message, MSG_NOSIGNAL);
        }
        if (n < 0) {
            return failure(cell, errno);
        }
        // A partial send: drop what went out and go on with the rest.
        std::size_t nDone = static_cast<std::size_t>(n);
        cell.nSent += nDone;
        while (nPieces > 0 && nDone >= pPieces->iov_len) {
            nDone -= pPieces->iov_len;
            ++pPieces;
            --nPieces;
        }
        if (nPieces > 0) {
            pPieces->iov_base = static_cast<char*>(pPieces->iov_base) + nDone;
            pPieces->iov_len -= nDone;
        }
    }
    return 0;
}

long streamReceive(const MirelConnection* pOwner, int nEstablished, void* pCell, char* bufPtr,
                   long toRead, long* error, bool bWaitForAll) {
    StreamCell* pStream = start(nEstablished, pCell, error);
    if (pStream == 0 || toRead <= 0) {
        return 0;
    }
    if ((*error = WriteSpan::sendBeforeReceive(pStream)) != 0) {
        return -1;
    }
    std::size_t nWanted = static_cast<std::size_t>(toRead);
    std::size_t nTotal = takeBuffered(*pStream, bufPtr, nWanted);
    Clock::time_point start;
    if (nTotal < nWanted && pStream->timed()) {
        start = WriteSpan::operationStart(pOwner);
    }
    while (nTotal < nWanted) {
        if (nTotal > 0 && !bWaitForAll) {
            break;
        }
        if (pStream->bComplete) {
            return -1;  // the message has ended: *error stays 0
        }
        if (!boundCall(*pStream, SO_RCVTIMEO, start)) {
            *error = drop(*pStream);
            return -1;
        }
        std::size_t nMissing = nWanted - nTotal;
        // A large read goes straight to the caller; a small one takes what has arrived, so
        // the next small reads need no system call.
        ssize_t n = nMissing >= kReadBufferSize
                        ? receiveOnce(pStream->fd, bufPtr + nTotal, nMissing, 0)
                        : fillBuffer(*pStream, 0, 0);
        if (n == 0) {
            *error = ENOTCONN;
            return -1;
        }
        if (n < 0) {
            *error = failure(*pStream, errno);
            return -1;
        }
        nTotal += nMissing >= kReadBufferSize ? static_cast<std::size_t>(n)
                                              : takeBuffered(*pStream, bufPtr + nTotal, nMissing);
    }
    return static_cast<long>(nTotal);
}

bool streamPeek(const MirelConnection* pOwner, int nEstablished, void* pCell, void* pBuffer,
                int& nSize, int& nErrorCode) {
    long nError = 0;
    StreamCell* pStream = start(nEstablished, pCell, &nError);
    nErrorCode = static_cast<int>(nError);
    if (pStream == 0 || nSize <= 0) {
        nSize = 0;
        return false;
    }
    if ((nErrorCode = static_cast<int>(WriteSpan::sendBeforeReceive(pStream))) != 0) {
        nSize = 0;
        return false;
    }
    std::size_t nWanted = static_cast<std::size_t>(nSize);
    if (pStream->buffered() < nWanted && !pStream->bComplete) {
        // Blocks only when nothing is buffered; otherwise it adds what has arrived since.
        bool bHave = pStream->buffered() > 0;
        if (!bHave && pStream->timed() &&
            !boundCall(*pStream, SO_RCVTIMEO, WriteSpan::operationStart(pOwner))) {
            nSize = 0;
            nErrorCode = drop(*pStream);
            return false;
        }
        ssize_t n = fillBuffer(*pStream, nWanted, bHave ? MSG_DONTWAIT : 0);
        if (n < 0 && !bHave) {
            nSize = 0;
            nErrorCode = failure(*pStream, errno);
            return false;
        }
    }
    std::size_t nCount = std::min(pStream->buffered(), nWanted);
    std::memcpy(pBuffer, pStream->buffer.data() + pStream->nBegin, nCount);
    nSize = static_cast<int>(nCount);
    return nCount > 0;
}

Arrival takeArrived(void* pCell, std::size_t nLimit, bool bPeerDone) {
    Arrival arrival = {0, false, 0};
    StreamCell* pStream = static_cast<StreamCell*>(openCellOrNull(pCell));
    while (pStream != 0 && arrival.nTaken < nLimit) {
        std::size_t nRoom =
            std::min(std::max(kReadBufferSize, pStream->buffered()), nLimit - arrival.nTaken);
        // A quarter more each time rather than twice: a large message costs little more memory
        // than its size.
        std::size_t nNeed = pStream->nEnd + nRoom;
        if (pStream->buffer.capacity() < nNeed) {
            pStream->buffer.reserve(nNeed + nNeed / 4);
        }
        makeRoom(*pStream, nRoom);
        ssize_t n =
            receiveOnce(pStream->fd, pStream->buffer.data() + pStream->nEnd, nRoom, MSG_DONTWAIT);
        if (n > 0) {
            pStream->nEnd += static_cast<std::size_t>(n);
            arrival.nTaken += static_cast<std::size_t>(n);
            if (static_cast<std::size_t>(n) < nRoom) {
                arrival.bEnded = bPeerDone;
                break;
            }
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;
        }
        arrival.bEnded = true;
        arrival.nError = n < 0 ? errno : 0;
        break;
    }
    return arrival;
}

bool lingerOnClose(void* pCell, int nMsLeft) {
    StreamCell* pStream = static_cast<StreamCell*>(pCell);
    if (pStream == 0 || pStream->nSent <= kLingerAbove) {
        return false;
    }
    linger wait;
    wait.l_onoff = 1;
    // Whole seconds, at least one: a linger of 0 would reset the connection instead.
    wait.l_linger = std::max(1, (std::max(0, nMsLeft) + 999) / 1000);
    return ::setsockopt(pStream->fd, SOL_SOCKET, SO_LINGER, &wait, sizeof wait) == 0;
}

void shutdownStream(void* pCell) {
    if (cellFd(pCell) >= 0) {
        ::shutdown(static_cast<StreamCell*>(pCell)->fd, SHUT_RDWR);
    }
}

}  // namespace detail
}  // namespace MirelNet
