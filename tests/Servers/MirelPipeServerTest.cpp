#include <grp.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <future>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "MirelLogging.hpp"
#include "MirelPipeConnection.hpp"
#include "MirelPipeServer.hpp"
#include "TestSupport.hpp"

using namespace MirelNet;
using MirelSupport::MirelLogging;

namespace {

typedef MirelSmartPointer<MirelConnection> Connection;

const char* const kPrepareFailed = "MirelPipeServer::init: failed to prepare pipe.";

using mnettest::PipeName;

// The log at level 9 in a file of its own, so a test can see where the server is.
struct LogCapture : mnettest::LogCapture {
    // True once the server has logged its nth "ready" record: the waiter is then inside the
    // wait, past the point where close can miss it.
    bool waitReady(const std::string& sName, int nTimes = 1) const {
        return waitFor(sName + " ready, accepting connections", nTimes);
    }
};

std::future<Connection> waitAsync(MirelIPCServer* pServer) {
    return std::async(std::launch::async, [pServer] { return pServer->waitForClient(false); });
}

bool finishes(std::future<Connection>& result, int nSeconds = 5) {
    return result.wait_for(std::chrono::seconds(nSeconds)) == std::future_status::ready;
}

// Runs action on a thread of its own and reports whether it ended in time; a hung action is
// left behind so the test fails instead of blocking.
bool endsWithin(const std::function<void()>& action, int nSeconds = 5) {
    std::shared_ptr<std::promise<void>> done = std::make_shared<std::promise<void>>();
    std::future<void> finished = done->get_future();
    std::thread([action, done] {
        action();
        done->set_value();
    }).detach();
    return finished.wait_for(std::chrono::seconds(nSeconds)) == std::future_status::ready;
}

using mnettest::catchOf;

struct stat statOf(const std::string& sPath) {
    struct stat info;
    std::memset(&info, 0, sizeof info);
    ::lstat(sPath.c_str(), &info);
    return info;
}

bool exists(const std::string& sPath) {
    struct stat info;
    return ::lstat(sPath.c_str(), &info) == 0;
}

// A group other than the one the process runs in.
const group* someOtherGroup() {
    const char* const names[] = {"daemon", "nogroup", "bin", "sys"};
    for (const char* pszName : names) {
        const group* pGroup = ::getgrnam(pszName);
        if (pGroup && pGroup->gr_gid != ::getgid()) {
            return pGroup;
        }
    }
    return 0;
}

// Exposes init, so a test can re-open the endpoint without a second thread.
class ReopenablePipeServer : public MirelPipeServer {
public:
    explicit ReopenablePipeServer(const MirelString& sName) : MirelPipeServer(sName) {}
    using MirelPipeServer::init;
};

void ignoreSignal(int) {}

void spinFor(std::chrono::microseconds duration) {
    std::chrono::steady_clock::time_point end = std::chrono::steady_clock::now() + duration;
    while (std::chrono::steady_clock::now() < end) {
    }
}

}  // namespace

TEST(MirelPipeServer, OpensEndpointAsSocketFileWithMode0770) {
    MNET_REQUIRE_SHARED_DIR();
    PipeName endpoint;
    EXPECT_EQ(std::string(mnettest::kSharedServiceDir) + "abc",
              MirelPipeServer::getFullPipeName("abc"));
    MirelSmartPointer<MirelPipeServer> spServer(new MirelPipeServer(endpoint.sName));
    spServer->waitForInit();

    struct stat info = statOf(endpoint.sPath);
    EXPECT_TRUE(S_ISSOCK(info.st_mode));
    EXPECT_EQ(0770u, info.st_mode & 07777u);
}

