// mnet demo: the whole road of a notification on every transport, in one process.
//
// One sink per transport runs at the same time, each with one timing callback; a proxy
// dependent per sink sits in the process-wide registry. Notifications go out one at a time:
// the main thread stamps the time, calls remoteNotify, and waits on the callback's event
// until the callback has seen that notification's id (or the time-out passes). The callback
// stamps the arrival on the sink's thread just before the library sets its event.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "Commands.hpp"
#include "MirelLibraryCallbackSink.hpp"
#include "MirelProxyDependentContainer.hpp"
#include "Report.hpp"

using MirelNet::MirelConnection;
using MirelNet::MirelLibraryCallbackSink;
using MirelNet::MirelNotificationCallback;
using MirelNet::MirelProxyDependent;
using MirelNet::MirelProxyDependentContainer;
using MirelSupport::MirelException;
using MirelSupport::MirelNotification;
using MirelSupport::MirelSmartPointer;

namespace mnettool {

namespace {

typedef std::chrono::steady_clock Clock;

const char* const kTypeVariable = "QVINTF_CALLB_CONN_TYPE";

// Reads the default content (the notification's id) and notes when it arrived.
class TimingCallback : public MirelNotificationCallback {
public:
    explicit TimingCallback(int nHandle) : MirelNotificationCallback(nHandle) {}

