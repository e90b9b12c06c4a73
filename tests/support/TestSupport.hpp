// Fixture helpers shared by the tests: unique names, free ports, raw-socket peers, an
// open-descriptor counter, and the check for the shared-service directory.
#ifndef MNET_TEST_SUPPORT_HPP
#define MNET_TEST_SUPPORT_HPP

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "MirelBufferConnection.hpp"
#include "MirelNotificationCallback.hpp"

namespace mnettest {

typedef std::vector<unsigned char> Bytes;

// The directory in which local endpoints live.
extern const char* const kSharedServiceDir;

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
bool rawSendAll(int nFd, const Bytes& bytes);
// Reads until nCount bytes arrived, the peer closed, or nTimeoutMs passed.
Bytes rawReceive(int nFd, std::size_t nCount, int nTimeoutMs = 5000);
// Closes with an abortive reset (SO_LINGER 0).
void rawReset(int nFd);

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

// A callback that reads the default content (one long) and keeps every value with the time it
// arrived; its event is set after each one (MirelNotificationCallback).
class RecordingCallback : public MirelNet::MirelNotificationCallback {
public:
    typedef std::chrono::steady_clock::time_point Time;
    explicit RecordingCallback(int nId) : MirelNotificationCallback(nId) {}
    int count();
    std::vector<long> values();
    bool saw(long nValue);
    // When nValue arrived; false when it has not.
    bool arrival(long nValue, Time* pWhen);

protected:
    void doCallback(
        MirelSupport::MirelSmartPointer<MirelNet::MirelConnection>& spConnection) override;

private:
    std::mutex m_mutex;  // guards the two vectors
    std::vector<long> m_values;
    std::vector<Time> m_times;
};

// The MirelException that action throws; one with code -1 and the text "nothing thrown" when
// it throws none.
MirelSupport::MirelException catchOf(const std::function<void()>& action);

// A host name that no resolver can encode (a label over 63 bytes): its lookup fails at once,
// without a query leaving the machine.
extern const char* const kUnresolvableHost;

// Polls pred every millisecond until it holds or nTimeoutMs passed.
bool waitUntil(const std::function<bool()>& pred, int nTimeoutMs = 5000);

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