TEST(MirelPipeServer, GroupGrantGivesEndpointToAnExistingGroupOnlyWithPrivilegesOne) {
    MNET_REQUIRE_SHARED_DIR();
    const group* pGroup = someOtherGroup();
    if (pGroup == 0) {
        GTEST_SKIP() << "no group other than the process's own exists";
    }
    const std::string sGroup = pGroup->gr_name;
    const gid_t nGroup = pGroup->gr_gid;
    LogCapture log;
    PipeName granted;
    PipeName notGranted;
    MirelSmartPointer<MirelPipeServer> spGranted(new MirelPipeServer(granted.sName, 1, sGroup));
    MirelSmartPointer<MirelPipeServer> spNotGranted(
        new MirelPipeServer(notGranted.sName, 7, sGroup));

    EXPECT_EQ(nGroup, statOf(granted.sPath).st_gid);
    EXPECT_EQ(::getuid(), statOf(granted.sPath).st_uid);
    EXPECT_EQ(0770u, statOf(granted.sPath).st_mode & 07777u);
    EXPECT_NE(nGroup, statOf(notGranted.sPath).st_gid);
    EXPECT_EQ(
        1, log.count("MirelPipeServer::init () : successfully granted rw access to the NamedPipe "
                     "for OS Group : " +
                     sGroup));
}

TEST(MirelPipeServer, MissingGroupIsLoggedAndServerStillAcceptsClients) {
    MNET_REQUIRE_SHARED_DIR();
    LogCapture log;
    PipeName endpoint;
    MirelSmartPointer<MirelPipeServer> spServer(
        new MirelPipeServer(endpoint.sName, 1, "nosuchgroupxq"));
    EXPECT_EQ(1,
              log.count("MirelPipeServer::init () : failed to grant rw access to the NamedPipe for "
                        "OS Group : nosuchgroupxq"));

    Connection spClient(new MirelPipeConnection(endpoint.sName));
    spClient->transfer(42);
    Connection spAccepted = spServer->waitForClient(false);
    ASSERT_TRUE(spAccepted);
    EXPECT_EQ(42, spAccepted->receiveInt());
    EXPECT_TRUE(spAccepted->getLocalAccess());
    EXPECT_EQ(1u, spAccepted->getAccessRights());
}

TEST(MirelPipeServer, StaleSocketFileIsReplacedAndClientsComeOutLocalWithPrivilegesSeven) {
    MNET_REQUIRE_SHARED_DIR();
    PipeName endpoint;
    int nStale = mnettest::rawUnixListen(endpoint.sPath);
    ASSERT_GE(nStale, 0);
    ::close(nStale);  // the file stays behind, as after a crash
    ASSERT_TRUE(exists(endpoint.sPath));

    MirelSmartPointer<MirelPipeServer> spServer(new MirelPipeServer(endpoint.sName));
    Connection spClient(new MirelPipeConnection(endpoint.sName));
    spClient->transfer(5);
    Connection spAccepted = spServer->waitForClient(true);
    ASSERT_TRUE(spAccepted);
    EXPECT_EQ(5, spAccepted->receiveInt());
    EXPECT_TRUE(spAccepted->getLocalAccess());
    EXPECT_EQ(7u, spAccepted->getAccessRights());
}

TEST(MirelPipeServer, AnyEntryButADirectoryAtTheEndpointPathIsReplaced) {
    MNET_REQUIRE_SHARED_DIR();
    // A file planted at a predictable name must not keep a server from opening; a link is
    // removed, never followed.
    const std::string sTarget = "/tmp/" + mnettest::uniqueName("linktarget");
    std::ofstream(sTarget) << "keep me";
    PipeName file;
    PipeName link;
    PipeName fifo;
    std::ofstream(file.sPath) << "planted";
    ASSERT_EQ(0, ::symlink(sTarget.c_str(), link.sPath.c_str()));
    ASSERT_EQ(0, ::mkfifo(fifo.sPath.c_str(), 0600));
    for (PipeName* pEndpoint : {&file, &link, &fifo}) {
        SCOPED_TRACE(pEndpoint->sName);
        MirelSmartPointer<MirelPipeServer> spServer(new MirelPipeServer(pEndpoint->sName));
        EXPECT_TRUE(S_ISSOCK(statOf(pEndpoint->sPath).st_mode));
        Connection spClient(new MirelPipeConnection(pEndpoint->sName));
        spClient->transfer(7);
        Connection spAccepted = spServer->waitForClient(false);
        ASSERT_TRUE(spAccepted);
        EXPECT_EQ(7, spAccepted->receiveInt());
    }
    std::ifstream target(sTarget);
    std::string sContent;
    std::getline(target, sContent);
    EXPECT_EQ("keep me", sContent);
    ::unlink(sTarget.c_str());

    // A directory is never removed: the path counts as taken.
    PipeName directory;
    ASSERT_EQ(0, ::mkdir(directory.sPath.c_str(), 0700));
    MirelException e = catchOf([&] { MirelPipeServer server(directory.sName); });
    EXPECT_EQ(kPrepareFailed, e.getText());
    EXPECT_EQ(EADDRINUSE, e.getCode());
    EXPECT_TRUE(S_ISDIR(statOf(directory.sPath).st_mode));
    ::rmdir(directory.sPath.c_str());
}

