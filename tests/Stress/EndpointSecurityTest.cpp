// Who may reach a local endpoint, with real users: the endpoint file has mode 0770, so a
// process of a user outside its owner and group is refused (EACCES); with access privileges 1
// the file goes to the named group, and a process whose only group is that one connects and
// exchanges values. The other users are forked children that switch to nobody's user id; this
// needs root (skipped otherwise). The group is a temporary one made with groupadd when the
// system allows it, else an existing group that nobody does not belong to.
//
// The shared-service directory is an outer gate: installed, it is root's with mode 1770 and the
// group mirel, so only members may enter it at all. The other users here are made members of
// the directory's group too (when others may not enter it), so that what is tested is the
// endpoint file's own mode and group.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "MirelLibraryCallbackSink.hpp"
#include "MirelPipeConnection.hpp"
#include "MirelPipeServer.hpp"
#include "TestSupport.hpp"

using MirelNet::MirelConnection;
using MirelNet::MirelLibraryCallbackSink;
using MirelNet::MirelPipeConnection;
using MirelNet::MirelPipeServer;
using MirelSupport::MirelException;
using MirelSupport::MirelSmartPointer;

namespace {

const int kRefused = 13;       // child result: refused with EACCES and the connection's text
const int kCannotSwitch = 77;  // child result: could not take the other user's ids
const char* const kConnectFailed = "MirelPipeConnection::establish: connection request failed.";

bool lookupUser(const char* pszName, uid_t* pUid, gid_t* pGid) {
    std::vector<char> buffer(16384);
    passwd entry;
    passwd* pFound = 0;
    if (::getpwnam_r(pszName, &entry, buffer.data(), buffer.size(), &pFound) != 0 || pFound == 0) {
        return false;
    }
    *pUid = pFound->pw_uid;
    *pGid = pFound->pw_gid;
    return true;
}

bool lookupGroup(const std::string& sName, gid_t* pGid) {
    std::vector<char> buffer(65536);
    group entry;
    group* pFound = 0;
    if (::getgrnam_r(sName.c_str(), &entry, buffer.data(), buffer.size(), &pFound) != 0 ||
        pFound == 0) {
        return false;
    }
    *pGid = pFound->gr_gid;
    return true;
}

// Runs a program quietly and returns its exit status (127 when it cannot be run).
int runProgram(const std::vector<std::string>& args) {
    return mnettest::runInChild(
        [&](std::string&) {
            int nNull = ::open("/dev/null", O_RDWR);
            ::dup2(nNull, 1);
            ::dup2(nNull, 2);
            std::vector<char*> argv;
            for (const std::string& sArg : args) {
                argv.push_back(const_cast<char*>(sArg.c_str()));
            }
            argv.push_back(0);
            ::execvp(argv[0], argv.data());
            return 127;
        },
        0);
}

// A group for the grant: a temporary one when groupadd works, removed again at the end.
class GrantGroup {
public:
    GrantGroup() : m_sName(mnettest::uniqueName("mnetsec")), m_bTemporary(false), m_nGid(0) {
        if (runProgram({"groupadd", m_sName}) == 0 && lookupGroup(m_sName, &m_nGid)) {
            m_bTemporary = true;
            return;
        }
        m_sName.clear();
    }
    // groupdel fails while another process holds the group file's lock: it is tried again.
    ~GrantGroup() {
        for (int nTry = 0; m_bTemporary && nTry < 40; ++nTry) {
            if (runProgram({"groupdel", m_sName}) == 0 || !lookupGroup(m_sName, &m_nGid)) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    // Falls back on an existing group other than the ones in exclude.
    bool choose(const std::vector<gid_t>& exclude) {
        if (m_bTemporary) {
            return true;
        }
        for (const char* pszName : {"daemon", "bin", "sys", "adm", "nogroup"}) {
            gid_t nGid = 0;
            if (lookupGroup(pszName, &nGid) &&
                std::find(exclude.begin(), exclude.end(), nGid) == exclude.end()) {
                m_sName = pszName;
                m_nGid = nGid;
                return true;
            }
        }
        return false;
    }
    const std::string& name() const { return m_sName; }
    gid_t gid() const { return m_nGid; }
    bool temporary() const { return m_bTemporary; }

private:
    std::string m_sName;
    bool m_bTemporary;
    gid_t m_nGid;
};

// The group a user needs to enter the shared-service directory: its group when others may
// not search it, else none (false).
bool directoryEntryGroup(gid_t* pGid) {
    struct stat info;
    if (::stat(mnettest::kSharedServiceDir, &info) != 0 || (info.st_mode & S_IXOTH) != 0) {
        return false;
    }
    *pGid = info.st_gid;
    return true;
}

// In the child: takes nUid with nGid as its primary group, and as the only other groups the
// one that lets it enter the shared-service directory (if any) and nExtra (if given).
bool becomeUser(uid_t nUid, gid_t nGid, gid_t nExtra = static_cast<gid_t>(-1)) {
    gid_t groups[3] = {nGid, nGid, nExtra};
    int nGroups = directoryEntryGroup(&groups[1]) && groups[1] != nGid ? 2 : 1;
    if (nExtra != static_cast<gid_t>(-1)) {
        groups[nGroups++] = nExtra;
    }
    return ::setgroups(static_cast<std::size_t>(nGroups), groups) == 0 && ::setgid(nGid) == 0 &&
           ::setuid(nUid) == 0 && ::geteuid() == nUid && ::getegid() == nGid;
}

// A child running as nUid with the only group nGid connects to sPipeName and sends 4711; with
// bAnswer it also waits for 4712 back. 0 on success, kRefused on EACCES.
int connectAs(uid_t nUid, gid_t nGid, const std::string& sPipeName, bool bAnswer,
              std::string* psReport, mnettest::ChildProcess** ppChild = 0) {
    std::function<int(std::string&)> body = [=](std::string& sOut) {
        if (!becomeUser(nUid, nGid)) {
            sOut = std::string("cannot switch to the other user: ") + std::strerror(errno);
            return kCannotSwitch;
        }
        MirelSmartPointer<MirelConnection> spConnection(new MirelPipeConnection(sPipeName));
        try {
            spConnection->transfer(4711);
            if (bAnswer) {
                int nAnswer = spConnection->receiveInt();
                if (nAnswer != 4712) {
                    sOut = "answer " + std::to_string(nAnswer);
                    return 3;
                }
            }
            return 0;
        } catch (const MirelException& e) {
            sOut = "\"" + e.getText() + "\" (" + std::to_string(e.getCode()) + ")";
            return e.getText() == kConnectFailed && e.getCode() == EACCES ? kRefused : 2;
        }
    };
    if (ppChild) {
        *ppChild = new mnettest::ChildProcess(body);
        return 0;
    }
    return mnettest::runInChild(body, psReport, 10000);
}

// A user made with useradd for the test and removed again at the end; none when useradd
// fails.
class TemporaryUser {
public:
    TemporaryUser() : m_sName(mnettest::uniqueName("mnu")), m_nUid(0), m_nGid(0) {
        if (runProgram({"useradd", "--no-create-home", "--shell", "/usr/sbin/nologin", m_sName}) !=
                0 ||
            !lookupUser(m_sName.c_str(), &m_nUid, &m_nGid)) {
            m_sName.clear();
        }
    }
    // userdel fails while another process holds the password file's lock: tried again.
    ~TemporaryUser() {
        for (int nTry = 0; !m_sName.empty() && nTry < 40; ++nTry) {
            if (runProgram({"userdel", m_sName}) == 0 ||
                !lookupUser(m_sName.c_str(), &m_nUid, &m_nGid)) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    bool made() const { return !m_sName.empty(); }
    uid_t uid() const { return m_nUid; }
    gid_t gid() const { return m_nGid; }

private:
    std::string m_sName;
    uid_t m_nUid;
    gid_t m_nGid;
};

// Connects to the callback address sAddress and sends a message for handle 7 with nContent;
// 0 when the connection was made (the sink may refuse the message after that).
int sendNotification(const std::string& sAddress, long nContent) {
    int nFd = mnettest::connectTo(mnettest::endpointOf(sAddress));
    if (nFd < 0) {
        return 5;
    }
    mnettest::rawSendAll(nFd, mnettest::callbackMessage(7, nContent));
    ::close(nFd);
    return 0;
}

struct stat statOf(const std::string& sPath) {
    struct stat info;
    std::memset(&info, 0, sizeof info);
    ::stat(sPath.c_str(), &info);
    return info;
}

class EndpointSecurity : public ::testing::Test {
protected:
    void SetUp() override {
        MNET_REQUIRE_SHARED_DIR();
        if (::geteuid() != 0) {
            GTEST_SKIP() << "switching to another user needs root";
        }
        if (!lookupUser("nobody", &m_nNobody, &m_nNobodyGroup)) {
            GTEST_SKIP() << "no user nobody on this system";
        }
        m_sName = mnettest::uniqueName("endpointsec");
        m_sPath = MirelPipeServer::getFullPipeName(m_sName);
    }
    void TearDown() override {
        if (!m_sPath.empty()) {
            ::unlink(m_sPath.c_str());
        }
    }
    // False (with the reason in m_sSkip) when nobody cannot reach the endpoint even with mode
    // 0777 (a directory on the way is closed to it): a refusal would then prove nothing. The
    // trial client is taken off the server's queue again.
    bool nobodyReachesOpenEndpoint(MirelPipeServer& server) {
        const mode_t nMode =
            statOf(m_sPath).st_mode & 07777u;  // the server's, put back after the trial
        ::chmod(m_sPath.c_str(), 0777);
        std::string sReport;
        int nResult = connectAs(m_nNobody, m_nNobodyGroup, m_sName, false, &sReport);
        ::chmod(m_sPath.c_str(), nMode);
        if (nResult == kCannotSwitch) {
            m_sSkip = sReport;
        } else if (nResult != 0) {
            m_sSkip = "nobody cannot reach an endpoint of mode 0777 either: " + sReport;
        } else {
            MirelSmartPointer<MirelConnection> spTrial =
                server.waitForClient(false);  // queued already
            EXPECT_TRUE(spTrial && spTrial->receiveInt() == 4711);
        }
        return nResult == 0;
    }

    // Groups that the other user has anyway or that own the endpoint without a grant: a
    // granted group must be none of them.
    std::vector<gid_t> groupsToAvoid() const {
        std::vector<gid_t> groups = {m_nNobodyGroup, ::getgid(), ::getegid()};
        gid_t nEntryGroup = 0;
        if (directoryEntryGroup(&nEntryGroup)) {
            groups.push_back(nEntryGroup);
        }
        return groups;
    }

    uid_t m_nNobody = 0;
    gid_t m_nNobodyGroup = 0;
    std::string m_sName;
    std::string m_sPath;
    std::string m_sSkip;
};

}  // namespace

TEST_F(EndpointSecurity, UserOutsideOwnerAndGroupIsRefused) {
    MirelSmartPointer<MirelPipeServer> spServer(new MirelPipeServer(m_sName));
    struct stat info = statOf(m_sPath);
    ASSERT_TRUE(S_ISSOCK(info.st_mode));
    EXPECT_EQ(0770u, info.st_mode & 07777u);
    ASSERT_NE(m_nNobody, info.st_uid);
    ASSERT_NE(m_nNobodyGroup, info.st_gid) << "nobody's group owns the endpoint";
    gid_t nEntryGroup = 0;
    if (directoryEntryGroup(&nEntryGroup) && nEntryGroup == info.st_gid) {
        GTEST_SKIP() << "the endpoint took the shared-service directory's group (a set-group-id "
                        "directory): every user who may enter the directory is in its group";
    }
    if (!nobodyReachesOpenEndpoint(*spServer)) {
        GTEST_SKIP() << m_sSkip;
    }
    std::string sReport;
    EXPECT_EQ(kRefused, connectAs(m_nNobody, m_nNobodyGroup, m_sName, false, &sReport)) << sReport;
    // Also in the owner's group by id alone, the mode decides: the group's bits let it in.
    EXPECT_EQ(0, connectAs(m_nNobody, info.st_gid, m_sName, false, &sReport)) << sReport;
}

TEST_F(EndpointSecurity, GrantedGroupMayConnectAndExchangeValuesOthersMayNot) {
    GrantGroup group;
    if (!group.choose(groupsToAvoid())) {
        GTEST_SKIP() << "neither groupadd nor a suitable existing group is available";
    }
    std::printf("granting to %s group %s (%u)\n",
                group.temporary() ? "the temporary" : "the existing", group.name().c_str(),
                static_cast<unsigned int>(group.gid()));
    MirelSmartPointer<MirelPipeServer> spServer(new MirelPipeServer(m_sName, 1, group.name()));
    struct stat info = statOf(m_sPath);
    EXPECT_EQ(group.gid(), info.st_gid);
    EXPECT_EQ(::getuid(), info.st_uid);
    EXPECT_EQ(0770u, info.st_mode & 07777u);
    if (!nobodyReachesOpenEndpoint(*spServer)) {
        GTEST_SKIP() << m_sSkip;
    }
    std::string sReport;
    EXPECT_EQ(kRefused, connectAs(m_nNobody, m_nNobodyGroup, m_sName, false, &sReport))
        << "a user outside the granted group: " << sReport;

    // Nobody with the granted group as its only group: a round trip through the server.
    mnettest::ChildProcess* pChild = 0;
    connectAs(m_nNobody, group.gid(), m_sName, true, 0, &pChild);
    std::unique_ptr<mnettest::ChildProcess> child(pChild);
    int nReceived = 0;
    std::thread server([&] {
        try {
            MirelSmartPointer<MirelConnection> spClient = spServer->waitForClient(false);
            if (spClient) {
                nReceived = spClient->receiveInt();
                spClient->transfer(4712);
            }
        } catch (const MirelException& e) {
            ADD_FAILURE() << e.getText() << " (" << e.getCode() << ")";
        }
    });
    int nResult = child->wait(&sReport, 10000);
    spServer->close();  // ends the wait if the child never came
    server.join();
    EXPECT_EQ(0, nResult) << "a member of the granted group: " << sReport;
    EXPECT_EQ(4711, nReceived);
}

TEST_F(EndpointSecurity, GroupIsNotGrantedWithoutPrivilegesOne) {
    GrantGroup group;
    if (!group.choose(groupsToAvoid())) {
        GTEST_SKIP() << "neither groupadd nor a suitable existing group is available";
    }
    MirelSmartPointer<MirelPipeServer> spServer(new MirelPipeServer(m_sName, 7, group.name()));
    EXPECT_NE(group.gid(), statOf(m_sPath).st_gid);
    gid_t nEntryGroup = 0;
    if (directoryEntryGroup(&nEntryGroup) && nEntryGroup == statOf(m_sPath).st_gid) {
        return;  // a set-group-id directory: everyone who may enter is in the endpoint's group
    }
    if (!nobodyReachesOpenEndpoint(*spServer)) {
        GTEST_SKIP() << m_sSkip;
    }
    std::string sReport;
    EXPECT_EQ(kRefused, connectAs(m_nNobody, group.gid(), m_sName, false, &sReport)) << sReport;
}

// Where a sink cannot learn a sender's supplementary groups as the system gives them, it cannot
// tell a member of the directory's group by them either.
#ifdef MNET_NO_PEER_GROUPS
#define MNET_REQUIRE_PEER_GROUPS() GTEST_SKIP() << MNET_NO_PEER_GROUPS
#else
#define MNET_REQUIRE_PEER_GROUPS() \
    do {                           \
    } while (0)
#endif

// A root process's pipe sink and a sender of another user who is a member of the directory's
// group: by default the sink delivers the member's message, with MIREL_SINK_ALLOW=uid:0 it
// refuses it; root's own is delivered either way. An allow list replaces the group rule, and
// a list without a valid entry leaves the default.
TEST_F(EndpointSecurity, PipeSinkPolicyDecidesWhetherAnotherMemberOfTheGroupDelivers) {
    MNET_REQUIRE_PEER_GROUPS();
    char szName[32];
    std::snprintf(szName, sizeof szName, "qvintf%x", static_cast<unsigned int>(::getpid()));
    const std::string sAddress = std::string("pipe:") + szName;
    const std::string sEndpoint = MirelPipeServer::getFullPipeName(szName);
    ::setenv("QVINTF_CALLB_CONN_TYPE", "pipe", 1);
    const std::string sNobodyUid = "uid:" + std::to_string(m_nNobody);
    const struct {
        const char* pszAllow;
        bool bDelivered;
    } cases[] = {{"uid:0", false},
                 {0, true},
                 {"any", true},
                 {"user:nobody", true},
                 {sNobodyUid.c_str(), true},
                 {"user:no-such-user-here,uid:0", false},
                 {"uid:-1,nonsense", true}};
    for (const auto& test : cases) {
        const char* pszAllow = test.pszAllow;
        SCOPED_TRACE(pszAllow ? pszAllow : "the default policy");
        pszAllow ? ::setenv("MIREL_SINK_ALLOW", pszAllow, 1) : ::unsetenv("MIREL_SINK_ALLOW");
        int go[2];
        ASSERT_EQ(0, ::pipe(go));
        // Forked before the sink's thread exists; sends once the sink is ready.
        mnettest::ChildProcess child([&](std::string& sOut) {
            char c = 0;
            if (::read(go[0], &c, 1) != 1) {
                return 4;
            }
            // Also in the endpoint's group, which is the directory's only where it is set-group-id.
            if (!becomeUser(m_nNobody, m_nNobodyGroup, statOf(sEndpoint).st_gid)) {
                sOut = std::string("cannot switch to nobody: ") + std::strerror(errno);
                return kCannotSwitch;
            }
            return sendNotification(sAddress, 4711);
        });
        ::close(go[0]);
        MirelSmartPointer<MirelLibraryCallbackSink> spSink(new MirelLibraryCallbackSink("policy"));
        MirelSmartPointer<mnettest::Recorder> spRecorder =
            mnettest::addRecorder(spSink->getCallbackContainer(), 7);
        ASSERT_EQ(1, ::write(go[1], "g", 1));
        ::close(go[1]);
        std::string sReport;
        int nResult = child.wait(&sReport, 10000);
        if (nResult == kCannotSwitch) {
            GTEST_SKIP() << sReport;
        }
        ASSERT_EQ(0, nResult) << sReport;
        // Messages are delivered in the order they end: the member's, if at all, before root's.
        ASSERT_EQ(0, sendNotification(sAddress, 4712));
        ASSERT_TRUE(mnettest::waitUntil([&] { return spRecorder->saw(4712); }));
        EXPECT_EQ(test.bDelivered, spRecorder->saw(4711));
    }
}

// Two users other than root, both members of the directory's group: one listens with a pipe
// sink, the other's notification reaches it, as the set-group-id directory gives every
// endpoint its group.
TEST_F(EndpointSecurity, TwoMembersOfTheDirectorysGroupReachEachOthersSinks) {
    MNET_REQUIRE_PEER_GROUPS();
    struct stat dir = statOf(mnettest::kSharedServiceDir);
    if ((dir.st_mode & S_ISGID) == 0) {
        GTEST_SKIP() << "the shared-service directory is not set-group-id (mode 3770), so an "
                        "endpoint takes its creator's group; scripts/ensure-shared-dir makes it so";
    }
    TemporaryUser other;
    if (!other.made()) {
        GTEST_SKIP() << "useradd could not make a second user";
    }
    ::setenv("QVINTF_CALLB_CONN_TYPE", "pipe", 1);
    ::unsetenv("MIREL_SINK_ALLOW");
    int address[2];
    ASSERT_EQ(0, ::pipe(address));
    mnettest::ChildProcess listener([&](std::string& sOut) {
        ::close(address[0]);
        if (!becomeUser(m_nNobody, m_nNobodyGroup)) {
            sOut = std::string("cannot switch to nobody: ") + std::strerror(errno);
            return kCannotSwitch;
        }
        try {
            MirelSmartPointer<MirelLibraryCallbackSink> spSink(
                new MirelLibraryCallbackSink("member"));
            MirelSmartPointer<mnettest::Recorder> spRecorder =
                mnettest::addRecorder(spSink->getCallbackContainer(), 7);
            std::string sAddress = spSink->getCallbackAddress();
            (void)!::write(address[1], sAddress.c_str(), sAddress.size());
            ::close(address[1]);
            if (!mnettest::waitUntil([&] { return spRecorder->saw(4711); }, 10000)) {
                sOut = "nothing delivered";
                return 6;
            }
            return 0;
        } catch (const MirelException& e) {
            sOut = "the sink: " + e.getText() + " (" + std::to_string(e.getCode()) + ")";
            return 7;
        }
    });
    ::close(address[1]);
    char szAddress[64] = {0};
    ssize_t nRead = ::read(address[0], szAddress, sizeof szAddress - 1);
    ::close(address[0]);
    std::string sReport;
    if (nRead <= 0) {
        int nResult = listener.wait(&sReport, 10000);
        if (nResult == kCannotSwitch) {
            GTEST_SKIP() << sReport;
        }
        FAIL() << "the listener did not start: " << sReport;
    }
    std::string sAddress(szAddress, static_cast<std::size_t>(nRead));
    int nSent = mnettest::runInChild(
        [&](std::string& sOut) {
            if (!becomeUser(other.uid(), other.gid())) {
                sOut = std::string("cannot switch to the second user: ") + std::strerror(errno);
                return kCannotSwitch;
            }
            return sendNotification(sAddress, 4711);
        },
        &sReport, 10000);
    EXPECT_EQ(0, nSent) << "the second member could not connect: " << sReport;
    EXPECT_EQ(0, listener.wait(&sReport, 15000)) << sReport;
}