    // True, with the arrival time, once the notification nId has been delivered.
    bool arrival(long nId, Clock::time_point* pWhen) {
        std::lock_guard<std::mutex> guard(m_lock);
        auto found = m_arrivals.find(nId);
        if (found == m_arrivals.end()) {
            return false;
        }
        *pWhen = found->second;
        return true;
    }

protected:
    void doCallback(MirelSmartPointer<MirelConnection>& spConnection) override {
        long nId = spConnection->receiveLong();
        Clock::time_point now = Clock::now();
        std::lock_guard<std::mutex> guard(m_lock);
        m_arrivals.emplace(nId, now);
    }

private:
    std::mutex m_lock;  // guards m_arrivals
    std::map<long, Clock::time_point> m_arrivals;
};

struct Lane {
    DemoRow row;
    MirelSmartPointer<MirelLibraryCallbackSink> spSink;
    MirelSmartPointer<TimingCallback> spCallback;
    int nHandle = 0;
};

// Sets the variable that the next sink reads, or removes it when pszValue is null.
void setTransportVariable(const char* pszValue) {
    if (pszValue) {
        ::setenv(kTypeVariable, pszValue, 1);
    } else {
        ::unsetenv(kTypeVariable);
    }
}

// Starts the lane's sink and registers its callback and proxy. False with a note on failure.
bool startLane(Lane& lane) {
    try {
        setTransportVariable(lane.row.sTransport.c_str());
        lane.spSink = new MirelLibraryCallbackSink("mnet-demo-" + lane.row.sTransport);
    } catch (const MirelException& e) {
        lane.row.sNote = "the sink did not start: " + describeFailure(e.getText(), e.getCode());
        return false;
    }
    lane.row.sAddress = lane.spSink->getCallbackAddress();
    lane.nHandle = lane.spSink->getCallbackContainer().getNewId();
    lane.spCallback = new TimingCallback(lane.nHandle);
    lane.spSink->getCallbackContainer().add(
        MirelSmartPointer<MirelNotificationCallback>(lane.spCallback.operator->()));
    MirelProxyDependentContainer::getInstance().add(MirelSmartPointer<MirelProxyDependent>(
        new MirelProxyDependent(lane.row.sAddress, lane.nHandle)));
    return true;
}

// Waits until the callback has seen nId or the deadline passes; the arrival in *pWhen.
bool awaitDelivery(TimingCallback& callback, long nId, Clock::time_point deadline,
                   Clock::time_point* pWhen) {
    for (;;) {
        if (callback.arrival(nId, pWhen)) {
            return true;
        }
        Clock::time_point now = Clock::now();
        if (now >= deadline) {
            return false;
        }
        auto remaining =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1;
        // Set by any delivery, also a late one of an earlier id: look again after each.
        if (callback.wait(static_cast<int>(remaining))) {
            callback.reset();
        }
    }
}

void runLane(Lane& lane, const DemoOptions& options) {
    std::string sFirstFailure;
    int nFailures = 0;
    int nLate = 0;
    for (int i = 0; i < options.nCount; ++i) {
        MirelSmartPointer<MirelProxyDependent> spProxy =
            MirelProxyDependentContainer::getInstance().lookup(lane.row.sAddress, lane.nHandle);
        lane.spCallback->reset();
        Clock::time_point start = Clock::now();
        try {
            spProxy->remoteNotify(MirelNotification(i));
        } catch (const MirelException& e) {
            if (nFailures++ == 0) {
                sFirstFailure = describeFailure(e.getText(), e.getCode());
            }
            continue;
        }
        ++lane.row.nSent;
        Clock::time_point arrived;
        if (awaitDelivery(*lane.spCallback, i,
                          start + std::chrono::milliseconds(options.nTimeoutMs), &arrived)) {
            ++lane.row.nDelivered;
            lane.row.latenciesUs.push_back(
                std::chrono::duration<double, std::micro>(arrived - start).count());
        } else {
            ++nLate;
        }
    }
    if (nFailures > 0) {
        lane.row.sNote =
            std::to_string(nFailures) + " sends failed, the first with: " + sFirstFailure;
    } else if (nLate > 0) {
        lane.row.sNote = std::to_string(nLate) + " not delivered within " +
                         std::to_string(options.nTimeoutMs) + " ms";
    }
}

}  // namespace

int runDemo(const DemoOptions& options) {
    std::vector<Lane> lanes(3);
    lanes[0].row.sTransport = "pipe";
    lanes[1].row.sTransport = "socket";
    lanes[2].row.sTransport = "udp";

    std::string sWhyNoPipe;
    bool bPipe = prepareSharedServiceDir(&sWhyNoPipe);

    std::printf(
        "mnet demo: %d notifications per transport, sent one at a time through proxy dependents;\n"
        "latency is the time from remoteNotify to the callback's event.\n",
        options.nCount);
    if (!bPipe) {
        std::printf(
            "note: %s.\n"
            "      The pipe transport is skipped; the network transports run. To include it:\n"
            "      %s\n",
            sWhyNoPipe.c_str(), sharedServiceDirRecipe().c_str());
        lanes[0].row.sNote = "skipped: no usable shared-service directory";
    }
    std::printf("\n");
    std::fflush(stdout);

    // The sinks read the variable on their own threads while their constructors run, so it
    // is set just before each and given back its old value once all have started.
    const char* pszOld = std::getenv(kTypeVariable);
    std::string sOld = pszOld ? pszOld : "";
    bool bStarted = true;
    for (Lane& lane : lanes) {
        if (lane.row.sTransport == "pipe" && !bPipe) {
            continue;
        }
        bStarted = startLane(lane) && bStarted;
    }
    setTransportVariable(pszOld ? sOld.c_str() : 0);

    for (Lane& lane : lanes) {
        if (lane.spSink) {
            runLane(lane, options);
        }
    }

    std::vector<DemoRow> rows;
    int nSent = 0;
    int nDelivered = 0;
    for (Lane& lane : lanes) {
        if (lane.spSink) {
            MirelProxyDependentContainer::getInstance().remove(lane.row.sAddress, lane.nHandle);
            lane.spSink = 0;
            removePipeEndpoint(lane.row.sAddress);
        }
        nSent += lane.row.nSent;
        nDelivered += lane.row.nDelivered;
        rows.push_back(lane.row);
    }
    std::fputs(formatDemoTable(rows).c_str(), stdout);

    int nExpected = 0;
    for (const Lane& lane : lanes) {
        if (lane.row.sTransport != "pipe" || bPipe) {
            nExpected += options.nCount;
        }
    }
    bool bAll = bStarted && nSent == nExpected && nDelivered == nExpected;
    if (bAll) {
        std::printf("\nall %d notifications delivered\n", nDelivered);
    } else {
        std::printf("\nFAILED: %d of %d notifications delivered\n", nDelivered, nExpected);
    }
    std::fflush(stdout);
    return bAll ? 0 : 1;
}

}  // namespace mnettool