TEST(MirelPipeServer, EndpointOfALiveServerIsNeverTaken) {
    MNET_REQUIRE_SHARED_DIR();
    PipeName endpoint;
    MirelSmartPointer<MirelPipeServer> spFirst(new MirelPipeServer(endpoint.sName));
    const ino_t nInode = statOf(endpoint.sPath).st_ino;
    int nFdsBefore = mnettest::countOpenFds();

    MirelException e = catchOf([&] { MirelPipeServer second(endpoint.sName); });
    EXPECT_EQ(kPrepareFailed, e.getText());
    EXPECT_EQ(EADDRINUSE, e.getCode());
    EXPECT_EQ(nInode, statOf(endpoint.sPath).st_ino);
    EXPECT_EQ(nFdsBefore, mnettest::countOpenFds());

    // The first server keeps its clients. The refused opening's trial connection reached it
    // first, as a client that sends nothing.
    Connection spClient(new MirelPipeConnection(endpoint.sName));
    spClient->transfer(11);
    Connection spTrial = spFirst->waitForClient(false);
    ASSERT_TRUE(spTrial);
    EXPECT_EQ(ENOTCONN, catchOf([&] { spTrial->receiveInt(); }).getCode());
    Connection spAccepted = spFirst->waitForClient(false);
    ASSERT_TRUE(spAccepted);
    EXPECT_EQ(11, spAccepted->receiveInt());

    // A listener of another kind (any process) is just as alive; once it has gone, its file
    // is a leftover.
    PipeName other;
    int nOther = mnettest::rawUnixListen(other.sPath);
    ASSERT_GE(nOther, 0);
    EXPECT_EQ(EADDRINUSE, catchOf([&] { MirelPipeServer server(other.sName); }).getCode());
    ::close(nOther);
    MirelSmartPointer<MirelPipeServer> spAfter(new MirelPipeServer(other.sName));
    EXPECT_TRUE(S_ISSOCK(statOf(other.sPath).st_mode));
}

TEST(MirelPipeServer, NameThatLeavesTheSharedDirectoryIsRefusedWithEinval) {
    MNET_REQUIRE_SHARED_DIR();
    const std::string sDir = mnettest::kSharedServiceDir;
    const std::string sParent = sDir.substr(0, sDir.rfind('/', sDir.size() - 2) + 1);
    const std::string sOutside = mnettest::uniqueName("outside");
    // A file one level above the directory, where such a name would reach (when this user may
    // write there), and a name that would create one.
    const std::string sPlanted = sParent + sOutside;
    const bool bPlanted = static_cast<bool>(std::ofstream(sPlanted) << "keep me");
    const std::string sCreated = sParent + sOutside + "new";
    int nFdsBefore = mnettest::countOpenFds();

    const std::string names[] = {"../" + sOutside,
                                 "../" + sOutside + "new",
                                 "a/../../" + sOutside,
                                 "..",
                                 "sub/..",
                                 "/" + sOutside,
                                 "/tmp/" + sOutside,
                                 std::string("x\0/../", 6) + sOutside};
    for (const std::string& sName : names) {
        SCOPED_TRACE(sName);
        MirelException e = catchOf([&] { MirelPipeServer server(sName); });
        EXPECT_EQ(kPrepareFailed, e.getText());
        EXPECT_EQ(EINVAL, e.getCode());
    }
    EXPECT_EQ(nFdsBefore, mnettest::countOpenFds());
    EXPECT_FALSE(exists(sCreated));
    if (bPlanted) {
        EXPECT_TRUE(S_ISREG(statOf(sPlanted).st_mode)) << "the file outside was replaced";
        ::unlink(sPlanted.c_str());
    }
    ::unlink(sCreated.c_str());

    // Dots that do not make a parent component stay inside and are accepted.
    PipeName leading;
    leading.sName = "..x" + leading.sName;
    leading.sPath = mnettest::kSharedServiceDir + leading.sName;
    PipeName trailing;
    trailing.sName += "..";
    trailing.sPath += "..";
    MirelSmartPointer<MirelPipeServer> spLeading(new MirelPipeServer(leading.sName));
    MirelSmartPointer<MirelPipeServer> spTrailing(new MirelPipeServer(trailing.sName));
    EXPECT_TRUE(S_ISSOCK(statOf(leading.sPath).st_mode));
    EXPECT_TRUE(S_ISSOCK(statOf(trailing.sPath).st_mode));
}

