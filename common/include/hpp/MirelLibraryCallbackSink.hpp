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
/// with SOMAXCONN) and read without blocking as its bytes come; its message is whole once its
/// sender has ended it (closed, or shut down its writing half), and a whole message is
/// delivered at once, however long other senders or callbacks take. A datagram is delivered as
/// it arrives; an empty one is skipped at once.
///
/// Delivery and order: every notification whose sender's remoteNotify returned normally is
/// delivered whole (within the per-message cap below); when the sink cannot take a message, its
/// sender's call fails instead (remoteNotify with 110 by its deadline). Never a normal return
/// followed by silence. Whole messages are delivered in the order their senders were accepted;
/// a sender still writing never holds back one that has ended. So notifications sent one after
/// another (each remoteNotify returned before the next began) arrive in that order on every
/// transport, and concurrent senders' messages arrive in the order they end.
///
/// What the callback gets: the connection the message came on (a MirelPipeConnection, a
/// MirelSocketConnection or, for UDP, a MirelBufferConnection, as before), positioned after the
/// handle. Its reads are served from the bytes received and never wait on the network; a read
/// past them throws "MirelConnection::get: failed read" with code 0, as when a sender closes
/// early. A callback that keeps the connection for later keeps those bytes; the sender has gone,
/// so nothing it writes there reaches anyone.
///
/// Senders: a pipe sink names each sender by the process, user and group ids the system gave
/// for its connection at accept (MirelPipeConnection::getPeerCredentials, also for callbacks),
/// and delivers only from root, the sink's own user and the members of the shared-service
/// directory's group. MIREL_SINK_ALLOW, read while the constructor runs, is a comma list of
/// "any", "uid:N", "user:NAME" and "group:NAME" that replaces the group rule ("any": everyone);
/// a bad entry is logged once at level 1 and ignored. A refused sender's connection is closed
/// before anything is read and the refusal logged at level 1 (paced as below). TCP and UDP
/// sinks cannot name senders: any local user, and any host that reaches the address, may
/// deliver; the sink logs that at level 5 when it starts.
///
/// Limits, and what a sender gets that breaks one (each drop is logged at level 1; the records
/// about single senders are paced, at most 20 per 10 s, then one record counting the rest):
///   - 5 seconds from its accept for each stream sender still open to end its message, however
///     it trickles. One still open then gets what it sent delivered, if that holds at least the
///     handle, and its connection is closed (shut down when the callback keeps it); one that has
///     not sent a whole handle gets nothing and is closed. A sender that ended its message is
///     never cut by this deadline.
///   - 16 MiB and 64 KiB per message (the longest string and room for the values around it):
///     a longer message is dropped and its connection closed.
///   - 64 MiB for the bytes buffered for senders still open: senders are read in the order of
///     their accept while the bytes buffered for those before them stay below it; the others
///     are left to the system's flow control (their writes wait) until it frees up. Nothing is
///     dropped for it.
///   - 1,024 connections whose message is still arriving (fewer when half the descriptor limit
///     is less), and the process's descriptors: the top quarter of the descriptor limit is left
///     to the process. When an accepted connection takes a descriptor from that quarter (every
///     lower number being in use) or the count is reached, the oldest pending sender goes:
///     delivered if it has ended meanwhile, otherwise dropped and its connection closed.
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
/// the whole delivery. Any thread may register callbacks and read the address and port. A
/// release from another thread destroys the sink at once (waiting for a callback that runs). A
/// callback may release the sink's last reference too: the sink then stays alive until the
/// callback has returned, ends its loop, and is destroyed on a short-lived thread of its own.
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
    // Makes the server of one kind (a value of the source's server table).
    void createServer(int nKind, const char* pszType, const char* pszRecord);
    // The loop of the sink thread until it stops, admitting senders by pPolicy (the sink's
    // sender policy, an internal type, read before the server opened). True when the sink's
    // last reference went inside a callback (the thread then has it destroyed).
    bool serveSenders(int& rc, const void* pPolicy);

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
