// mnet listen: a callback sink that prints every notification it receives.
//
// Signals: SIGINT, SIGTERM and SIGHUP are blocked before the sink starts, so that its thread
// inherits the mask, and are read from a signalfd by the main thread, which then releases the
// sink the ordinary way (a closed terminal ends it as cleanly as Ctrl-C). Callbacks run on the
// sink's thread; they queue what they read (and who sent it, where a pipe names the sender) and
// wake the main thread through a self-pipe, and the main thread alone prints.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>

#include "Commands.hpp"
#include "MirelLibraryCallbackSink.hpp"
#include "MirelPipeConnection.hpp"
#include "Report.hpp"

using MirelNet::MirelConnection;
using MirelNet::MirelLibraryCallbackSink;
using MirelNet::MirelNotificationCallback;
using MirelNet::MirelPipeConnection;
using MirelSupport::MirelException;
using MirelSupport::MirelSmartPointer;

namespace mnettool {

namespace {

struct Arrival {
    long nHandle;
    long nId;            // the content as one long, unless bytes were asked for
    std::string sBytes;  // every byte after the handle, when they were asked for
    std::chrono::system_clock::time_point when;
    Sender sender;
};

// What the callbacks received and the main thread has not printed yet.
class Inbox {
public:
    explicit Inbox(int nWakeFd) : m_nWakeFd(nWakeFd) {}

    void push(const Arrival& arrival) {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_arrivals.push_back(arrival);
        }
        char c = 1;
        // A full pipe already has a wake-up pending.
        (void)!::write(m_nWakeFd, &c, 1);
    }

    std::deque<Arrival> takeAll() {
        std::lock_guard<std::mutex> guard(m_lock);
        std::deque<Arrival> arrivals;
        arrivals.swap(m_arrivals);
        return arrivals;
    }

private:
    int m_nWakeFd;
    std::mutex m_lock;  // guards m_arrivals
    std::deque<Arrival> m_arrivals;
};

// Reads the default content, one long, or every byte after the handle, and hands it to the
// main thread.
class QueueingCallback : public MirelNotificationCallback {
public:
    QueueingCallback(int nHandle, Inbox& inbox, bool bBytes)
        : MirelNotificationCallback(nHandle), m_inbox(inbox), m_bBytes(bBytes) {}

protected:
    void doCallback(MirelSmartPointer<MirelConnection>& spConnection) override {
        Arrival arrival{getId(), 0, std::string(), std::chrono::system_clock::now(), Sender()};
        if (m_bBytes) {
            // The sink hands over a whole message held in memory: reads end at its end and
            // never wait for the sender.
            char buffer[4096];
            long nError = 0;
            long nRead;
            while ((nRead = spConnection->receive(buffer, sizeof buffer, &nError, false)) > 0) {
                arrival.sBytes.append(buffer, static_cast<std::size_t>(nRead));
            }
        } else {
            arrival.nId = spConnection->receiveLong();
        }
        MirelConnection* pConnection = spConnection;
        if (MirelPipeConnection* pPipe = dynamic_cast<MirelPipeConnection*>(pConnection)) {
            unsigned int nGid = 0;
            arrival.sender.bKnown =
                pPipe->getPeerCredentials(arrival.sender.nPid, arrival.sender.nUid, nGid);
        }
        arrival.when = std::chrono::system_clock::now();
        m_inbox.push(arrival);
    }

private:
    Inbox& m_inbox;
    bool m_bBytes;
};

// Prints and flushes one line; false when standard output is gone.
bool printLine(const std::string& sLine) {
    return std::fprintf(stdout, "%s\n", sLine.c_str()) >= 0 && std::fflush(stdout) == 0;
}

void closeFd(int nFd) {
    if (nFd >= 0) {
        ::close(nFd);
    }
}

// The descriptors of the main thread's wait: the stop signals, and the callbacks' wake-up pipe.
struct Waits {
    int nSignalFd = -1;
    int wakePipe[2] = {-1, -1};

