#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>
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

TEST_F(LogToFile, WritesOnlyRecordsAtOrBelowTheLevelWithTimeAndLevelInFront) {
    MirelLogging::getInstance().setLevel(5);
    MirelLogging::getInstance() << setloglevel(5) << "Class::op: port " << 5023 << ' ' << -1L
                                << endrecord;
    MirelLogging::getInstance() << setloglevel(9) << "hidden" << endrecord;
    std::vector<std::string> records = lines();
    ASSERT_EQ(1u, records.size());
    EXPECT_NE(std::string::npos, records[0].find(" [5] Class::op: port 5023 -1"));
    EXPECT_EQ('Z', records[0][23]);
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
