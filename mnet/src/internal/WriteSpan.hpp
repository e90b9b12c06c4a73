// Internal: the span of one typed write, which lets the library's stream transports put all
// bytes of the operation on the wire with one send. Not installed.
//
// The connection base opens a span around each typed write, and remoteNotify one around a
// whole callback message. The first span a thread opens is the open one; spans opened inside it
// for the same connection join it, spans for another connection stay apart (that connection
// sends at once). While a span is open, streamSend of its connection gathers the bytes instead
// of sending them: they are copied into the span, except the content that the outermost span
// has lent (a string being written, which lives as long as the span), which is referenced.
// finish() sends what was gathered with one call. Gathered bytes leave early only where waiting
// would be wrong: before a receive on the same socket (the peer may have to answer them first),
// before that socket is closed or given up, and before a service handshake. A span that ends by
// an exception drops what it gathered, so a failed operation leaves no half value on the stream.
// A transport that does not go through streamSend (buffers, UDP, a connection class of a user)
// never sees a span: its primitive gets one call per put, as always.
//
// Threads: the open span is thread-local; a span is used by the thread that made it, on its
// stack, and spans end in the reverse order of their making.
#ifndef MNET_INTERNAL_WRITE_SPAN_HPP
#define MNET_INTERNAL_WRITE_SPAN_HPP

#include <cstddef>
#include <vector>

namespace MirelNet {

class MirelConnection;

namespace detail {

struct StreamCell;

// The one text of a failed send, thrown by put and by a span whose send failed.
extern const char* const kPutFailed;

class WriteSpan {
public:
    explicit WriteSpan(const MirelConnection* pOwner);
    // Without finish (an exception on its way): what was gathered is dropped.
    ~WriteSpan();

    // The outermost span sends what it gathered, and throws kPutFailed with the error number
    // when that send, or an early one, failed. A joined or apart span does nothing.
    void finish();
    // pData[0, nLength) outlives the outermost span and may be referenced instead of copied;
    // ignored unless this span is the outermost.
    void lend(const char* pData, std::size_t nLength);

    // The open span when it gathers for pOwner, else null.
    static WriteSpan* gathering(const MirelConnection* pOwner);
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
    char* copies() { return m_overflow.empty() ? m_inline : m_overflow.data(); }
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
    StreamCell* m_pCell;  // where the gathered pieces go; null before the first
    long m_nError;        // of the first failed send
    const char* m_pLent;
    std::size_t m_nLent;
    int m_nPieces;
    std::size_t m_nCopied;
    Piece m_pieces[kMaxPieces];
    char m_inline[kInlineSize];
    std::vector<char> m_overflow;  // the copy area once m_inline is too small
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
