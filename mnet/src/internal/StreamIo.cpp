#include "internal/StreamIo.hpp"

#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "MirelConnection.hpp"
#include "internal/ExchangeDeadline.hpp"
#include "internal/WriteSpan.hpp"

namespace MirelNet {
namespace detail {

namespace {

// The common start of every stream primitive: the establishment's code, then the cell.
StreamCell* start(int nEstablished, void* pCell, long* error) {
    *error = nEstablished;
    if (nEstablished != 0) {
        return 0;
    }
    if (pCell == 0) {
        *error = ENOTCONN;
        return 0;
    }
    return static_cast<StreamCell*>(pCell);
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
    ssize_t n;
    do {
        n = ::recv(nFd, pTarget, nSize, nFlags);
    } while (n < 0 && errno == EINTR);
    return n;
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

void closeCell(void*& pCell) {
    if (pCell) {
        StreamCell* pStream = static_cast<StreamCell*>(pCell);
        WriteSpan::sendBeforeRelease(pStream);
        closeFd(pStream->fd);
        releaseCell(pCell);
    }
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
    int nFd = cellFd(pCell);
    if (nConnectError != 0) {
        int nError = ExchangeDeadline::failure(nFd, nConnectError);
        closeCell(pCell);
        return nError;
    }
    ExchangeDeadline::tighten(nFd);
    try {
        SpanPause pause;
        connection.connectToService();
    } catch (const MirelSupport::MirelException&) {
        closeCell(pCell);
        throw;
    }
    return 0;
}

long streamSend(const MirelConnection* pOwner, int nEstablished, void* pCell, const char* buf,
                long bufLen, long* error) {
    StreamCell* pStream = start(nEstablished, pCell, error);
    if (pStream == 0 || bufLen <= 0) {
        return 0;
    }
    if (WriteSpan* pSpan = WriteSpan::gathering(pOwner)) {
        pSpan->gather(pStream, buf, static_cast<std::size_t>(bufLen));
        return bufLen;
    }
    iovec piece;
    piece.iov_base = const_cast<char*>(buf);
    piece.iov_len = static_cast<std::size_t>(bufLen);
    long nError = sendPieces(*pStream, &piece, 1);
    if (nError != 0) {
        *error = nError;
        return -1;
    }
    return bufLen;
}

long sendPieces(StreamCell& cell, iovec* pPieces, int nPieces) {
    if (cell.bSent && !cell.bNoDelaySet && cell.pfnSetNoDelay) {
        cell.pfnSetNoDelay(cell.fd);
        cell.bNoDelaySet = true;
    }
    cell.bSent = true;
    while (nPieces > 0) {
        ssize_t n;
        if (nPieces == 1) {
            n = ::send(cell.fd, pPieces->iov_base, pPieces->iov_len, MSG_NOSIGNAL);
        } else {
            msghdr message;
            std::memset(&message, 0, sizeof message);
            message.msg_iov = pPieces;
            message.msg_iovlen = static_cast<std::size_t>(std::min(nPieces, IOV_MAX));
            n = ::sendmsg(cell.fd, &message, MSG_NOSIGNAL);
        }
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return ExchangeDeadline::failure(cell.fd, errno);
        }
        // A partial send: drop what went out and go on with the rest.
        std::size_t nDone = static_cast<std::size_t>(n);
        while (nPieces > 0 && nDone >= pPieces->iov_len) {
            nDone -= pPieces->iov_len;
            ++pPieces;
            --nPieces;
        }
        if (nPieces > 0) {
            pPieces->iov_base = static_cast<char*>(pPieces->iov_base) + nDone;
            pPieces->iov_len -= nDone;
            if (!ExchangeDeadline::sendOn(cell.fd)) {
                return ETIMEDOUT;
            }
        }
    }
    return 0;
}

long streamReceive(int nEstablished, void* pCell, char* bufPtr, long toRead, long* error,
                   bool bWaitForAll) {
    StreamCell* pStream = start(nEstablished, pCell, error);
    if (pStream == 0 || toRead <= 0) {
        return 0;
    }
    if ((*error = WriteSpan::sendBeforeReceive(pStream)) != 0) {
        return -1;
    }
    std::size_t nWanted = static_cast<std::size_t>(toRead);
    std::size_t nTotal = takeBuffered(*pStream, bufPtr, nWanted);
    while (nTotal < nWanted) {
        if (nTotal > 0 && !bWaitForAll) {
            break;
        }
        if (pStream->bComplete) {
            return -1;  // the message has ended: *error stays 0
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
            *error = errno;
            return -1;
        }
        nTotal += nMissing >= kReadBufferSize ? static_cast<std::size_t>(n)
                                              : takeBuffered(*pStream, bufPtr + nTotal, nMissing);
    }
    return static_cast<long>(nTotal);
}

bool streamPeek(int nEstablished, void* pCell, void* pBuffer, int& nSize, int& nErrorCode) {
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
        ssize_t n = fillBuffer(*pStream, nWanted, bHave ? MSG_DONTWAIT : 0);
        if (n < 0 && !bHave) {
            nSize = 0;
            nErrorCode = errno;
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
    StreamCell* pStream = static_cast<StreamCell*>(pCell);
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

void shutdownStream(void* pCell) {
    if (pCell) {
        ::shutdown(static_cast<StreamCell*>(pCell)->fd, SHUT_RDWR);
    }
}

}  // namespace detail
}  // namespace MirelNet