TEST(MirelPipeServer, FullPathLongerThan107BytesIsRefusedWithCode36) {
    MNET_REQUIRE_SHARED_DIR();
    const std::size_t nDir = std::strlen(mnettest::kSharedServiceDir);
    const std::string sName = mnettest::uniqueName("long") + std::string(120, 'n');
    const std::string sCutPath = (mnettest::kSharedServiceDir + sName).substr(0, 107);
    int nFdsBefore = mnettest::countOpenFds();

    MirelException e = catchOf([&] { MirelPipeServer server(sName); });
    EXPECT_EQ(kPrepareFailed, e.getText());
    EXPECT_EQ(ENAMETOOLONG, e.getCode());
    EXPECT_FALSE(exists(sCutPath));
    EXPECT_EQ(nFdsBefore, mnettest::countOpenFds());

    // 107 bytes still fit with the terminator.
    PipeName fits;
    fits.sName.resize(107 - nDir, 'f');
    fits.sPath = mnettest::kSharedServiceDir + fits.sName;
    ::unlink(fits.sPath.c_str());
    MirelSmartPointer<MirelPipeServer> spServer(new MirelPipeServer(fits.sName));
    EXPECT_TRUE(exists(fits.sPath));
}

TEST(MirelPipeServer, CloseFromAnotherThreadEndsWaitWithoutException) {
    MNET_REQUIRE_SHARED_DIR();
    LogCapture log;
    PipeName endpoint;
    MirelSmartPointer<MirelPipeServer> spServer(new MirelPipeServer(endpoint.sName));
    std::future<Connection> result = waitAsync(spServer);
    ASSERT_TRUE(log.waitReady(endpoint.sName));

    spServer->close();
    ASSERT_TRUE(finishes(result));
    EXPECT_FALSE(result.get());
    EXPECT_TRUE(exists(endpoint.sPath));
    EXPECT_EQ(-1, mnettest::rawUnixConnect(endpoint.sPath));  // nobody listens any more
    EXPECT_EQ(1, log.count("MirelPipeServer::close: signaling wait thread"));
    EXPECT_EQ(1, log.count("MirelPipeServer::waitForClient : Shutting down thread"));
    spServer->close();  // already closed: harmless
}

TEST(MirelPipeServer, CloseWithNobodyWaitingReleasesAtOnceAndNextWaitRecreatesEndpoint) {
    MNET_REQUIRE_SHARED_DIR();
    PipeName endpoint;
    MirelSmartPointer<MirelPipeServer> spServer(new MirelPipeServer(endpoint.sName));
    spServer->close();
    EXPECT_EQ(-1, mnettest::rawUnixConnect(endpoint.sPath));

    std::future<Connection> result = waitAsync(spServer);
    Connection spClient(new MirelPipeConnection(endpoint.sName));
    ASSERT_TRUE(mnettest::waitUntil([&] {
        try {
            spClient->transfer(9);
            return true;
        } catch (const MirelException&) {
            return false;
        }
    }));
    ASSERT_TRUE(finishes(result));
    Connection spAccepted = result.get();
    ASSERT_TRUE(spAccepted);
    EXPECT_EQ(9, spAccepted->receiveInt());
    EXPECT_EQ(0770u, statOf(endpoint.sPath).st_mode & 07777u);
}

