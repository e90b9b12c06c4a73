// The whole road of a notification: a sink in a child process, a proxy kept in this
// process's registry, remoteNotify, and the child's callback seeing the id.
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "MirelLibraryCallbackSink.hpp"
#include "MirelProxyDependentContainer.hpp"
#include "TestSupport.hpp"

using MirelNet::MirelLibraryCallbackSink;
using MirelNet::MirelProxyDependent;
using MirelNet::MirelProxyDependentContainer;
using MirelSupport::MirelNotification;
using MirelSupport::MirelSmartPointer;

namespace {

const long kNotificationId = 777;

// The child: a sink of the given type; tells the parent its address and callback id, then
// exits 0 once the callback has seen the expected id (1 otherwise, 2 when the sink failed).
int runSinkChild(const char* pszType, int nReport) {
    ::setenv("QVINTF_CALLB_CONN_TYPE", pszType, 1);
    try {
        MirelSmartPointer<MirelLibraryCallbackSink> spSink(new MirelLibraryCallbackSink("road"));
        int nId = spSink->getCallbackContainer().getNewId();
        MirelSmartPointer<mnettest::Recorder> spReader =
            mnettest::addRecorder(spSink->getCallbackContainer(), nId);
        std::string sLine = spSink->getCallbackAddress() + " " + std::to_string(nId) + "\n";
        if (::write(nReport, sLine.data(), sLine.size()) != static_cast<ssize_t>(sLine.size())) {
            return 2;
        }
        return spReader->wait(10000) && spReader->values() == std::vector<long>{kNotificationId}
                   ? 0
                   : 1;
    } catch (...) {
        return 2;
    }
}

class NotificationRoad : public ::testing::TestWithParam<const char*> {};

}  // namespace

TEST_P(NotificationRoad, ProxyInTheRegistryReachesTheSinkOfAnotherProcess) {
    if (std::string(GetParam()) == "pipe") {
        MNET_REQUIRE_SHARED_DIR();
    }
    int fds[2];
    ASSERT_EQ(0, ::pipe(fds));
    pid_t nChild = ::fork();
    ASSERT_GE(nChild, 0);
    if (nChild == 0) {
        ::close(fds[0]);
        ::_exit(runSinkChild(GetParam(), fds[1]));
    }
    ::close(fds[1]);
    char szLine[256] = {0};
    pollfd wait = {fds[0], POLLIN, 0};
    ssize_t nRead = ::poll(&wait, 1, 10000) > 0 ? ::read(fds[0], szLine, sizeof szLine - 1) : -1;
    ::close(fds[0]);
    ASSERT_GT(nRead, 0) << "the child sink did not report its address";
    char szAddress[200];
    int nId = -1;
    ASSERT_EQ(2, std::sscanf(szLine, "%199s %d", szAddress, &nId));

    MirelProxyDependentContainer& registry = MirelProxyDependentContainer::getInstance();
    registry.add(MirelSmartPointer<MirelProxyDependent>(new MirelProxyDependent(szAddress, nId)));
    MirelSmartPointer<MirelProxyDependent> spProxy = registry.lookup(szAddress, nId);
    ASSERT_TRUE(spProxy);
    spProxy->remoteNotify(MirelNotification(kNotificationId));
    registry.remove(szAddress, nId);

    int nStatus = 0;
    bool bEnded =
        mnettest::waitUntil([&] { return ::waitpid(nChild, &nStatus, WNOHANG) == nChild; }, 15000);
    if (!bEnded) {
        ::kill(nChild, SIGKILL);
        ::waitpid(nChild, &nStatus, 0);
    }
    ASSERT_TRUE(bEnded) << "the child sink never saw the notification";
    ASSERT_TRUE(WIFEXITED(nStatus));
    EXPECT_EQ(0, WEXITSTATUS(nStatus)) << "over " << szAddress;
}

INSTANTIATE_TEST_SUITE_P(Transports, NotificationRoad, ::testing::Values("pipe", "socket", "udp"));
