// Fixture helpers shared by the tests: unique names, free ports, raw-socket peers, an
// open-descriptor counter, the check for the shared-service directory (TestSupport.cpp); a
// background runner, a log capture, a recording callback, a descriptor filler and a forked
// child with a time-out (TestFixtures.cpp). Every wait here is bounded.
#ifndef MNET_TEST_SUPPORT_HPP
#define MNET_TEST_SUPPORT_HPP

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "MirelBufferConnection.hpp"
#include "MirelCallbackContainer.hpp"
#include "MirelException.hpp"
#include "MirelNotificationCallback.hpp"

namespace mnettest {

typedef std::vector<unsigned char> Bytes;

// The directory in which local endpoints live.
extern const char* const kSharedServiceDir;

// A host name that no resolver can put into a query (its first label is longer than the 63
// bytes a label may have), so looking it up fails at once and sends nothing. Tests of a name
// that does not resolve use it.
extern const char* const kUnresolvableHost;

// A name no other test process uses at the same time ("<prefix><pid>x<n>").
std::string uniqueName(const std::string& sPrefix);

// A TCP (or UDP) port on 127.0.0.1 that was free a moment ago.
int freeTcpPort();
int freeUdpPort();

// Number of descriptors open in this process.
int countOpenFds();

// True when local endpoints can be created; otherwise the reason in *psWhy.
bool sharedServiceDirUsable(std::string* psWhy);

// The bytes written into a buffer connection so far.
Bytes bytesOf(const MirelNet::MirelBufferConnection& connection);
// "00 01 ff" style text, for readable failures.
std::string hex(const Bytes& bytes);

// Raw-socket peers.
int rawTcpConnect(int nPort, const char* pszAddress = "127.0.0.1");
int rawTcpListen(int* pnPort);  // on 127.0.0.1, port picked by the system
int rawUnixConnect(const std::string& sPath);
int rawUnixListen(const std::string& sPath);
// Connects the socket nFd, made beforehand, to nPort on 127.0.0.1 or to the socket file sPath.
bool connectInet(int nFd, int nPort);
bool connectUnix(int nFd, const std::string& sPath);
bool rawSendAll(int nFd, const Bytes& bytes);
// Reads until nCount bytes arrived, the peer closed, or nTimeoutMs passed.
Bytes rawReceive(int nFd, std::size_t nCount, int nTimeoutMs = 5000);
// Closes with an abortive reset (SO_LINGER 0).
void rawReset(int nFd);

// The low 32 bits of nValue, big-endian: how a connection writes an int or a long.
Bytes bigEndian(long nValue);
// A callback message: the handle, then one long of content, both big-endian.
Bytes callbackMessage(long nHandle, long nContent);

// Where a raw sender reaches a sink, read from its callback address ("pipe:name",
// "socket:host:port", "udp:host:port").
struct Endpoint {
    std::string sType;
    std::string sHost;  // the pipe name for a pipe sink
    int nPort = 0;
    bool datagrams() const { return sType == "udp"; }
};
Endpoint endpointOf(const std::string& sAddress);
// A connected stream (pipe, TCP) or datagram (UDP) socket to the sink; -1 on failure.
int connectTo(const Endpoint& endpoint);
// One message on a connection of its own, or one datagram.
bool sendMessage(const Endpoint& endpoint, const Bytes& bytes);

// Polls pred every millisecond until it holds or nTimeoutMs passed.
bool waitUntil(const std::function<bool()>& pred, int nTimeoutMs = 5000);

// What action threw; ("nothing thrown", -1) when it returned.
MirelSupport::MirelException catchOf(const std::function<void()>& action);

// A unique endpoint name in the shared-service directory; whatever file is at its path when
// the test ends is removed.
struct PipeName {
    explicit PipeName(const std::string& sPrefix = "pipe");
    ~PipeName();
    std::string sName;
    std::string sPath;  // the shared-service directory followed by sName
};

// Runs fn on a thread of its own. A call still blocked when the runner is destroyed (after
// finish's time-out) ends the program, since the thread may still use the test's objects.
class Background {
public:
    explicit Background(const std::function<void()>& fn);
    ~Background();
    // Waits until fn returned and joins; false when it is still running after nTimeoutMs.
    bool finish(int nTimeoutMs = 5000);
    bool done() const { return m_bDone; }
    // Waits until fn is asleep in the kernel (a blocking call, by its thread's state in /proc);
    // false when that is not seen within nTimeoutMs.
    bool waitBlocked(int nTimeoutMs = 5000) const;
    // Sends SIGUSR1 to the thread (to interrupt a blocked call).
    void interrupt();

private:
    Background(const Background&);
    Background& operator=(const Background&);
    std::atomic<bool> m_bDone;
    std::atomic<int> m_nThreadId;  // the kernel's id of the thread; 0 until it runs
    std::thread m_thread;
};

// Routes the log, up to nLevel, into a file of its own while it lives; then level 0 and
// standard error again. Tests wait on its records instead of sleeping.
class LogCapture {
public:
    explicit LogCapture(int nLevel = 9);
    ~LogCapture();
    std::string text() const;
    std::vector<std::string> linesWith(const std::string& sNeedle) const;
    // How often sNeedle occurs in the log so far.
    int count(const std::string& sNeedle) const;
    // Waits until sNeedle occurs at least nTimes; false when it does not within nTimeoutMs.
    bool waitFor(const std::string& sNeedle, int nTimes = 1, int nTimeoutMs = 5000) const;

private:
    LogCapture(const LogCapture&);
    LogCapture& operator=(const LogCapture&);
    std::string m_sPath;
};

// A callback that reads the default content (one long) and records every value, then throws
// when asked to. While held, a delivery waits inside doCallback, after reading its value and
// before recording it, until resume (at most 20 s, so a failed test cannot hang the sink).
// Any thread may call its members.
class Recorder : public MirelNet::MirelNotificationCallback {
public:
    enum Throw { NONE, MIREL, STANDARD, OTHER };  // MirelException, std::runtime_error, an int
    explicit Recorder(int nId, Throw eThrow = NONE);
    typedef std::chrono::steady_clock::time_point Time;
    int count();
    std::vector<long> values();
    bool saw(long nValue);
    // When nValue arrived; false when it has not.
    bool arrival(long nValue, Time* pWhen);
    // Holds the deliveries that come from now on.
    void hold();
    // Lets the held delivery (and the ones after it) go on. (Not named release, which would
    // take the place of the reference count's.)
    void resume();
    // Waits until a delivery is held inside doCallback.
    bool waitHeld(int nTimeoutMs = 5000);

protected:
    void doCallback(
        MirelSupport::MirelSmartPointer<MirelNet::MirelConnection>& spConnection) override;

private:
    Throw m_eThrow;
    std::mutex m_mutex;  // guards what follows
    std::condition_variable m_changed;
    std::vector<long> m_values;
    std::vector<Time> m_times;  // when each value arrived
    bool m_bHold;
    bool m_bHeld;
};

// A new recorder registered in container under nId.
MirelSupport::MirelSmartPointer<Recorder> addRecorder(MirelNet::MirelCallbackContainer& container,
                                                      int nId,
                                                      Recorder::Throw eThrow = Recorder::NONE);

// Takes every free descriptor slot, under a limit lowered to at most 1024, so that every call
// that needs a descriptor fails with EMFILE until release (or destruction) gives them back.
class DescriptorFiller {
public:
    DescriptorFiller();
    ~DescriptorFiller();
    // True when the table really is full (the last dup failed with EMFILE).
    bool full() const;
    void release();

private:
    DescriptorFiller(const DescriptorFiller&);
    DescriptorFiller& operator=(const DescriptorFiller&);
    rlimit m_saved;
    std::vector<int> m_fds;
    int m_nFillError;
};

// A forked child that runs body and ends with _exit(body's result). Fork only while the calling
// process runs no other thread; the parent may start threads afterwards. What body appends to
// its string argument comes back through wait. A child still running at destruction is killed.
class ChildProcess {
public:
    explicit ChildProcess(const std::function<int(std::string&)>& body);
    ~ChildProcess();
    // The exit status: body's result, 128 + the signal when the child died of one, or -1 when
    // it could not be started or was still running after nTimeoutMs (it is then killed).
    int wait(std::string* psReport, int nTimeoutMs = 20000);

private:
    ChildProcess(const ChildProcess&);
    ChildProcess& operator=(const ChildProcess&);
    int m_nPid;
    int m_nReport;  // read end of the report pipe; -1 once read
};

// True in a build whose UndefinedBehaviorSanitizer checks dynamic types: the first check of a
// type probes memory through a pipe, so with the descriptor table full it reports a false
// "invalid vptr" and ends the process. Tests that fill the table and then construct or call
// into polymorphic objects skip there.
bool typeChecksNeedDescriptors();

// ChildProcess(body).wait(psReport, nTimeoutMs).
int runInChild(const std::function<int(std::string&)>& body, std::string* psReport,
               int nTimeoutMs = 20000);

}  // namespace mnettest

#define MNET_REQUIRE_SHARED_DIR()                           \
    do {                                                    \
        std::string sWhy__;                                 \
        if (!::mnettest::sharedServiceDirUsable(&sWhy__)) { \
            GTEST_SKIP() << sWhy__;                         \
        }                                                   \
    } while (0)

#define MNET_SKIP_WHERE_TYPE_CHECKS_NEED_DESCRIPTORS()                                      \
    do {                                                                                    \
        if (::mnettest::typeChecksNeedDescriptors()) {                                      \
            GTEST_SKIP() << "this build's type checks need free descriptors (a full table " \
                            "makes them report a false invalid vptr)";                      \
        }                                                                                   \
    } while (0)

#endif
