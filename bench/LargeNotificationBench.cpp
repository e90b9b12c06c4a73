// 5. Large notifications at once: 16 senders each notify a 4 MiB string at the same moment
// (64 MiB together, the sink's budget for senders still open), over a pipe and TCP; the
// callback reads the string. Against raw sockets doing the same: 16 senders each connect,
// write 4 MiB and close, and a receiver that reads every connection to its end, one thread per
// connection. A round ends when every message has arrived whole; a message lost or cut makes
// the line fail.
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.hpp"
#include "MirelLibraryCallbackSink.hpp"
#include "MirelNotificationCallback.hpp"
#include "MirelProxyDependent.hpp"

namespace mnetbench {
namespace {

using MirelNet::MirelConnection;
using MirelNet::MirelLibraryCallbackSink;
using MirelNet::MirelNotificationCallback;
using MirelNet::MirelProxyDependent;
using MirelSupport::MirelException;
using MirelSupport::MirelNotification;
using MirelSupport::MirelSmartPointer;
using MirelSupport::MirelString;

const int kLargeSenders = 16;
const std::size_t kLargeSize = 4u << 20;

// The content: one string of kLargeSize bytes.
class LargeProxy : public MirelProxyDependent {
public:
    LargeProxy(const MirelString& sAddress, long nHandle, const MirelString& sContent)
        : MirelProxyDependent(sAddress, nHandle), m_sContent(sContent) {}
    void addContent(MirelConnection& client, const MirelNotification&) override {
        client.transfer(m_sContent);
    }

private:
    const MirelString& m_sContent;
};

class LargeReader : public MirelNotificationCallback {
public:
    explicit LargeReader(int nId) : MirelNotificationCallback(nId) {}
    std::atomic<int> nWhole{0};

protected:
    void doCallback(MirelSmartPointer<MirelConnection>& spConnection) override {
        if (spConnection->receiveString().size() == kLargeSize) {
            ++nWhole;
        }
    }
};

bool waitFor(const std::atomic<int>& nCount, int nWanted) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (nCount.load() < nWanted) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

void mnetLarge(benchmark::State& state, bool bPipe) {
    if (bPipe && !sharedServiceDirUsable()) {
        state.SkipWithError("no shared-service directory");
        return;
    }
    ::setenv("QVINTF_CALLB_CONN_TYPE", bPipe ? "pipe" : "socket", 1);
    MirelSmartPointer<MirelLibraryCallbackSink> spSink;
    try {
        spSink = new MirelLibraryCallbackSink("mnetbench-large");
    } catch (const MirelException& e) {
        state.SkipWithError(e.getText().c_str());
        return;
    }
    MirelSmartPointer<LargeReader> spReader(new LargeReader(1));
    spSink->getCallbackContainer().add(
        MirelSmartPointer<MirelNotificationCallback>(spReader.operator->()));
    const MirelString sContent(kLargeSize, 'x');
    const MirelString sAddress = spSink->getCallbackAddress();
    std::atomic<int> nFailed(0);
    for (auto _ : state) {
        spReader->nWhole = 0;
        std::vector<std::thread> senders;
        for (int i = 0; i < kLargeSenders; ++i) {
            senders.emplace_back([&] {
                try {
                    LargeProxy(sAddress, 1, sContent).remoteNotify(MirelNotification(1));
                } catch (const MirelException&) {
                    ++nFailed;
                }
            });
        }
        for (std::thread& sender : senders) {
            sender.join();
        }
        if (nFailed != 0 || !waitFor(spReader->nWhole, kLargeSenders)) {
            state.SkipWithError("a large notification failed or was not delivered whole");
            return;
        }
    }
    state.SetItemsProcessed(kLargeSenders);
}

// Reads each connection to its end on a thread of its own and counts those that brought the
// whole message.
void rawLarge(benchmark::State& state, bool bPipe) {
    int nPort = 0;
    std::string sPath;
    if (bPipe && !sharedServiceDirUsable()) {
        state.SkipWithError("no shared-service directory");
        return;
    }
    if (bPipe) {
        sPath = std::string(kSharedServiceDir) + uniqueName("mnetbenchlarge");
    }
    int nListener = bPipe ? rawUnixListen(sPath, SOMAXCONN) : rawTcpListen(&nPort, SOMAXCONN);
    if (nListener < 0) {
        state.SkipWithError("cannot listen");
        return;
    }
    std::vector<char> content(kLargeSize + 8, 'x');
    std::atomic<int> nWhole(0);
    for (auto _ : state) {
        nWhole = 0;
        std::vector<std::thread> threads;
        for (int i = 0; i < kLargeSenders; ++i) {
            threads.emplace_back([&] {
                int nFd = bPipe ? rawUnixConnect(sPath) : rawTcpConnect(nPort, false);
                sendAll(nFd, content.data(), content.size());
                ::close(nFd);
            });
            threads.emplace_back([&] {
                int nClient = ::accept(nListener, 0, 0);
                std::vector<char> buffer(1 << 16);
                std::size_t nTotal = 0;
                for (ssize_t n; (n = ::recv(nClient, buffer.data(), buffer.size(), 0)) > 0;) {
                    nTotal += static_cast<std::size_t>(n);
                }
                ::close(nClient);
                nWhole += nTotal == kLargeSize + 8 ? 1 : 0;
            });
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
        if (nWhole != kLargeSenders) {
            state.SkipWithError("a raw message was lost");
            break;
        }
    }
    ::close(nListener);
    if (bPipe) {
        ::unlink(sPath.c_str());
    }
    state.SetItemsProcessed(kLargeSenders);
}

void registerLarge() {
    for (int nPipe = 1; nPipe >= 0; --nPipe) {
        bool bPipe = nPipe != 0;
        std::string sName = bPipe ? "pipe" : "tcp";
        Comparison c;
        c.sSection = "5. Large notifications at once";
        c.sUnit = "notifications/s";
        c.kind = RATE;
        c.dTarget = 0;
        c.sBaseLabel = "raw";
        c.sLabel = std::string(bPipe ? "pipe" : "TCP loopback") + ", " +
                   std::to_string(kLargeSenders) + " senders x 4 MiB at once";
        c.sNote = "every message delivered whole";
        c.sMnet = "large/" + sName + "/mnet";
        c.sBase = "large/" + sName + "/raw";
        compare(
            c, [bPipe](benchmark::State& s) { mnetLarge(s, bPipe); },
            [bPipe](benchmark::State& s) { rawLarge(s, bPipe); },
            [](benchmark::internal::Benchmark* b) {
                b->Iterations(scaled(4, 1))->UseRealTime()->Unit(benchmark::kMillisecond);
            });
    }
}

Registrar registrar(registerLarge);

}  // namespace
}  // namespace mnetbench
