/// \class MirelNet::MirelLibraryCallbackSink
/// The receiving end of asynchronous notifications: a thread that owns one server (local pipe,
/// TCP or UDP, chosen by QVINTF_CALLB_CONN_TYPE), reads from each sender the handle of a
/// callback and invokes the callback registered under that handle in its container.
///
/// Callback address (getCallbackAddress): "pipe:qvintf<pid in hex>", "socket:<ip>:<port>" or
/// "udp:<ip>:<port>". A callback message is the handle as a long, then content that only the
/// callback reads; nothing is sent back. Over a pipe or TCP one connection carries one message,
/// ended by its sender closing the connection; over UDP one datagram is one message.
///
/// Serving: one wait covers the listening socket, the stop and every connection whose message
/// is still arriving. Every sender queued is accepted at once (the pipe and TCP servers listen
/// with SOMAXCONN), its bytes are read without blocking as they come, and its message is
/// delivered once its sender has closed the connection; so no sender waits because another is
/// slow. Messages are delivered in the order they end. A datagram is delivered as it arrives; an
/// empty one is skipped at once.
///
/// What the callback gets: the connection the message came on (a MirelPipeConnection, a
/// MirelSocketConnection or, for UDP, a MirelBufferConnection, as before), positioned after the
/// handle. Its reads are served from the bytes received and never wait on the network; a read
/// past them throws "MirelConnection::get: failed read" with code 0, as when a sender closes
/// early. A callback that keeps the connection for later keeps those bytes; the sender has gone,
/// so nothing it writes there reaches anyone.
///
/// Limits, and what a sender gets that breaks one (each drop is logged at level 1; the records
/// about single senders are paced, at most 20 per 10 s, then one record counting the rest):
///   - 5 seconds from its accept for each stream sender to end its message, however it
///     trickles. A sender that still has its connection open then gets what it sent delivered,
///     if that holds at least the handle, and its connection is closed (shut down when the
///     callback keeps it); one that has not sent a whole handle gets nothing and is closed. A
///     sender that keeps its connection open after a whole message is delivered late, never
///     lost; a sender that waits to read an answer before it closes reads only the end.
///   - 16 MiB and 64 KiB per message (the longest string and room for the values around it):
///     a longer message is dropped and its connection closed.
///   - 64 MiB for the bytes of all messages still arriving: past it the largest of them is
///     dropped and its connection closed.
///   - 1,024 connections whose message is still arriving (fewer when half the descriptor limit
///     is less): past it the oldest is dropped and its connection closed.
///   - A stream that ends in a reset or an error counts as ended: what arrived is delivered.
///
/// Lifecycle: the constructor starts the sink thread and returns once the server is ready, or
/// throws the server's MirelException (text and code unchanged) when it cannot be set up or
/// opened; no thread is left behind then. The server stays open between messages. For TCP and
/// UDP, a port in use (98) moves the sink to the next port (up to 32767; beyond, it gives up
/// with 98). One sender's failure (a short message, a reset connection, an unknown handle, a
/// callback that throws) is logged at level 1 and never ends the sink; the server's own
/// failures (opening, descriptors exhausted) are retried after a pause growing from 4 ms to 1 s.
/// The destructor ends the loop at once, closing every connection still pending, and joins the
/// thread before the container and the server go; a callback that runs is waited for.
///
/// Threads: the sink thread runs every callback's doCallback, holding the container's lock for
/// the whole delivery. Any thread may register callbacks and read the address and port. The
/// sink must be released from an application thread, never from inside one of its callbacks.
#ifndef MIREL_LIBRARY_CALLBACK_SINK_HPP
#define MIREL_LIBRARY_CALLBACK_SINK_HPP

#include <atomic>
#include <mutex>

#include "MirelCallbackContainer.hpp"
#include "MirelEvent.hpp"
#include "MirelIPCServer.hpp"
#include "MirelThread.hpp"

namespace MirelNet {

class MirelServerSocket;

class MNET_API MirelLibraryCallbackSink : public MirelSupport::MirelThread {
public:
    /// Starts the sink and waits until its server is ready. Throws the server's MirelException
    /// when the server cannot be set up or opened (for example the pipe server's opening
    /// failure when the shared-service directory is missing).
    explicit MirelLibraryCallbackSink(const MirelString& sModuleName);
    virtual ~MirelLibraryCallbackSink();

    using MirelSupport::MirelThread::run;
    /// The sink thread's body. Returns 0, or the last failure code other than 98, 104 and 4.
    virtual int run();
    /// The TCP or UDP port in use (5023 unless moved); meaningless for a pipe sink.
    virtual short getCallbackSocket() const;

    /// The callbacks this sink delivers to, by handle; register them here.
    MirelCallbackContainer& getCallbackContainer();
    /// The address senders use: pipe:NAME, socket:IP:PORT or udp:IP:PORT.
    MirelString getCallbackAddress();

protected:
    /// Makes the server of the type QVINTF_CALLB_CONN_TYPE names (on the sink's thread).
    void establishCallbackServer();
    /// Makes the pipe server, the default.
    void establishDefaultCallbackServer();
    /// Waits until a TCP or UDP server has opened and its port is known.
    void waitForServerPort();
    /// Moves a TCP or UDP sink to the next port; false for a pipe sink or past 32767.
    bool tryNextPort();
    /// Finds the IPv4 address that the callback address names.
    void getMyIpAddr();

    MirelString m_sCallbackType;
    MirelString m_sIpAddr;
    MirelString m_sCallbackName;  ///< guarded by m_nameLock
    MirelSmartPointer<MirelIPCServer> m_spCallbackServer;
    std::atomic<bool> m_bThreadStarted;
    std::atomic<short> m_nCallbackServerPort;
    MirelCallbackContainer m_callbackContainer;

private:
    MirelLibraryCallbackSink();
    MirelLibraryCallbackSink(const MirelLibraryCallbackSink&);
    MirelLibraryCallbackSink& operator=(const MirelLibraryCallbackSink&);

    void setCallbackName(const MirelString& sName);
    void reportStartFailure(const MirelString& sText, int nCode);
    /// A failed wait of the loop: moves to the next port (bPause false), ends the loop (false)
    /// or asks for the growing pause before the next try (bPause true).
    bool recoverFromWaitFailure(const MirelException& e, int& rc, bool& bPause);
    /// The thread's first step: sets up the server. False, with the thread's result in rc, when
    /// that failed (the constructor then reports the failure).
    bool setUpServer(int& rc);
    bool isServerReady() const;

    mutable std::mutex m_nameLock;
    /// The TCP or UDP server held by m_spCallbackServer (for its port and readiness); null for
    /// a pipe sink. Set by the sink thread before m_bThreadStarted.
    MirelServerSocket* m_pNetServer;
    std::atomic<bool> m_bStopping;
    MirelSupport::MirelEvent
        m_stopEvent;  ///< set when stopping: cuts the pauses between retries short
    /// Set once: the constructor has seen the server ready, or the sink thread gave up before.
    std::atomic<bool> m_bReady;
    std::atomic<bool> m_bStartFailed;
    MirelString m_sStartFailure;  ///< written by the sink thread before m_bStartFailed
    int m_nStartFailureCode;
};

}  // namespace MirelNet

#endif
