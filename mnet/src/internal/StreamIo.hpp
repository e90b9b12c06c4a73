// Internal: the descriptor cell and the stream primitives shared by the pipe and TCP
// connections. Not installed.
//
// A descriptor cell is a heap cell holding one int descriptor, referred to by an opaque
// pointer member of its owner; null means no open socket. The owner closes the descriptor and
// frees the cell through closeCell. The stream calls retry on EINTR and never raise SIGPIPE.
#ifndef MNET_INTERNAL_STREAM_IO_HPP
#define MNET_INTERNAL_STREAM_IO_HPP

namespace MirelNet {
namespace detail {

void* newCell(int nFd);
// The descriptor in the cell, or -1 for a null cell.
int cellFd(const void* pCell);
// Closes the descriptor, frees the cell and nulls the pointer; harmless on null.
void closeCell(void*& pCell);
// close() that is not repeated on EINTR (the descriptor is gone either way on Linux).
void closeFd(int nFd);

// Writes all bufLen bytes with MSG_NOSIGNAL. Returns bufLen; -1 with *error = errno on failure
// (32, EPIPE, when the peer has gone).
long sendAll(int nFd, const char* buf, long bufLen, long* error);
// Reads toRead bytes (bWaitForAll) or what one call delivers. Returns the count; -1 with
// *error = 107 when the peer closed the stream, or errno when the call failed.
long receiveSome(int nFd, char* bufPtr, long toRead, long* error, bool bWaitForAll);
// One MSG_PEEK read of at most nSize bytes, blocking until a byte or the end arrives. True
// when at least one byte was copied; nSize = count; on failure nSize 0 and nErrorCode errno.
bool peekSome(int nFd, void* pBuffer, int& nSize, int& nErrorCode);

// Bounds every later receive on the descriptor to nTimeoutMs (0: no bound again); a receive
// that times out fails with EAGAIN.
void setReceiveTimeout(int nFd, int nTimeoutMs);
// Reads and drops what the peer still sends, until it closes its end, nTimeoutMs pass without
// a byte, or nLimit bytes were dropped. Closing a socket with unread bytes resets the
// connection, which the peer would see as a failed write.
void drainUntilClosed(int nFd, int nTimeoutMs, long nLimit);

}  // namespace detail
}  // namespace MirelNet

#endif
