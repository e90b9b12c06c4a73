// The mnet tool's command line: subcommands, options, numbers and callback addresses.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "Options.hpp"
#include "TestSupport.hpp"

using mnettool::CallbackAddress;
using mnettool::Command;
using mnettool::CommandLine;
using mnettool::isNumericAddress;
using mnettool::parseCallbackAddress;
using mnettool::parseCommandLine;
using mnettool::parseNumber;
using mnettool::UsageError;

namespace {

CommandLine parse(const std::vector<std::string>& arguments) {
    return parseCommandLine(arguments);
}

// The UsageError that parsing throws; fails the test when nothing is thrown.
UsageError usageErrorOf(const std::vector<std::string>& arguments) {
    try {
        parseCommandLine(arguments);
    } catch (const UsageError& e) {
        return e;
    }
    ADD_FAILURE() << "no usage error";
    return UsageError(Command::Help, "");
}

}  // namespace

TEST(Options, NoArgumentsIsAUsageError) {
    UsageError e = usageErrorOf({});
    EXPECT_EQ(Command::Help, e.command());
    EXPECT_EQ("no subcommand given", std::string(e.what()));
}

TEST(Options, HelpFormsAskForTheRightText) {
    EXPECT_TRUE(parse({"--help"}).bHelp);
    EXPECT_EQ(Command::Help, parse({"-h"}).command);
    EXPECT_EQ(Command::Help, parse({"help"}).command);
    CommandLine line = parse({"help", "notify"});
    EXPECT_EQ(Command::Notify, line.command);
    EXPECT_TRUE(line.bHelp);
    line = parse({"listen", "--type", "udp", "--help"});
    EXPECT_EQ(Command::Listen, line.command);
    EXPECT_TRUE(line.bHelp);
    // Help wins over errors elsewhere on the line.
    EXPECT_TRUE(parse({"demo", "--count", "zero", "-h"}).bHelp);
    EXPECT_EQ(Command::Help, usageErrorOf({"help", "frob"}).command());
}

TEST(Options, VersionTakesNothingElse) {
    EXPECT_EQ(Command::Version, parse({"--version"}).command);
    EXPECT_EQ("unexpected argument 'x'", std::string(usageErrorOf({"--version", "x"}).what()));
}

TEST(Options, UnknownSubcommandAndTopLevelOptionAreNamed) {
    EXPECT_EQ("unknown subcommand 'frob'", std::string(usageErrorOf({"frob"}).what()));
    EXPECT_EQ("unknown option '--frob'", std::string(usageErrorOf({"--frob"}).what()));
}

TEST(Options, ListenDefaults) {
    CommandLine line = parse({"listen"});
    ASSERT_EQ(Command::Listen, line.command);
    EXPECT_FALSE(line.bHelp);
    EXPECT_EQ("", line.listen.sType);
    EXPECT_EQ(16, line.listen.nHandles);
    EXPECT_EQ(0, line.listen.nCount);
    EXPECT_EQ(0, line.listen.nTimeoutSeconds);
    EXPECT_FALSE(line.listen.bJson);
}

TEST(Options, ListenTakesValuesSeparateOrAfterEquals) {
    CommandLine line =
        parse({"listen", "--type", "socket", "--handles=4", "--count", "7", "--json"});
    EXPECT_EQ("socket", line.listen.sType);
    EXPECT_EQ(4, line.listen.nHandles);
    EXPECT_EQ(7, line.listen.nCount);
    EXPECT_TRUE(line.listen.bJson);
    EXPECT_EQ("pipe", parse({"listen", "--type=pipe"}).listen.sType);
    EXPECT_EQ("udp", parse({"listen", "--type=udp"}).listen.sType);
    // The sink knows TCP as "socket" only: tcp is taken as that name.
    EXPECT_EQ("socket", parse({"listen", "--type", "tcp"}).listen.sType);
    EXPECT_EQ(30, parse({"listen", "--timeout=30"}).listen.nTimeoutSeconds);
}

