// Internal: the span of one typed write, which lets the library's stream transports put all
// bytes of the operation on the wire with one send. Not installed.
//
// The connection base opens a span around each typed write, and remoteNotify one around a
// whole callback message. The first span a thread opens is the open one; spans opened inside it
// for the same connection join it, spans for another connection stay apart (that connection
// sends at once). While a span is open, streamSend of its connection gathers the bytes instead
// of sending them: they are copied, except large content that the outermost span has lent (a
// string being written, which lives as long as the span), which is referenced. Copies start in
// the span itself and move to the connection's own copy area when they outgrow it: one
// contiguous send costs less than a gathered one, far beyond what the copy costs.
// finish() sends what was gathered with one call. Gathered bytes leave early only where waiting
// would be wrong: before a receive on the same socket (the peer may have to answer them first),
// before that socket is closed or given up, and before a service handshake. A span that ends by
// an exception drops what it gathered, so a failed operation leaves no half value on the stream.
// A transport that does not go through streamSend (buffers, UDP, a connection class of a user)
// never sees a span: its primitive gets one call per put, as always.
// Typed reads open a span too, so that a span is one typed operation: a connection with a
// time-out takes the start of the operation from it (operationStart), and the whole operation
// ends within the time-out.
//
// Threads: the open span is thread-local; a span is used by the thread that made it, on its
// stack, and spans end in the reverse order of their making.
#ifndef MNET_INTERNAL_WRITE_SPAN_HPP
#define MNET_INTERNAL_WRITE_SPAN_HPP

#include <chrono>
#include <cstddef>

namespace MirelNet {

class MirelConnection;

namespace detail {

struct StreamCell;

// The one text of a failed send, thrown by put and by a span whose send failed.
extern const char* const kPutFailed;

class WriteSpan;

// The open span of this thread, null when none. A pointer, so that the variable needs no
// destructor (a library unloaded with dlclose must leave no thread-exit work behind); initial-exec,
// so that reading it costs no call on the path of every typed write.
extern __thread WriteSpan* t_pOpenSpan __attribute__((tls_model("initial-exec")));

class WriteSpan {
public:
    explicit WriteSpan(const MirelConnection* pOwner)
        : m_pOwner(pOwner),
          m_bOutermost(t_pOpenSpan == nullptr),
          m_bFinished(false),
          m_bStarted(false),
          m_bGathered(false),
          m_bInCell(false),
          m_pLent(0),
          m_nLent(0) {
        if (m_bOutermost) {
            t_pOpenSpan = this;
        }
    }
    // Without finish (an exception on its way): what was gathered is dropped.
    ~WriteSpan() {
        if (m_bOutermost && !m_bFinished) {
            t_pOpenSpan = nullptr;
        }
    }

    // The outermost span sends what it gathered, and throws kPutFailed with the error number
    // when that send, or an early one, failed. A joined or apart span does nothing.
    void finish() {
        if (m_bOutermost && !m_bFinished) {
            m_bFinished = true;
            t_pOpenSpan = nullptr;
            if (m_bGathered) {
                sendLast();
            }
        }
    }
    // pData[0, nLength) outlives the outermost span and may be referenced instead of copied;
    // ignored unless this span is the outermost.
    void lend(const char* pData, std::size_t nLength) {
        if (m_bOutermost) {
            m_pLent = pData;
            m_nLent = nLength;
        }
    }

    // The open span when it gathers for pOwner, else null.
    static WriteSpan* gathering(const MirelConnection* pOwner) {
        WriteSpan* pOpen = t_pOpenSpan;
        return pOpen != nullptr && pOpen->m_pOwner == pOwner ? pOpen : nullptr;
    }
    // When the operation of pOwner began: the first time it was asked within the open span
    // that gathers for pOwner, else now (a primitive called on its own is its own operation).
    static std::chrono::steady_clock::time_point operationStart(const MirelConnection* pOwner);
    // Takes nLength > 0 bytes bound for pCell (sending at once what was gathered for another).
    void gather(StreamCell* pCell, const char* pData, std::size_t nLength);
    // Sends what the open span gathered for pCell, before a receive: 0 or the error number.
    static long sendBeforeReceive(StreamCell* pCell);
    // The same before pCell is closed or freed; the span forgets the cell.
    static void sendBeforeRelease(StreamCell* pCell);

private:
    friend class SpanPause;
    WriteSpan(const WriteSpan&);
    WriteSpan& operator=(const WriteSpan&);

    // Sends the gathered pieces to m_pCell and empties the span: 0 or the error number (also
    // kept for finish).
    long sendGathered();
    // finish's send; throws.
    void sendLast();
    char* copies();
    void copy(const char* pData, std::size_t nLength);

    // Copied pieces of one send share the span's copy area; a lent piece points into the
    // caller's memory.
    struct Piece {
        const char* pLent;  // null: a copy, at nOffset of copies()
        std::size_t nOffset;
        std::size_t nLength;
    };
    static const int kMaxPieces = 8;
    static const std::size_t kInlineSize = 256;

    const MirelConnection* m_pOwner;
    bool m_bOutermost;
    bool m_bFinished;
    bool m_bStarted;  // m_start is set
    bool m_bGathered;
    bool m_bInCell;  // the copies are in m_pCell's copy area, not in m_inline
    const char* m_pLent;
    std::size_t m_nLent;
    std::chrono::steady_clock::time_point m_start;
    // Set at the first gather, which only the outermost span sees.
    StreamCell* m_pCell;  // where the gathered pieces go; null when nothing waits
    long m_nError;        // of the first failed send
    int m_nPieces;
    std::size_t m_nCopied;
    Piece m_pieces[kMaxPieces];
    char m_inline[kInlineSize];
};

// Hides the open span while a connection announces itself to a service: the handshake's line
// must go out at once, because its answer is read before the operation goes on. What the span
// had gathered goes out first.
class SpanPause {
public:
    SpanPause();
    ~SpanPause();

private:
    SpanPause(const SpanPause&);
    SpanPause& operator=(const SpanPause&);
    WriteSpan* m_pHidden;
};

}  // namespace detail
}  // namespace MirelNet

#endif