TEST(MirelPipeServer, WaitInterruptedBySignalGoesOnWaiting) {
    MNET_REQUIRE_SHARED_DIR();
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = ignoreSignal;  // no SA_RESTART: the wait sees EINTR
    ::sigaction(SIGUSR1, &action, 0);
    LogCapture log;
    PipeName endpoint;
    MirelSmartPointer<MirelPipeServer> spServer(new MirelPipeServer(endpoint.sName));
    std::promise<pthread_t> waiter;
    std::future<Connection> result = std::async(std::launch::async, [&] {
        waiter.set_value(::pthread_self());
        return spServer->waitForClient(false);
    });
    pthread_t waiterThread = waiter.get_future().get();
    ASSERT_TRUE(log.waitReady(endpoint.sName));

    for (int i = 0; i < 3; ++i) {
        ::pthread_kill(waiterThread, SIGUSR1);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_NE(std::future_status::ready, result.wait_for(std::chrono::milliseconds(50)));
    Connection spClient(new MirelPipeConnection(endpoint.sName));
    spClient->transfer(3);
    ASSERT_TRUE(finishes(result));
    Connection spAccepted = result.get();
    ASSERT_TRUE(spAccepted);
    EXPECT_EQ(3, spAccepted->receiveInt());
}

TEST(MirelPipeServer, DestroyingTheServerWhileAThreadWaitsLetsTheThreadLeave) {
    MNET_REQUIRE_SHARED_DIR();
    LogCapture log;
    PipeName endpoint;
    MirelPipeServer* pServer = new MirelPipeServer(endpoint.sName);
    pServer->addRef();
    std::future<Connection> result = waitAsync(pServer);
    ASSERT_TRUE(log.waitReady(endpoint.sName));

    EXPECT_TRUE(endsWithin([pServer] { pServer->release(); }));
    ASSERT_TRUE(finishes(result));
    EXPECT_FALSE(result.get());
}

namespace {

std::promise<void>* g_pOpening = 0;

// Lets the test act while a wait is opening the endpoint again, before it waits.
class SlowOpeningPipeServer : public MirelPipeServer {
public:
    explicit SlowOpeningPipeServer(const MirelString& sName) : MirelPipeServer(sName) {}

protected:
    virtual void init() {
        if (g_pOpening) {
            std::promise<void>* pOpening = g_pOpening;
            g_pOpening = 0;
            pOpening->set_value();
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        MirelPipeServer::init();
    }
};

}  // namespace

TEST(MirelPipeServer, DestroyingTheServerWhileAWaitReopensItDoesNotHang) {
    MNET_REQUIRE_SHARED_DIR();
    PipeName endpoint;
    MirelPipeServer* pServer = new SlowOpeningPipeServer(endpoint.sName);
    pServer->addRef();
    pServer->close();
    std::promise<void> opening;
    g_pOpening = &opening;
    std::future<Connection> result = waitAsync(pServer);
    ASSERT_EQ(std::future_status::ready, opening.get_future().wait_for(std::chrono::seconds(5)));

    // The destructor's close finds nothing open; the wait opens again right after it.
    EXPECT_TRUE(endsWithin([pServer] { pServer->release(); }));
    ASSERT_TRUE(finishes(result));
    EXPECT_FALSE(result.get());
}

TEST(MirelPipeServer, ShutDownDuringAReopeningEndsThatWaitWithoutOpening) {
    MNET_REQUIRE_SHARED_DIR();
    PipeName endpoint;
    MirelSmartPointer<MirelPipeServer> spServer(new SlowOpeningPipeServer(endpoint.sName));
    spServer->close();
    std::promise<void> opening;
    g_pOpening = &opening;
    std::future<Connection> result = waitAsync(spServer);
    ASSERT_EQ(std::future_status::ready, opening.get_future().wait_for(std::chrono::seconds(5)));

    spServer->shutDown();
    ASSERT_TRUE(finishes(result));
    EXPECT_FALSE(result.get());
    EXPECT_EQ(-1, mnettest::rawUnixConnect(endpoint.sPath));  // not opened again
}

TEST(MirelPipeServer, ShutDownWakesTheWaitAndEveryLaterWaitEndsAtOnceWithoutReopening) {
    MNET_REQUIRE_SHARED_DIR();
    LogCapture log;
    PipeName endpoint;
    MirelSmartPointer<MirelPipeServer> spServer(new MirelPipeServer(endpoint.sName));
    std::future<Connection> result = waitAsync(spServer);
    ASSERT_TRUE(log.waitReady(endpoint.sName));

    spServer->shutDown();
    ASSERT_TRUE(finishes(result));
    EXPECT_FALSE(result.get());
    EXPECT_EQ(1, log.count("MirelPipeServer::close: signaling wait thread"));
    ::unlink(endpoint.sPath.c_str());
    for (int i = 0; i < 3; ++i) {
        std::future<Connection> later = waitAsync(spServer);
        ASSERT_TRUE(finishes(later)) << "a wait after shutDown blocked";
        EXPECT_FALSE(later.get());
    }
    EXPECT_FALSE(exists(endpoint.sPath)) << "a wait after shutDown opened the endpoint again";
    spServer->close();
    spServer->shutDown();
    spServer->waitForInit();
}

TEST(MirelPipeServer, ManyConnectServeCloseRoundsLeaveNoDescriptorOpen) {
    MNET_REQUIRE_SHARED_DIR();
    PipeName endpoint;
    MirelSmartPointer<ReopenablePipeServer> spServer(new ReopenablePipeServer(endpoint.sName));
    int nFdsBefore = 0;

    for (int i = 0; i < 300; ++i) {
        if (i == 1) {
            // After the first connect: the process keeps the endpoint file it opened for later
            // connects to the same name.
            nFdsBefore = mnettest::countOpenFds();
        }
        Connection spClient(new MirelPipeConnection(endpoint.sName));
        spClient->transfer(i);
        Connection spAccepted = spServer->waitForClient(false);
        ASSERT_TRUE(spAccepted);
        ASSERT_EQ(i, spAccepted->receiveInt());
        spAccepted->transferACK();
        ASSERT_EQ(1, spClient->receiveShort());
        spClient->disconnect();
        spServer->close();
        spServer->init();
    }
    EXPECT_EQ(nFdsBefore, mnettest::countOpenFds());
}

TEST(MirelPipeServer, ClientArrivingAsTheServerClosesIsNotLeaked) {
    MNET_REQUIRE_SHARED_DIR();
    LogCapture log;
    PipeName endpoint;
    MirelSmartPointer<MirelPipeServer> spServer(new MirelPipeServer(endpoint.sName));
    spServer->close();
    int nFdsBefore = mnettest::countOpenFds();

    for (int i = 0; i < 300; ++i) {
        std::future<Connection> result = waitAsync(spServer);
        ASSERT_TRUE(log.waitReady(endpoint.sName, i + 1));
        int nClient = mnettest::rawUnixConnect(endpoint.sPath);
        // Spread the close over the waiter's way from waking to accepting.
        spinFor(std::chrono::microseconds((i % 30) * 10));
        spServer->close();
        ASSERT_TRUE(finishes(result));
        result.get();  // a connection or empty, depending on who won; released here
        if (nClient >= 0) {
            ::close(nClient);
        }
    }
    EXPECT_EQ(nFdsBefore, mnettest::countOpenFds());
}

TEST(MirelPipeServer, DestructionRemovesItsOwnEndpointFileButNotANewerOne) {
    MNET_REQUIRE_SHARED_DIR();
    std::string sName = mnettest::uniqueName("gone");
    std::string sPath = mnettest::kSharedServiceDir + sName;
    struct stat info;
    {
        MirelSmartPointer<MirelPipeServer> spServer(new MirelPipeServer(sName));
        ASSERT_EQ(0, ::stat(sPath.c_str(), &info));
    }
    EXPECT_NE(0, ::stat(sPath.c_str(), &info));

    MirelSmartPointer<MirelPipeServer> spOld(new MirelPipeServer(sName));
    spOld->close();
    MirelSmartPointer<MirelPipeServer> spNew(new MirelPipeServer(sName));  // replaces the file
    spOld = static_cast<MirelPipeServer*>(0);
    ASSERT_EQ(0, ::stat(sPath.c_str(), &info))
        << "the older server removed the newer one's endpoint";
    int nClient = mnettest::rawUnixConnect(sPath);
    EXPECT_GE(nClient, 0);
    ::close(nClient);
    spNew = static_cast<MirelPipeServer*>(0);
    EXPECT_NE(0, ::stat(sPath.c_str(), &info));
}