TEST(Options, ListenRejectsBadValues) {
    EXPECT_EQ("--type must be pipe, socket (or tcp) or udp, got 'TCP'",
              std::string(usageErrorOf({"listen", "--type", "TCP"}).what()));
    EXPECT_EQ("--timeout needs a whole number from 1 to 604800, got '0'",
              std::string(usageErrorOf({"listen", "--timeout", "0"}).what()));
    EXPECT_EQ(Command::Listen, usageErrorOf({"listen", "--timeout", "1.5"}).command());
    EXPECT_EQ("--count needs a whole number from 1 to 2147483647, got 'x'",
              std::string(usageErrorOf({"listen", "--count", "x"}).what()));
    EXPECT_EQ(Command::Listen, usageErrorOf({"listen", "--count", "0"}).command());
    EXPECT_EQ(Command::Listen, usageErrorOf({"listen", "--handles", "-1"}).command());
    EXPECT_EQ(Command::Listen, usageErrorOf({"listen", "--handles", "100001"}).command());
    EXPECT_EQ("option --type needs a value",
              std::string(usageErrorOf({"listen", "--type"}).what()));
    EXPECT_EQ("option --json takes no value",
              std::string(usageErrorOf({"listen", "--json=yes"}).what()));
    EXPECT_EQ("unknown option '--loud'", std::string(usageErrorOf({"listen", "--loud"}).what()));
    EXPECT_EQ("option --hex takes no value",
              std::string(usageErrorOf({"listen", "--hex=yes"}).what()));
    EXPECT_EQ("unexpected argument 'now'", std::string(usageErrorOf({"listen", "now"}).what()));
}

TEST(Options, NotifyReadsAddressHandleAndOptionalId) {
    CommandLine line = parse({"notify", "socket:127.0.0.1:5023", "3"});
    ASSERT_EQ(Command::Notify, line.command);
    EXPECT_EQ("socket:127.0.0.1:5023", line.notify.sAddress);
    EXPECT_EQ(3, line.notify.nHandle);
    EXPECT_EQ(0, line.notify.nId);
    line = parse({"notify", "pipe:qvintf1a2b", "0", "-42"});
    EXPECT_EQ(-42, line.notify.nId);
    line = parse({"notify", "--", "udp:localhost:9", "-1", "2147483647"});
    EXPECT_EQ(-1, line.notify.nHandle);
    EXPECT_EQ(2147483647, line.notify.nId);
}

TEST(Options, NotifyRejectsWrongUse) {
    EXPECT_EQ("ADDRESS and HANDLE are missing", std::string(usageErrorOf({"notify"}).what()));
    EXPECT_EQ("HANDLE is missing", std::string(usageErrorOf({"notify", "udp:127.0.0.1:9"}).what()));
    EXPECT_EQ("unexpected argument 'x'",
              std::string(usageErrorOf({"notify", "udp:127.0.0.1:9", "1", "2", "x"}).what()));
    EXPECT_EQ("HANDLE needs a whole number from -2147483648 to 2147483647, got 'abc'",
              std::string(usageErrorOf({"notify", "udp:127.0.0.1:9", "abc"}).what()));
    EXPECT_EQ(Command::Notify, usageErrorOf({"notify", "udp:127.0.0.1:9", "2147483648"}).command());
    EXPECT_EQ(Command::Notify, usageErrorOf({"notify", "udp:127.0.0.1:9", "1", "1e3"}).command());
    EXPECT_EQ("bad ADDRESS 'tcp:127.0.0.1:9': unknown transport 'tcp' (pipe, socket, udp or ssl)",
              std::string(usageErrorOf({"notify", "tcp:127.0.0.1:9", "1"}).what()));
    EXPECT_EQ("unknown option '--id'", std::string(usageErrorOf({"notify", "--id", "3"}).what()));
}

TEST(Options, NotifySendsAStringInsteadOfTheId) {
    CommandLine line = parse({"notify", "udp:127.0.0.1:9", "3", "--string", "hello"});
    EXPECT_TRUE(line.notify.bString);
    EXPECT_EQ("hello", line.notify.sText);
    EXPECT_EQ(3, line.notify.nHandle);
    // A text that looks like an option, and an empty one, are texts after '='.
    line = parse({"notify", "--string=-v", "udp:127.0.0.1:9", "3"});
    EXPECT_EQ("-v", line.notify.sText);
    EXPECT_EQ("", parse({"notify", "udp:127.0.0.1:9", "3", "--string="}).notify.sText);
    EXPECT_EQ(
        "give either ID or --string, not both",
        std::string(usageErrorOf({"notify", "udp:127.0.0.1:9", "3", "4", "--string", "x"}).what()));
    EXPECT_EQ("option --string needs a value",
              std::string(usageErrorOf({"notify", "udp:127.0.0.1:9", "3", "--string"}).what()));
}

