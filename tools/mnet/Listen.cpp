// mnet listen: a callback sink that prints every notification it receives.
//
// Signals: SIGINT and SIGTERM are blocked before the sink starts, so that its thread inherits
// the mask, and are read from a signalfd by the main thread, which then releases the sink the
// ordinary way. Callbacks run on the sink's thread; they queue what they read and wake the
// main thread through a self-pipe, and the main thread alone prints.
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
#include "Report.hpp"

using MirelNet::MirelConnection;
using MirelNet::MirelLibraryCallbackSink;
using MirelNet::MirelNotificationCallback;
using MirelSupport::MirelException;
using MirelSupport::MirelSmartPointer;

namespace mnettool {

namespace {

struct Arrival {
    long nHandle;
    long nId;
    std::chrono::system_clock::time_point when;
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

// Reads the default content, one long, and hands it to the main thread.
class QueueingCallback : public MirelNotificationCallback {
public:
    QueueingCallback(int nHandle, Inbox& inbox)
        : MirelNotificationCallback(nHandle), m_inbox(inbox) {}

protected:
    void doCallback(MirelSmartPointer<MirelConnection>& spConnection) override {
        long nId = spConnection->receiveLong();
        m_inbox.push(Arrival{getId(), nId, std::chrono::system_clock::now()});
    }

private:
    Inbox& m_inbox;
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

}  // namespace

int runListen(const ListenOptions& options) {
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    if (::pthread_sigmask(SIG_BLOCK, &stopSignals, 0) != 0) {
        std::fprintf(stderr, "mnet listen: cannot block SIGINT and SIGTERM\n");
        return 1;
    }
    int nSignalFd = ::signalfd(-1, &stopSignals, SFD_CLOEXEC);
    int wakePipe[2] = {-1, -1};
    if (nSignalFd < 0 || ::pipe2(wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        int nError = errno;
        std::fprintf(stderr, "mnet listen: %s\n",
                     describeFailure("cannot set up the signal handling.", nError).c_str());
        closeFd(nSignalFd);
        return 1;
    }

    int nResult = 0;
    std::string sAddress;
    {
        Inbox inbox(wakePipe[1]);
        MirelSmartPointer<MirelLibraryCallbackSink> spSink;
        try {
            if (!options.sType.empty()) {
                // The sink reads the variable on its own thread before its constructor returns.
                ::setenv("QVINTF_CALLB_CONN_TYPE", options.sType.c_str(), 1);
            }
            spSink = new MirelLibraryCallbackSink("mnet-listen");
        } catch (const MirelException& e) {
            std::fprintf(stderr, "mnet listen: cannot start the sink: %s\n",
                         describeFailure(e.getText(), e.getCode()).c_str());
            closeFd(nSignalFd);
            closeFd(wakePipe[0]);
            closeFd(wakePipe[1]);
            return 1;
        }
        for (int nHandle = 0; nHandle < options.nHandles; ++nHandle) {
            spSink->getCallbackContainer().add(
                MirelSmartPointer<MirelNotificationCallback>(new QueueingCallback(nHandle, inbox)));
        }
        sAddress = spSink->getCallbackAddress();

        bool bRunning = printLine(sAddress);
        long nPrinted = 0;
        while (bRunning) {
            pollfd waits[2] = {{nSignalFd, POLLIN, 0}, {wakePipe[0], POLLIN, 0}};
            if (::poll(waits, 2, -1) < 0) {
                if (errno == EINTR) {
                    continue;
                }
                break;
            }
            if (waits[0].revents != 0) {
                break;  // SIGINT or SIGTERM: a clean stop
            }
            char drain[256];
            while (::read(wakePipe[0], drain, sizeof drain) > 0) {
            }
            for (const Arrival& arrival : inbox.takeAll()) {
                if (!printLine(notificationLine(arrival.nHandle, arrival.nId,
                                                utcTimestamp(arrival.when), options.bJson))) {
                    bRunning = false;
                    break;
                }
                if (options.nCount > 0 && ++nPrinted >= options.nCount) {
                    bRunning = false;
                    break;
                }
            }
        }
        if (std::ferror(stdout)) {
            std::fprintf(stderr, "mnet listen: cannot write to standard output\n");
            nResult = 1;
        }
        // Stops the sink thread and closes the server; the callbacks go with the sink.
        spSink = 0;
    }
    removePipeEndpoint(sAddress);
    closeFd(nSignalFd);
    closeFd(wakePipe[0]);
    closeFd(wakePipe[1]);
    return nResult;
}

}  // namespace mnettool
