// Links in the shared-service directory lead nowhere: a pipe connection or server whose name
// would pass through a link fails as a bad name does, and nothing outside the directory is
// reached or changed. And two servers opening one name over a stale file at the same moment:
// exactly one opens.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <fstream>
#include <string>
#include <thread>

#include "MirelPipeConnection.hpp"
#include "MirelPipeServer.hpp"
#include "TestSupport.hpp"

using MirelNet::MirelConnection;
using MirelNet::MirelPipeConnection;
using MirelNet::MirelPipeServer;
using MirelSupport::MirelException;
using MirelSupport::MirelSmartPointer;

namespace {

// A directory outside the shared-service directory with a listening socket in it, and links
// to both from inside the directory.
class LinkedOutside : public ::testing::Test {
protected:
    void SetUp() override {
        MNET_REQUIRE_SHARED_DIR();
        char szDir[] = "/tmp/mnetlinkXXXXXX";
        ASSERT_NE(nullptr, ::mkdtemp(szDir));
        m_sOutside = szDir;
        m_nListener = mnettest::rawUnixListen(m_sOutside + "/o.sock");
        ASSERT_GE(m_nListener, 0);
        ::fcntl(m_nListener, F_SETFL, O_NONBLOCK);
        m_sFileLink = mnettest::uniqueName("evil");
        m_sDirLink = mnettest::uniqueName("d");
        ASSERT_EQ(0, ::symlink((m_sOutside + "/o.sock").c_str(), inside(m_sFileLink).c_str()));
        ASSERT_EQ(0, ::symlink(m_sOutside.c_str(), inside(m_sDirLink).c_str()));
    }
    void TearDown() override {
        if (m_nListener >= 0) {
            ::close(m_nListener);
        }
        if (!m_sOutside.empty()) {
            ::unlink(inside(m_sFileLink).c_str());
            ::unlink(inside(m_sDirLink).c_str());
            std::system(("rm -rf " + m_sOutside).c_str());
        }
    }
    static std::string inside(const std::string& sName) {
        return mnettest::kSharedServiceDir + sName;
    }
    // True when someone connected to the socket outside.
    bool outsideWasReached() const {
        int nFd = ::accept(m_nListener, nullptr, nullptr);
        if (nFd >= 0) {
            ::close(nFd);
        }
        return nFd >= 0;
    }

    std::string m_sOutside;
    std::string m_sFileLink;
    std::string m_sDirLink;
    int m_nListener = -1;
};

}  // namespace

TEST_F(LinkedOutside, ConnectionThroughALinkFailsWithEloopAndReachesNothing) {
    for (const std::string& sName : {m_sFileLink, m_sDirLink + "/o.sock"}) {
        SCOPED_TRACE(sName);
        MirelSmartPointer<MirelConnection> spConnection(new MirelPipeConnection(sName));
        MirelException e = mnettest::catchOf([&] { spConnection->transfer(42L); });
        EXPECT_EQ("MirelPipeConnection::establish: connection request failed.", e.getText());
        EXPECT_EQ(ELOOP, e.getCode());
        EXPECT_FALSE(outsideWasReached());
    }
}

TEST_F(LinkedOutside, ServerBehindALinkedDirectoryFailsWithEloopAndChangesNothing) {
    const std::string sVictim = m_sOutside + "/victim.txt";
    std::ofstream(sVictim) << "keep me";
    MirelException e =
        mnettest::catchOf([&] { MirelPipeServer server(m_sDirLink + "/victim.txt"); });
    EXPECT_EQ("MirelPipeServer::init: failed to prepare pipe.", e.getText());
    EXPECT_EQ(ELOOP, e.getCode());
    struct stat info;
    ASSERT_EQ(0, ::lstat(sVictim.c_str(), &info));
    EXPECT_TRUE(S_ISREG(info.st_mode)) << "the file outside was replaced";
    EXPECT_EQ(7, info.st_size);
}

TEST_F(LinkedOutside, ServerAtALinkReplacesTheLinkNotWhatItLeadsTo) {
    {
        MirelPipeServer server(m_sFileLink);
        struct stat info;
        ASSERT_EQ(0, ::lstat(inside(m_sFileLink).c_str(), &info));
        EXPECT_TRUE(S_ISSOCK(info.st_mode));
    }
    struct stat info;
    ASSERT_EQ(0, ::lstat((m_sOutside + "/o.sock").c_str(), &info));
    EXPECT_TRUE(S_ISSOCK(info.st_mode)) << "the socket outside was removed";
    EXPECT_FALSE(outsideWasReached());
}

TEST(PipeServerOpening, TwoServersOverAStaleFileNeverBothOpen) {
    MNET_REQUIRE_SHARED_DIR();
    mnettest::PipeName endpoint("race");
    int nBoth = 0;
    int nNeither = 0;
    for (int nRound = 0; nRound < 500; ++nRound) {
        ::close(mnettest::rawUnixListen(endpoint.sPath));  // a stale file: nobody accepts
        std::atomic<int> nReady(0);
        int codes[2] = {-1, -1};
        MirelSmartPointer<MirelPipeServer> servers[2];
        auto open = [&](int i) {
            ++nReady;
            while (nReady < 2) {
            }
            try {
                servers[i] = new MirelPipeServer(endpoint.sName);
                codes[i] = 0;
            } catch (const MirelException& e) {
                codes[i] = e.getCode();
            }
        };
        std::thread other(open, 1);
        open(0);
        other.join();
        nBoth += codes[0] == 0 && codes[1] == 0;
        nNeither += codes[0] != 0 && codes[1] != 0;
        if (codes[0] != 0 || codes[1] != 0) {
            ASSERT_EQ(EADDRINUSE, codes[0] != 0 ? codes[0] : codes[1]) << "round " << nRound;
        }
        MirelSmartPointer<MirelPipeServer>& winner = codes[0] == 0 ? servers[0] : servers[1];
        if (winner && (codes[0] != 0 || codes[1] != 0)) {
            // The one that opened serves the name.
            int nClient = mnettest::rawUnixConnect(endpoint.sPath);
            ASSERT_GE(nClient, 0) << "round " << nRound;
            ::close(nClient);
            ASSERT_TRUE(winner->waitForClient(false)) << "round " << nRound;
        }
    }
    EXPECT_EQ(0, nBoth) << "rounds in which both opened";
    EXPECT_EQ(0, nNeither) << "rounds in which neither opened";
}