TEST(Options, VerbosityCountsBeforeAndAfterTheSubcommand) {
    EXPECT_EQ(0, parse({"demo"}).nVerbosity);
    EXPECT_EQ(3, parse({"-v", "listen", "-vv"}).nVerbosity);
    EXPECT_EQ(-1, parse({"notify", "--quiet", "udp:127.0.0.1:9", "1"}).nVerbosity);
    EXPECT_EQ(0, parse({"--verbose", "demo", "-q"}).nVerbosity);
    // A negative number stays an operand.
    EXPECT_EQ(-5, parse({"notify", "-q", "udp:127.0.0.1:9", "-5"}).notify.nHandle);
    EXPECT_EQ("unknown option '-vq'", std::string(usageErrorOf({"demo", "-vq"}).what()));
    EXPECT_EQ("option --verbose takes no value",
              std::string(usageErrorOf({"demo", "--verbose=2"}).what()));
}

TEST(Options, LogLevelStepsOnTheLadderOfMeaningfulLevels) {
    using mnettool::logLevelFor;
    EXPECT_EQ(1, logLevelFor(0, 1));
    EXPECT_EQ(5, logLevelFor(0, 2));
    EXPECT_EQ(9, logLevelFor(0, 10));
    EXPECT_EQ(5, logLevelFor(3, 1));
    EXPECT_EQ(1, logLevelFor(3, -1));
    EXPECT_EQ(5, logLevelFor(9, -2));
    EXPECT_EQ(0, logLevelFor(1, -3));
    EXPECT_EQ(7, logLevelFor(7, 0));
}

TEST(Options, DemoCountAndTimeout) {
    CommandLine line = parse({"demo"});
    ASSERT_EQ(Command::Demo, line.command);
    EXPECT_EQ(200, line.demo.nCount);
    EXPECT_EQ(2000, line.demo.nTimeoutMs);
    line = parse({"demo", "--count", "5", "--timeout=100"});
    EXPECT_EQ(5, line.demo.nCount);
    EXPECT_EQ(100, line.demo.nTimeoutMs);
    EXPECT_EQ(Command::Demo, usageErrorOf({"demo", "--count", "1.5"}).command());
    EXPECT_EQ(Command::Demo, usageErrorOf({"demo", "extra"}).command());
}

TEST(ParseNumber, AcceptsPlainDecimalWithinRange) {
    long n = 99;
    EXPECT_TRUE(parseNumber("0", 0, 10, &n));
    EXPECT_EQ(0, n);
    EXPECT_TRUE(parseNumber("-12", -20, 0, &n));
    EXPECT_EQ(-12, n);
    EXPECT_TRUE(parseNumber("007", 0, 10, &n));
    EXPECT_EQ(7, n);
    EXPECT_TRUE(parseNumber(std::to_string(LONG_MAX), LONG_MIN, LONG_MAX, &n));
    EXPECT_EQ(LONG_MAX, n);
    EXPECT_TRUE(parseNumber(std::to_string(LONG_MIN), LONG_MIN, LONG_MAX, &n));
    EXPECT_EQ(LONG_MIN, n);
}

TEST(ParseNumber, RejectsEverythingElseAndLeavesTheOutputAlone) {
    long n = 99;
    for (const char* psz : {"", "-", "+1", " 1", "1 ", "0x10", "1e3", "1.0", "--1", "12a"}) {
        EXPECT_FALSE(parseNumber(psz, LONG_MIN, LONG_MAX, &n)) << psz;
    }
    EXPECT_FALSE(parseNumber("11", 0, 10, &n));
    EXPECT_FALSE(parseNumber("-1", 0, 10, &n));
    EXPECT_FALSE(parseNumber("99999999999999999999", LONG_MIN, LONG_MAX, &n));
    EXPECT_FALSE(parseNumber("-99999999999999999999", LONG_MIN, LONG_MAX, &n));
    EXPECT_EQ(99, n);
}

TEST(CallbackAddressForm, AcceptsTheFourTransports) {
    CallbackAddress address;
    std::string sWhy;
    ASSERT_TRUE(parseCallbackAddress("pipe:qvintf1a2b", &address, &sWhy)) << sWhy;
    EXPECT_EQ("pipe", address.sKind);
    EXPECT_EQ("qvintf1a2b", address.sHost);
    EXPECT_EQ(0, address.nPort);
    ASSERT_TRUE(parseCallbackAddress("socket:127.0.0.1:5023", &address, &sWhy)) << sWhy;
    EXPECT_EQ("socket", address.sKind);
    EXPECT_EQ("127.0.0.1", address.sHost);
    EXPECT_EQ(5023, address.nPort);
    ASSERT_TRUE(parseCallbackAddress("udp:localhost:65535", &address, &sWhy)) << sWhy;
    EXPECT_EQ("udp", address.sKind);
    EXPECT_EQ(65535, address.nPort);
    // A host name is taken as it stands (this one no resolver could even look up).
    ASSERT_TRUE(parseCallbackAddress(std::string("ssl:") + mnettest::kUnresolvableHost + ":1",
                                     &address, &sWhy))
        << sWhy;
    EXPECT_EQ("ssl", address.sKind);
    EXPECT_EQ(mnettest::kUnresolvableHost, address.sHost);
}

