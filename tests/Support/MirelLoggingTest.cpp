#include <gtest/gtest.h>

#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "MirelLogging.hpp"
#include "TestSupport.hpp"

using MirelSupport::endrecord;
using MirelSupport::MirelLogging;
using MirelSupport::setloglevel;

namespace {

class LogToFile : public ::testing::Test {
protected:
    void SetUp() override {
        m_sPath = "/tmp/" + mnettest::uniqueName("mnet-log-") + ".log";
        ASSERT_TRUE(MirelLogging::getInstance().setFile(m_sPath));
    }
    void TearDown() override {
        MirelLogging::getInstance().setFile("");
        MirelLogging::getInstance().setLevel(0);
        ::unlink(m_sPath.c_str());
    }
    std::vector<std::string> lines() {
        std::ifstream in(m_sPath);
        std::vector<std::string> result;
        std::string sLine;
        while (std::getline(in, sLine)) {
            result.push_back(sLine);
        }
        return result;
    }
    std::string m_sPath;
};

int s_nEvaluated = 0;
int countEvaluation() {
    return ++s_nEvaluated;
}

}  // namespace

TEST_F(LogToFile, WritesOnlyRecordsAtOrBelowTheLevelWithTimePidAndLevelInFront) {
    MirelLogging::getInstance().setLevel(5);
    MirelLogging::getInstance() << setloglevel(5) << "Class::op: port " << 5023 << ' ' << -1L
                                << endrecord;
    MirelLogging::getInstance() << setloglevel(9) << "hidden" << endrecord;
    std::vector<std::string> records = lines();
    ASSERT_EQ(1u, records.size());
    EXPECT_TRUE(std::regex_match(
        records[0],
        std::regex("[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3}Z " +
                   std::to_string(::getpid()) + " \\[5\\] Class::op: port 5023 -1")))
        << records[0];
}

TEST_F(LogToFile, LineBreaksAndControlBytesInTheTextAreEscaped) {
    MirelLogging::getInstance().setLevel(1);
    MIREL_LOG(1) << "peer said: a\nfake 1 [1] record\r\x01" << '\t' << "end" << endrecord;
    std::vector<std::string> records = lines();
    ASSERT_EQ(1u, records.size());
    EXPECT_NE(std::string::npos, records[0].find("] peer said: a\\nfake 1 [1] record\\r\\x01\tend"))
        << records[0];
}

TEST_F(LogToFile, AForkedChildWritesItsOwnProcessId) {
    MirelLogging::getInstance().setLevel(1);
    std::string sReport;
    int nChild = mnettest::runInChild(
        [](std::string& sOut) {
            sOut = std::to_string(::getpid());
            MIREL_LOG(1) << "from the child" << endrecord;
            return 0;
        },
        &sReport, 10000);
    ASSERT_EQ(0, nChild) << sReport;
    MIREL_LOG(1) << "from the parent" << endrecord;
    std::vector<std::string> records = lines();
    ASSERT_EQ(2u, records.size());
    EXPECT_NE(std::string::npos, records[0].find("Z " + sReport + " [1] from the child"))
        << records[0];
    EXPECT_NE(std::string::npos,
              records[1].find("Z " + std::to_string(::getpid()) + " [1] from the parent"))
        << records[1];
}

TEST_F(LogToFile, MacroSkipsBuildingRecordsThatWillNotBeWritten) {
    MirelLogging::getInstance().setLevel(1);
    s_nEvaluated = 0;
    MIREL_LOG(9) << countEvaluation() << endrecord;
    EXPECT_EQ(0, s_nEvaluated);
    MIREL_LOG(1) << countEvaluation() << endrecord;
    EXPECT_EQ(1, s_nEvaluated);
    EXPECT_EQ(1u, lines().size());
}

TEST_F(LogToFile, RecordsOfManyThreadsStayWhole) {
    MirelLogging::getInstance().setLevel(9);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 200; ++i) {
                MIREL_LOG(9) << "thread " << t << " record " << i << " end" << endrecord;
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    std::vector<std::string> records = lines();
    ASSERT_EQ(800u, records.size());
    for (const std::string& s : records) {
        EXPECT_EQ(" end", s.substr(s.size() - 4)) << s;
        EXPECT_EQ(1u, std::count(s.begin(), s.end(), '[')) << s;
    }
}

namespace {

// In a forked child with a private /dev: binds a datagram socket where syslog(3) writes
// (/dev/log), sends the log there and writes one record per level; the report tells what
// arrived. 77 when the private /dev cannot be made.
int logToPrivateSyslog(std::string& sOut) {
    sockaddr_un address;
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, "/dev/log");
    int nFd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(0, "/", 0, MS_REC | MS_PRIVATE, 0) != 0 ||
        ::mount("tmpfs", "/dev", "tmpfs", 0, "mode=0755") != 0 ||
        ::bind(nFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        sOut = std::string("no private /dev/log: ") + std::strerror(errno);
        return 77;
    }
    MirelLogging& log = MirelLogging::getInstance();
    if (!log.setFile("syslog")) {
        sOut = "setFile(\"syslog\") failed";
        return 1;
    }
    log.setLevel(9);
    const int levels[] = {1, 2, 3, 5, 7, 9};
    for (int nLevel : levels) {
        MIREL_LOG(nLevel) << "record of level " << nLevel << endrecord;
    }
    for (std::size_t i = 0; i < sizeof levels / sizeof levels[0]; ++i) {
        pollfd wait = {nFd, POLLIN, 0};
        char szMessage[512] = {0};
        if (::poll(&wait, 1, 5000) != 1 || ::recv(nFd, szMessage, sizeof szMessage - 1, 0) <= 0) {
            sOut += "(nothing more)";
            return 1;
        }
        sOut += std::string(szMessage) + "|";
    }
    return 0;
}

}  // namespace