    ~Waits() {
        closeFd(nSignalFd);
        closeFd(wakePipe[0]);
        closeFd(wakePipe[1]);
    }
};

// Blocks SIGINT, SIGTERM and SIGHUP (before the sink's thread exists, so that it inherits the
// mask) and opens the descriptors. False after printing why.
bool prepareWaits(Waits* pWaits) {
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    if (::pthread_sigmask(SIG_BLOCK, &stopSignals, 0) != 0) {
        std::fprintf(stderr, "mnet listen: cannot block SIGINT, SIGTERM and SIGHUP\n");
        return false;
    }
    pWaits->nSignalFd = ::signalfd(-1, &stopSignals, SFD_CLOEXEC);
    if (pWaits->nSignalFd < 0 || ::pipe2(pWaits->wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        int nError = errno;
        std::fprintf(stderr, "mnet listen: %s\n",
                     describeFailure("cannot set up the signal handling.", nError).c_str());
        return false;
    }
    return true;
}

// True when the sink about to start is a pipe sink: the variable as the sink reads it.
bool startsPipeSink() {
    const char* pszType = std::getenv("QVINTF_CALLB_CONN_TYPE");
    return pszType == 0 ||
           (std::strcmp(pszType, "socket") != 0 && std::strcmp(pszType, "udp") != 0);
}

// Starts the sink; null after printing why it did not start. For a pipe sink whose directory
// is missing or closed to this user, the line also names the directory and how to make it.
MirelSmartPointer<MirelLibraryCallbackSink> startSink(const ListenOptions& options) {
    // The sink reads the variables on its own thread before its constructor returns.
    if (!options.sType.empty()) {
        ::setenv("QVINTF_CALLB_CONN_TYPE", options.sType.c_str(), 1);
    }
    if (!options.sBind.empty()) {
        ::setenv("MIREL_SINK_ADDRESS", options.sBind.c_str(), 1);
    }
    try {
        return MirelSmartPointer<MirelLibraryCallbackSink>(
            new MirelLibraryCallbackSink("mnet-listen"));
    } catch (const MirelException& e) {
        std::string sLine =
            "mnet listen: cannot start the sink: " + describeFailure(e.getText(), e.getCode());
        std::string sWhy;
        SharedDirState state =
            startsPipeSink() ? checkSharedServiceDir(&sWhy) : SharedDirState::Usable;
        if (state != SharedDirState::Usable) {
            std::string sRemedy = state == SharedDirState::Missing
                                      ? "create it with '" + sharedServiceDirRecipe() + "'"
                                      : "members of the group " + std::string(kSharedServiceGroup) +
                                            " may make endpoints there";
            sLine += "; " + sWhy + ": " + sRemedy + ", or listen with --type socket or --type udp";
        }
        std::fprintf(stderr, "%s\n", sLine.c_str());
        return MirelSmartPointer<MirelLibraryCallbackSink>();
    }
}

// Prints what arrives until a stop signal, nCount notifications or the time-out.
void printArrivals(const ListenOptions& options, Waits& waits, Inbox& inbox) {
    typedef std::chrono::steady_clock Clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(options.nTimeoutSeconds);
    long nPrinted = 0;
    for (;;) {
        int nWaitMs = -1;
        if (options.nTimeoutSeconds > 0) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) {
                return;
            }
            nWaitMs = static_cast<int>(left.count());
        }
        pollfd polled[2] = {{waits.nSignalFd, POLLIN, 0}, {waits.wakePipe[0], POLLIN, 0}};
        int nReady = ::poll(polled, 2, nWaitMs);
        if (nReady < 0 && errno != EINTR) {
            return;
        }
        if (nReady <= 0) {
            continue;  // interrupted, or the time-out: looked at again above
        }
        if (polled[0].revents != 0) {
            return;  // SIGINT, SIGTERM or SIGHUP: a clean stop
        }
        char drain[256];
        while (::read(waits.wakePipe[0], drain, sizeof drain) > 0) {
        }
        for (const Arrival& arrival : inbox.takeAll()) {
            std::string sTime = utcTimestamp(arrival.when);
            std::string sLine =
                options.bHex
                    ? contentLine(arrival.nHandle, hexGroups(arrival.sBytes), sTime, options.bJson)
                    : notificationLine(arrival.nHandle, arrival.nId, sTime, options.bJson,
                                       arrival.sender);
            if (!printLine(sLine) || (options.nCount > 0 && ++nPrinted >= options.nCount)) {
                return;
            }
        }
    }
}

}  // namespace

int runListen(const ListenOptions& options) {
    Waits waits;
    if (!prepareWaits(&waits)) {
        return 1;
    }
    std::string sAddress;
    {
        Inbox inbox(waits.wakePipe[1]);
        MirelSmartPointer<MirelLibraryCallbackSink> spSink = startSink(options);
        if (!spSink) {
            return 1;
        }
        for (int nHandle = 0; nHandle < options.nHandles; ++nHandle) {
            spSink->getCallbackContainer().add(MirelSmartPointer<MirelNotificationCallback>(
                new QueueingCallback(nHandle, inbox, options.bHex)));
        }
        sAddress = spSink->getCallbackAddress();
        if (printLine(addressLine(sAddress, options.bJson))) {
            printArrivals(options, waits, inbox);
        }
        // Stops the sink thread and closes the server; the callbacks go with the sink, before
        // the inbox they write to.
        spSink = 0;
    }
    removePipeEndpoint(sAddress);
    if (std::ferror(stdout)) {
        std::fprintf(stderr, "mnet listen: cannot write to standard output\n");
        return 1;
    }
    return 0;
}

}  // namespace mnettool
