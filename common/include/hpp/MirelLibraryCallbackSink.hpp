// The receiving end of asynchronous notifications: a thread that owns one server (local pipe,
// TCP or UDP, chosen by QVINTF_CALLB_CONN_TYPE), reads from each sender the handle of a
// callback and invokes the callback registered under that handle in its container.
//
// Callback address (getCallbackAddress): "pipe:qvintf<pid in hex>", "socket:<ip>:<port>" or
// "udp:<ip>:<port>". A callback message is the handle as a long, then content that only the
// callback reads; nothing is sent back.
//
// Lifecycle: the constructor starts the sink thread and returns once the server is ready, or
// throws the server's MirelException (text and code unchanged) when it cannot be set up or
// opened; no thread is left behind then. The server stays open between messages, so senders
// queued in its backlog are all served. For TCP and UDP, a port in use (98) moves the sink to
// the next port (up to 32767; beyond, it gives up with 98). One sender's failure (a short
// message, a reset connection, an unknown handle, a callback that throws) is logged at level 1
// and never ends the sink. The destructor stops the loop, closes the server and joins the
// thread before the container and the server go, also while a callback runs.
//
// Threads: the sink thread runs every callback's doCallback, holding the container's lock for
// the whole delivery. Any thread may register callbacks and read the address and port. The
// sink must be released from an application thread, never from inside one of its callbacks.
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
    // Starts the sink and waits until its server is ready. Throws the server's MirelException
    // when the server cannot be set up or opened (for example the pipe server's opening
    // failure when the shared-service directory is missing).
    explicit MirelLibraryCallbackSink(const MirelString& sModuleName);
    virtual ~MirelLibraryCallbackSink();

    using MirelSupport::MirelThread::run;
    // The sink thread's body. Returns 0, or the last failure code other than 98, 104 and 4.
    virtual int run();
    // The TCP or UDP port in use (5023 unless moved); meaningless for a pipe sink.
    virtual short getCallbackSocket() const;

    MirelCallbackContainer& getCallbackContainer();
    MirelString getCallbackAddress();

protected:
    void establishCallbackServer();
    void establishDefaultCallbackServer();
    void waitForServerPort();
    // Moves a TCP or UDP sink to the next port; false for a pipe sink or past 32767.
    bool tryNextPort();
    void getMyIpAddr();

    MirelString m_sCallbackType;
    MirelString m_sIpAddr;
    MirelString m_sCallbackName;  // guarded by m_nameLock
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
    // A failed wait of the loop: moves to the next port, ends the loop (false) or prepares
    // the pause before the next try.
    bool recoverFromWaitFailure(const MirelException& e, int& rc, int& nPauseMs);
    bool isServerReady() const;

    mutable std::mutex m_nameLock;
    // The TCP or UDP server held by m_spCallbackServer (for its port and readiness); null for
    // a pipe sink. Set by the sink thread before m_bThreadStarted.
    MirelServerSocket* m_pNetServer;
    std::atomic<bool> m_bStopping;
    MirelSupport::MirelEvent
        m_stopEvent;  // set when stopping: cuts the pauses between retries short
    // Set once: the constructor has seen the server ready, or the sink thread gave up before.
    std::atomic<bool> m_bReady;
    std::atomic<bool> m_bStartFailed;
    MirelString m_sStartFailure;  // written by the sink thread before m_bStartFailed
    int m_nStartFailureCode;
};

}  // namespace MirelNet

#endif
