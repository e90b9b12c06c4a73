// What the mnet tool prints: failure lines, notification lines, percentiles and the table.
#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "Report.hpp"

using mnettool::DemoRow;

namespace {

std::vector<std::string> linesOf(const std::string& sText) {
    std::vector<std::string> lines;
    std::istringstream stream(sText);
    std::string sLine;
    while (std::getline(stream, sLine)) {
        lines.push_back(sLine);
    }
    return lines;
}

}  // namespace

TEST(Report, FailureCarriesTextCodeAndSystemDescription) {
    EXPECT_EQ(
        std::string("MirelSocketConnection::establish: connection request failed. (code 111: ") +
            std::strerror(111) + ")",
        mnettool::describeFailure("MirelSocketConnection::establish: connection request failed.",
                                  111));
    EXPECT_EQ("x. (code 0: no system error)", mnettool::describeFailure("x.", 0));
}

TEST(Report, TimestampIsUtcWithMicroseconds) {
    using namespace std::chrono;
    EXPECT_EQ("1970-01-01T00:00:00.000000Z", mnettool::utcTimestamp(system_clock::time_point()));
    system_clock::time_point when(
        duration_cast<system_clock::duration>(microseconds(1700000000123456LL)));
    EXPECT_EQ("2023-11-14T22:13:20.123456Z", mnettool::utcTimestamp(when));
}

TEST(Report, NotificationLineAsTextAndAsJson) {
    EXPECT_EQ("handle=3 id=-42 time=T", mnettool::notificationLine(3, -42, "T", false));
    EXPECT_EQ("{\"handle\":3,\"id\":-42,\"time\":\"T\"}",
              mnettool::notificationLine(3, -42, "T", true));
    mnettool::Sender sender;
    sender.bKnown = true;
    sender.nUid = 1000;
    sender.nPid = 77;
    EXPECT_EQ("handle=3 id=-42 time=T uid=1000 pid=77",
              mnettool::notificationLine(3, -42, "T", false, sender));
    EXPECT_EQ("{\"handle\":3,\"id\":-42,\"time\":\"T\",\"uid\":1000,\"pid\":77}",
              mnettool::notificationLine(3, -42, "T", true, sender));
}

TEST(Report, HexGroupsShowWordsAndStringValues) {
    using mnettool::hexGroups;
    EXPECT_EQ("", hexGroups(""));
    EXPECT_EQ("00000005 68656c6c6f", hexGroups(std::string("\0\0\0\5hello", 9)));
    EXPECT_EQ("0000002a", hexGroups(std::string("\0\0\0\x2a", 4)));
    // A length the bytes cannot back, or text that is not printable, is not a string.
    EXPECT_EQ("00000003 00000000", hexGroups(std::string("\0\0\0\3\0\0\0\0", 8)));
    EXPECT_EQ("00000009 6869", hexGroups(std::string("\0\0\0\x09hi", 6)));
    // A long, then a string; a tail shorter than a word.
    EXPECT_EQ("00000007 00000002 6869", hexGroups(std::string("\0\0\0\x07\0\0\0\x02hi", 10)));
    EXPECT_EQ("00000001 41 ff", hexGroups(std::string("\0\0\0\x01"
                                                      "A\xff",
                                                      6)));
}

TEST(Report, ContentLineKeepsTheHexadecimalLast) {
    EXPECT_EQ("handle=3 time=T hex=00000005 68656c6c6f",
              mnettool::contentLine(3, "00000005 68656c6c6f", "T", false));
    EXPECT_EQ("{\"handle\":3,\"hex\":\"\",\"time\":\"T\"}",
              mnettool::contentLine(3, "", "T", true));
}

TEST(Report, AddressLineIsAJsonObjectWithJson) {
    EXPECT_EQ("udp:127.0.0.1:5023", mnettool::addressLine("udp:127.0.0.1:5023", false));
    EXPECT_EQ("{\"address\":\"udp:127.0.0.1:5023\"}",
              mnettool::addressLine("udp:127.0.0.1:5023", true));
    // Whatever the address holds, the line stays one valid JSON object.
    EXPECT_EQ("{\"address\":\"pipe:a\\\"b\\\\c\\u000ad\"}",
              mnettool::addressLine("pipe:a\"b\\c\nd", true));
}

TEST(Report, PercentileIsNearestRank) {
    EXPECT_EQ(0.0, mnettool::percentile({}, 50));
    EXPECT_EQ(5.0, mnettool::percentile({5}, 99));
    std::vector<double> values;
    for (int i = 100; i >= 1; --i) {
        values.push_back(i);
    }
    EXPECT_EQ(50.0, mnettool::percentile(values, 50));
    EXPECT_EQ(99.0, mnettool::percentile(values, 99));
    EXPECT_EQ(100.0, mnettool::percentile(values, 100));
    EXPECT_EQ(2.0, mnettool::percentile({3, 1, 2}, 50));
    EXPECT_EQ(3.0, mnettool::percentile({3, 1, 2}, 99));
}

TEST(Report, LatencyInMicrosecondsThenMilliseconds) {
    EXPECT_EQ("37 us", mnettool::formatLatency(37.4));
    EXPECT_EQ("999 us", mnettool::formatLatency(999.0));
    EXPECT_EQ("1.25 ms", mnettool::formatLatency(1250.0));
    EXPECT_EQ("-", mnettool::formatLatency(-1.0));
}

TEST(Report, DemoTableIsAlignedAndShowsNotes) {
    DemoRow pipe;
    pipe.sTransport = "pipe";
    pipe.sNote = "skipped: no usable shared-service directory";
    DemoRow socket;
    socket.sTransport = "socket";
    socket.sAddress = "socket:127.0.0.1:5023";
    socket.nSent = 200;
    socket.nDelivered = 200;
    socket.latenciesUs = {10, 20, 30};
    std::vector<std::string> lines = linesOf(mnettool::formatDemoTable({pipe, socket}));
    ASSERT_EQ(4u, lines.size());
    EXPECT_EQ(0u, lines[0].find("transport  address"));
    EXPECT_EQ(0u, lines[1].find("pipe       -"));
    EXPECT_EQ("    skipped: no usable shared-service directory", lines[2]);
    EXPECT_EQ(0u, lines[3].find("socket     socket:127.0.0.1:5023"));
    // Right-aligned numbers end under their headings.
    EXPECT_EQ(lines[0].find("sent") + 4, lines[3].find("200") + 3);
    EXPECT_EQ(lines[0].find("delivered") + 9, lines[3].rfind("200") + 3);
    EXPECT_EQ(lines[0].size(), lines[3].size());
    EXPECT_NE(std::string::npos, lines[3].find("20 us"));
    EXPECT_NE(std::string::npos, lines[3].find("30 us"));
    EXPECT_EQ('-', lines[1].back());
}
