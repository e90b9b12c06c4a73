#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>

#include <unistd.h>

#include "MirelLogging.hpp"
#include "MirelNetUtilities.hpp"
#include "TestSupport.hpp"

using MirelNet::MirelAddressToNameImpl;
using MirelNet::MirelNameToAddressImpl;
using MirelSupport::MirelLogging;
using MirelSupport::MirelString;
using MirelSupport::MirelStringVector;

namespace {

const char* const kNameFailed = "MirelUtilities::MirelNameToAddress: gethostbyname failed";
const char* const kAddressFailed = "MirelUtilities::MirelAddressToName: gethostbyaddr failed";

// Sends the log to a private file at level 9 for the duration of one case.
class MirelNetUtilities : public ::testing::Test {
protected:
    std::string logText() const { return m_log.text(); }

    mnettest::LogCapture m_log;
};

}  // namespace

TEST_F(MirelNetUtilities, LocalhostResolvesToLoopbackWithoutLogging) {
    MirelStringVector addresses;
    MirelString sMessage("untouched");
    EXPECT_TRUE(MirelNameToAddressImpl("localhost", addresses, sMessage));
    EXPECT_NE(std::find(addresses.begin(), addresses.end(), "127.0.0.1"), addresses.end());
    EXPECT_EQ("untouched", sMessage);
    EXPECT_EQ(std::string::npos, logText().find(kNameFailed));
}

TEST_F(MirelNetUtilities, DottedNameYieldsItselfWithAllFourBytes) {
    MirelStringVector addresses;
    MirelString sMessage;
    EXPECT_TRUE(MirelNameToAddressImpl("10.0.0.1", addresses, sMessage));
    ASSERT_EQ(1u, addresses.size());
    EXPECT_EQ("10.0.0.1", addresses[0]);
}

TEST_F(MirelNetUtilities, SecondLookupAppendsBehindEarlierEntries) {
    MirelStringVector addresses(1, "kept");
    MirelString sMessage;
    MirelNameToAddressImpl("127.0.0.1", addresses, sMessage);
    MirelNameToAddressImpl("127.0.0.1", addresses, sMessage);
    ASSERT_EQ(3u, addresses.size());
    EXPECT_EQ("kept", addresses[0]);
    EXPECT_EQ("127.0.0.1", addresses[1]);
    EXPECT_EQ("127.0.0.1", addresses[2]);
}

TEST_F(MirelNetUtilities, UnresolvableNameAppendsNothingAndLogsAtLevelOne) {
    MirelStringVector addresses(1, "kept");
    MirelString sMessage("caller text");
    MirelLogging::getInstance().setLevel(1);
    EXPECT_TRUE(MirelNameToAddressImpl(mnettest::kUnresolvableHost, addresses, sMessage));
    EXPECT_EQ(MirelStringVector(1, "kept"), addresses);
    EXPECT_EQ("caller text", sMessage);
    EXPECT_NE(std::string::npos, logText().find(std::string("[1] ") + kNameFailed + "\n"));
}

TEST_F(MirelNetUtilities, LoopbackAddressHasAReverseName) {
    MirelString sName("before");
    MirelString sMessage("caller text");
    EXPECT_TRUE(MirelAddressToNameImpl("127.0.0.1", sName, sMessage));
    EXPECT_NE("before", sName);
    EXPECT_FALSE(sName.empty());
    EXPECT_EQ("caller text", sMessage);
    EXPECT_EQ(std::string::npos, logText().find(kAddressFailed));
}

// 0.0.0.0 has no reverse entry in the hosts file, and no name server is asked (TestSupport).
TEST_F(MirelNetUtilities, AddressWithoutReverseEntryKeepsNameAndLogsAtLevelOne) {
    MirelString sName("before");
    MirelString sMessage("caller text");
    MirelLogging::getInstance().setLevel(1);
    EXPECT_TRUE(MirelAddressToNameImpl("0.0.0.0", sName, sMessage));
    EXPECT_EQ("before", sName);
    EXPECT_EQ("caller text", sMessage);
    EXPECT_NE(std::string::npos, logText().find(std::string("[1] ") + kAddressFailed + "\n"));
}

TEST_F(MirelNetUtilities, FailureRecordsAreNotWrittenBelowLevelOne) {
    MirelStringVector addresses;
    MirelString sName, sMessage;
    MirelLogging::getInstance().setLevel(0);
    MirelNameToAddressImpl(mnettest::kUnresolvableHost, addresses, sMessage);
    MirelAddressToNameImpl("0.0.0.0", sName, sMessage);
    EXPECT_EQ("", logText());
}

TEST(MirelResolveExceptions, TextIsPrefixAndCallerTextWithCodeZero) {
    try {
        throw MirelNet::MirelUnableToResolveNameException("db01");
    } catch (const MirelSupport::MirelException& e) {
        EXPECT_EQ("MirelUnableToResolveNameException - db01", e.getText());
        EXPECT_EQ(0, e.getCode());
    }
    try {
        throw MirelNet::MirelUnableToResolveAddressException("");
    } catch (const MirelSupport::MirelException& e) {
        EXPECT_EQ("MirelUnableToResolveAddressException - ", e.getText());
        EXPECT_EQ(0, e.getCode());
    }
}