TEST(MirelLogging, SyslogDestinationMapsLevelsToPriorities) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "a private /dev/log needs root";
    }
    std::string sReport;
    int nResult = mnettest::runInChild(logToPrivateSyslog, &sReport, 15000);
    if (nResult == 77) {
        GTEST_SKIP() << sReport;
    }
    ASSERT_EQ(0, nResult) << sReport;
    // "<priority>time name: pid [level] text": the facility is the default one, user (8).
    const int priorities[] = {LOG_ERR, LOG_WARNING, LOG_NOTICE, LOG_INFO, LOG_DEBUG, LOG_DEBUG};
    const int levels[] = {1, 2, 3, 5, 7, 9};
    std::size_t nStart = 0;
    for (std::size_t i = 0; i < 6; ++i) {
        std::size_t nEnd = sReport.find('|', nStart);
        ASSERT_NE(std::string::npos, nEnd) << sReport;
        std::string sMessage = sReport.substr(nStart, nEnd - nStart);
        nStart = nEnd + 1;
        EXPECT_EQ(0u, sMessage.find("<" + std::to_string(LOG_USER | priorities[i]) + ">"))
            << sMessage;
        std::string sLevel = std::to_string(levels[i]);
        EXPECT_TRUE(std::regex_search(
            sMessage, std::regex(": [0-9]+ \\[" + sLevel + "\\] record of level " + sLevel + "$")))
            << sMessage;
    }
}

TEST(MirelLogging, LevelZeroWritesNothingByDefault) {
    EXPECT_FALSE(MirelLogging::isEnabled(1));
    EXPECT_EQ(0, MirelLogging::getInstance().getLevel());
    EXPECT_FALSE(MirelLogging::getInstance().setFile("/nonexistent-dir/x.log"));
}

TEST_F(LogToFile, OverlongRecordIsCutAndMarkedOnOneLine) {
    MirelLogging::getInstance().setLevel(9);
    std::string sLong(6000, 'x');
    MIREL_LOG(9) << "head " << sLong << " tail" << endrecord;
    MIREL_LOG(9) << "next" << endrecord;
    std::vector<std::string> records = lines();
    ASSERT_EQ(2u, records.size());
    EXPECT_EQ(" [cut]", records[0].substr(records[0].size() - 6));
    EXPECT_LT(records[0].size(), 4200u);
    EXPECT_NE(std::string::npos, records[1].find("] next"));
}

namespace {

// What a record handler received; the log calls it one record at a time, so no lock.
struct Received {
    std::vector<std::pair<int, std::string>> records;
    static void handle(int nLevel, const char* pszText, void* pContext) {
        static_cast<Received*>(pContext)->records.emplace_back(nLevel, pszText);
    }
};

// Sets a handler for one test and takes it away again.
class LogToHandler : public LogToFile {
protected:
    void SetUp() override {
        LogToFile::SetUp();
        MirelLogging::getInstance().setRecordHandler(&Received::handle, &m_received);
    }
    void TearDown() override {
        MirelLogging::getInstance().setRecordHandler(0);
        LogToFile::TearDown();
    }
    Received m_received;
};

}  // namespace

TEST_F(LogToHandler, HandlerGetsLevelAndOneLineTextInsteadOfTheFile) {
    MirelLogging::getInstance().setLevel(5);
    MirelLogging::getInstance() << setloglevel(5) << "Class::op: port " << 5023 << endrecord;
    MirelLogging::getInstance() << setloglevel(6) << "too detailed" << endrecord;
    MIREL_LOG(1) << "two\nlines" << endrecord;
    ASSERT_EQ(2u, m_received.records.size());
    EXPECT_EQ(std::make_pair(5, std::string("Class::op: port 5023")), m_received.records[0]);
    EXPECT_EQ(std::make_pair(1, std::string("two\\nlines")), m_received.records[1]);
    EXPECT_TRUE(lines().empty()) << "a record also went to the file";

    MirelLogging::getInstance().setRecordHandler(0);
    MIREL_LOG(1) << "back to the file" << endrecord;
    EXPECT_EQ(2u, m_received.records.size());
    ASSERT_EQ(1u, lines().size());
    EXPECT_NE(std::string::npos, lines()[0].find("[1] back to the file"));
}

TEST_F(LogToHandler, HandlerRunsForOneRecordAtATimeAndItsOwnRecordsAreDropped) {
    MirelLogging::getInstance().setLevel(9);
    MirelLogging::getInstance().setRecordHandler(
        [](int nLevel, const char* pszText, void* pContext) {
            MIREL_LOG(1) << "from inside the handler" << endrecord;  // would deadlock if written
            Received::handle(nLevel, pszText, pContext);
        },
        &m_received);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 100; ++i) {
                MIREL_LOG(3) << "thread " << t << " record " << i << endrecord;
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(400u, m_received.records.size());
    for (const auto& record : m_received.records) {
        EXPECT_EQ(std::string::npos, record.second.find("inside")) << record.second;
    }
    EXPECT_TRUE(lines().empty());
}