TEST(CallbackAddressForm, RejectsWhatTheLibraryWouldSilentlyIgnore) {
    CallbackAddress address;
    std::string sWhy;
    // The library sends nothing and reports nothing for these; the tool says why instead.
    EXPECT_FALSE(parseCallbackAddress("tcp:127.0.0.1:5023", &address, &sWhy));
    EXPECT_EQ("unknown transport 'tcp' (pipe, socket, udp or ssl)", sWhy);
    EXPECT_FALSE(parseCallbackAddress("socket:127.0.0.1", &address, &sWhy));
    EXPECT_EQ("expected socket:HOST:PORT", sWhy);
    EXPECT_FALSE(parseCallbackAddress("pipeXabc", &address, &sWhy));
    EXPECT_FALSE(parseCallbackAddress("pipe", &address, &sWhy));
    EXPECT_FALSE(parseCallbackAddress("", &address, &sWhy));
}

TEST(CallbackAddressForm, RejectsBadNamesHostsAndPorts) {
    CallbackAddress address;
    std::string sWhy;
    EXPECT_FALSE(parseCallbackAddress("pipe:", &address, &sWhy));
    EXPECT_EQ("the pipe name is empty", sWhy);
    EXPECT_FALSE(parseCallbackAddress("pipe:../etc/x", &address, &sWhy));
    EXPECT_FALSE(parseCallbackAddress("pipe:a b", &address, &sWhy));
    EXPECT_FALSE(parseCallbackAddress("udp::5023", &address, &sWhy));
    EXPECT_EQ("the host is empty", sWhy);
    EXPECT_FALSE(parseCallbackAddress("udp:local host:5023", &address, &sWhy));
    EXPECT_FALSE(parseCallbackAddress("socket:127.0.0.1:0", &address, &sWhy));
    EXPECT_EQ("the port must be a number from 1 to 65535, got '0'", sWhy);
    EXPECT_FALSE(parseCallbackAddress("socket:127.0.0.1:65536", &address, &sWhy));
    EXPECT_FALSE(parseCallbackAddress("socket:127.0.0.1:50x", &address, &sWhy));
    EXPECT_FALSE(parseCallbackAddress("socket:127.0.0.1:", &address, &sWhy));
    EXPECT_FALSE(parseCallbackAddress("socket:::1:5023", &address, &sWhy));
    EXPECT_EQ("an IPv6 address goes in brackets: socket:[ADDRESS]:PORT", sWhy);
    EXPECT_FALSE(parseCallbackAddress("socket:[::1:5023", &address, &sWhy));
    EXPECT_FALSE(parseCallbackAddress("udp:[not-an-address]:5023", &address, &sWhy));
}

TEST(CallbackAddressForm, TakesABracketedIPv6Host) {
    CallbackAddress address;
    std::string sWhy;
    ASSERT_TRUE(parseCallbackAddress("udp:[::1]:5023", &address, &sWhy)) << sWhy;
    EXPECT_EQ("::1", address.sHost);
    EXPECT_EQ(5023, address.nPort);
    EXPECT_TRUE(isNumericAddress("[::1]") && isNumericAddress("::") &&
                isNumericAddress("127.0.0.1"));
    EXPECT_FALSE(isNumericAddress("localhost") || isNumericAddress("127.0.0.256") ||
                 isNumericAddress("[127.0.0.1"));
}

TEST(Usage, EverySubcommandHasItsSynopsisAndHelp) {
    EXPECT_EQ("usage: mnet notify ADDRESS HANDLE [ID | --string TEXT] [-v|-q]",
              mnettool::synopsis(Command::Notify));
    for (Command command : {Command::Listen, Command::Notify, Command::Demo}) {
        std::string sHelp = mnettool::helpText(command);
        EXPECT_EQ(0u, sHelp.find(mnettool::synopsis(command) + "\n"));
        EXPECT_EQ('\n', sHelp.back());
    }
    std::string sListen = mnettool::helpText(Command::Listen);
    for (const char* pszOption :
         {"--type", "--handles", "--count", "--timeout", "--json", "--hex", "--verbose"}) {
        EXPECT_NE(std::string::npos, sListen.find(pszOption)) << pszOption;
    }
    std::string sMain = mnettool::helpText(Command::Help);
    for (const char* pszCommand : {"mnet listen", "mnet notify", "mnet demo", "--version"}) {
        EXPECT_NE(std::string::npos, sMain.find(pszCommand)) << pszCommand;
    }
}
