// The built mnet program, run as a user runs it: listen in one process and notify from
// another over each transport, signals, and every wrong use (exit code and one line on
// standard error). Every wait is bounded; a program that overstays is killed.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "MirelPipeServer.hpp"
#include "TestSupport.hpp"

extern char** environ;

namespace {

const char* const kProgram = MNET_CLI_PATH;

typedef std::chrono::steady_clock Clock;

struct Outcome {
    int nExitCode = -1;  // -1 when killed by a signal or timed out
    bool bTimedOut = false;
    std::string sOut;
    std::string sErr;
};

int millisecondsUntil(Clock::time_point deadline) {
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

// One running mnet with its standard output and error on pipes.
class Program {
public:
    Program() : m_nPid(-1), m_nOut(-1), m_nErr(-1) {}
    ~Program() {
        if (m_nPid > 0) {
            ::kill(m_nPid, SIGKILL);
            ::waitpid(m_nPid, 0, 0);
        }
        closeFd(m_nOut);
        closeFd(m_nErr);
    }

    bool start(const std::vector<std::string>& arguments) {
        int out[2];
        int err[2];
        if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
            return false;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        std::vector<std::string> all(1, kProgram);
        all.insert(all.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv;
        for (std::string& s : all) {
            argv.push_back(&s[0]);
        }
        argv.push_back(0);
        int rc = ::posix_spawn(&m_nPid, kProgram, &actions, 0, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        ::close(err[1]);
        m_nOut = out[0];
        m_nErr = err[0];
        if (rc != 0) {
            m_nPid = -1;
            return false;
        }
        return true;
    }

    // The next whole line of standard output, without its newline.
    bool readLine(std::string* psLine, int nTimeoutMs) {
        Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(nTimeoutMs);
        for (;;) {
            std::size_t nEnd = m_sOut.find('\n');
            if (nEnd != std::string::npos) {
                *psLine = m_sOut.substr(0, nEnd);
                m_sOut.erase(0, nEnd + 1);
                return true;
            }
            if (!readSome(m_nOut, &m_sOut, millisecondsUntil(deadline))) {
                return false;
            }
        }
    }

    void signal(int nSignal) { ::kill(m_nPid, nSignal); }

    // Waits for the end, reading the rest of both outputs; kills the program at the deadline.
    Outcome finish(int nTimeoutMs) {
        Outcome outcome;
        Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(nTimeoutMs);
        bool bOutOpen = true;
        bool bErrOpen = true;
        while ((bOutOpen || bErrOpen) && Clock::now() < deadline) {
            pollfd waits[2] = {{bOutOpen ? m_nOut : -1, POLLIN, 0},
                               {bErrOpen ? m_nErr : -1, POLLIN, 0}};
            if (::poll(waits, 2, millisecondsUntil(deadline)) <= 0) {
                continue;
            }
            if (waits[0].revents != 0) {
                bOutOpen = readSome(m_nOut, &m_sOut, 0);
            }
            if (waits[1].revents != 0) {
                bErrOpen = readSome(m_nErr, &m_sErr, 0);
            }
        }
        int nStatus = 0;
        while (::waitpid(m_nPid, &nStatus, WNOHANG) == 0) {
            if (Clock::now() >= deadline) {
                outcome.bTimedOut = true;
                ::kill(m_nPid, SIGKILL);
                ::waitpid(m_nPid, &nStatus, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        m_nPid = -1;
        outcome.nExitCode = !outcome.bTimedOut && WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
        outcome.sOut = m_sOut;
        outcome.sErr = m_sErr;
        return outcome;
    }

private:
    static void closeFd(int nFd) {
        if (nFd >= 0) {
            ::close(nFd);
        }
    }

    // Appends what arrives within nTimeoutMs; false at the end of the stream or on time-out.
    static bool readSome(int nFd, std::string* psBuffer, int nTimeoutMs) {
        pollfd wait = {nFd, POLLIN, 0};
        if (::poll(&wait, 1, nTimeoutMs) <= 0) {
            return false;
        }
        char buffer[4096];
        ssize_t n = ::read(nFd, buffer, sizeof buffer);
        if (n <= 0) {
            return false;
        }
        psBuffer->append(buffer, static_cast<std::size_t>(n));
        return true;
    }

    pid_t m_nPid;
    int m_nOut;
    int m_nErr;
    std::string m_sOut;
    std::string m_sErr;
};

Outcome runMnet(const std::vector<std::string>& arguments, int nTimeoutMs = 20000) {
    Program program;
    if (!program.start(arguments)) {
        ADD_FAILURE() << "cannot start " << kProgram;
        return Outcome();
    }
    return program.finish(nTimeoutMs);
}

int countLines(const std::string& sText) {
    int n = 0;
    for (char c : sText) {
        n += c == '\n' ? 1 : 0;
    }
    return n;
}

// A wrong use: the exit code, nothing on standard output, exactly one line on standard
// error that holds sExpected.
void expectOneErrorLine(const std::vector<std::string>& arguments, int nExitCode,
                        const std::string& sExpected) {
    Outcome outcome = runMnet(arguments);
    std::string sCall;
    for (const std::string& s : arguments) {
        sCall += " " + s;
    }
    EXPECT_EQ(nExitCode, outcome.nExitCode) << "mnet" << sCall << "\n" << outcome.sErr;
    EXPECT_EQ("", outcome.sOut) << "mnet" << sCall;
    EXPECT_EQ(1, countLines(outcome.sErr)) << "mnet" << sCall << ":\n" << outcome.sErr;
    EXPECT_NE(std::string::npos, outcome.sErr.find(sExpected)) << "mnet" << sCall << ":\n"
                                                               << outcome.sErr;
}

bool isSocketFile(const std::string& sPath) {
    struct stat info;
    return ::lstat(sPath.c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
}

// Without the tool in the build (MNET_BUILD_TOOLS off) there is nothing to run.
class ProgramBuilt : public ::testing::Environment {
public:
    void SetUp() override {
        if (*kProgram == 0) {
            GTEST_SKIP() << "the mnet tool is not built";
        }
    }
};

const ::testing::Environment* const g_pProgramBuilt =
    ::testing::AddGlobalTestEnvironment(new ProgramBuilt);

const char* const kTimePattern =
    "[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{6}Z";

class ListenAndNotify : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        if (std::string(GetParam()) == "pipe") {
            MNET_REQUIRE_SHARED_DIR();
        }
    }
};

}  // namespace

TEST_P(ListenAndNotify, OneNotificationTravelsBetweenTwoProcesses) {
    Program listen;
    ASSERT_TRUE(listen.start({"listen", "--type", GetParam(), "--count", "1"}));
    std::string sAddress;
    ASSERT_TRUE(listen.readLine(&sAddress, 15000)) << listen.finish(1000).sErr;
    ASSERT_EQ(0u, sAddress.find(std::string(GetParam()) + ":")) << sAddress;

    Outcome notify = runMnet({"notify", sAddress, "5", "1234"});
    EXPECT_EQ(0, notify.nExitCode) << notify.sErr;
    EXPECT_EQ("", notify.sErr);
    EXPECT_EQ("", notify.sOut);

    Outcome outcome = listen.finish(15000);
    EXPECT_EQ(0, outcome.nExitCode) << outcome.sErr;
    EXPECT_EQ("", outcome.sErr);
    // A pipe names the sender: this process's user, the notify process's id.
    std::string sSender = std::string(GetParam()) == "pipe"
                              ? " uid=" + std::to_string(::geteuid()) + " pid=[1-9][0-9]*"
                              : "";
    EXPECT_TRUE(std::regex_match(outcome.sOut, std::regex(std::string("handle=5 id=1234 time=") +
                                                          kTimePattern + sSender + "\n")))
        << outcome.sOut;
}

// A sink placed on ::1 prints a bracketed address, and notify reaches it there.
TEST_P(ListenAndNotify, BindPlacesATcpOrUdpSinkOnIPv6) {
    if (std::string(GetParam()) == "pipe") {
        GTEST_SKIP() << "a pipe sink binds no address";
    }
    Program listen;
    ASSERT_TRUE(listen.start({"listen", "--type", GetParam(), "--bind", "::1", "--count", "1"}));
    std::string sAddress;
    ASSERT_TRUE(listen.readLine(&sAddress, 15000)) << listen.finish(1000).sErr;
    ASSERT_EQ(0u, sAddress.find(std::string(GetParam()) + ":[::1]:")) << sAddress;
    Outcome notify = runMnet({"notify", sAddress, "2", "77"});
    EXPECT_EQ(0, notify.nExitCode) << notify.sErr;
    Outcome outcome = listen.finish(15000);
    EXPECT_EQ(0, outcome.nExitCode) << outcome.sErr;
    EXPECT_NE(std::string::npos, outcome.sOut.find("handle=2 id=77 ")) << outcome.sOut;
}

TEST_P(ListenAndNotify, HexShowsAStringMessageByteForByte) {
    Program listen;
    ASSERT_TRUE(listen.start({"listen", "--type", GetParam(), "--hex", "--count", "1"}));
    std::string sAddress;
    ASSERT_TRUE(listen.readLine(&sAddress, 15000)) << listen.finish(1000).sErr;

    Outcome notify = runMnet({"notify", sAddress, "3", "--string", "hello"});
    EXPECT_EQ(0, notify.nExitCode) << notify.sErr;

    Outcome outcome = listen.finish(15000);
    EXPECT_EQ(0, outcome.nExitCode) << outcome.sErr;
    EXPECT_TRUE(std::regex_match(
        outcome.sOut,
        std::regex(std::string("handle=3 time=") + kTimePattern + " hex=00000005 68656c6c6f\n")))
        << outcome.sOut;
}

TEST_P(ListenAndNotify, UnregisteredHandleIsIgnoredAndJsonLinesFollow) {
    Program listen;
    ASSERT_TRUE(
        listen.start({"listen", "--type", GetParam(), "--handles", "2", "--count", "1", "--json"}));
    // JSON Lines from the first line on: the address too is an object.
    std::string sFirst;
    ASSERT_TRUE(listen.readLine(&sFirst, 15000)) << listen.finish(1000).sErr;
    std::smatch match;
    ASSERT_TRUE(std::regex_match(sFirst, match, std::regex("\\{\"address\":\"([^\"\\\\]+)\"\\}")))
        << sFirst;
    std::string sAddress = match[1];
    EXPECT_EQ(0u, sAddress.find(std::string(GetParam()) + ":")) << sAddress;

    // Handle 2 has no callback (0 and 1 have): the sink drops the message and goes on. It
    // closes without reading the id, so the sender may find the peer gone while writing it.
    Outcome dropped = runMnet({"notify", sAddress, "2", "7"});
    if (dropped.nExitCode != 0) {
        EXPECT_EQ(1, dropped.nExitCode);
        EXPECT_TRUE(dropped.sErr.find("(code 32: ") != std::string::npos ||
                    dropped.sErr.find("(code 104: ") != std::string::npos)
            << dropped.sErr;
    }
    EXPECT_EQ(0, runMnet({"notify", sAddress, "1", "-8"}).nExitCode);
    std::string sSender = std::string(GetParam()) == "pipe"
                              ? ",\"uid\":" + std::to_string(::geteuid()) + ",\"pid\":[1-9][0-9]*"
                              : "";

    Outcome outcome = listen.finish(15000);
    EXPECT_EQ(0, outcome.nExitCode) << outcome.sErr;
    EXPECT_TRUE(std::regex_match(outcome.sOut,
                                 std::regex(std::string("\\{\"handle\":1,\"id\":-8,\"time\":\"") +
                                            kTimePattern + "\"" + sSender + "\\}\n")))
        << outcome.sOut;
}

TEST_P(ListenAndNotify, TerminationInterruptAndHangupStopCleanly) {
    for (int nSignal : {SIGTERM, SIGINT, SIGHUP}) {
        Program listen;
        ASSERT_TRUE(listen.start({"listen", "--type", GetParam()}));
        std::string sAddress;
        ASSERT_TRUE(listen.readLine(&sAddress, 15000)) << listen.finish(1000).sErr;
        listen.signal(nSignal);
        Outcome outcome = listen.finish(15000);
        EXPECT_FALSE(outcome.bTimedOut);
        EXPECT_EQ(0, outcome.nExitCode) << "signal " << nSignal << ": " << outcome.sErr;
        EXPECT_EQ("", outcome.sOut);
        EXPECT_EQ("", outcome.sErr);
        if (sAddress.compare(0, 5, "pipe:") == 0) {
            EXPECT_FALSE(
                isSocketFile(MirelNet::MirelPipeServer::getFullPipeName(sAddress.substr(5))))
                << "the endpoint file stayed behind";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Transports, ListenAndNotify, ::testing::Values("pipe", "socket", "udp"));

TEST(MnetCommand, ListenEndsAfterItsTimeOutWithWhatArrived) {
    // --type tcp is the TCP sink, whose addresses read "socket:".
    Program listen;
    ASSERT_TRUE(listen.start({"listen", "--type", "tcp", "--timeout", "5"}));
    std::string sAddress;
    ASSERT_TRUE(listen.readLine(&sAddress, 15000)) << listen.finish(1000).sErr;
    ASSERT_EQ(0u, sAddress.find("socket:127.0.0.1:")) << sAddress;
    EXPECT_EQ(0, runMnet({"notify", sAddress, "4", "44"}).nExitCode);
    std::string sLine;
    ASSERT_TRUE(listen.readLine(&sLine, 15000));
    EXPECT_EQ(0u, sLine.find("handle=4 id=44 time=")) << sLine;

    // No signal and no count: the time-out alone ends it, cleanly.
    Outcome outcome = listen.finish(30000);
    EXPECT_FALSE(outcome.bTimedOut);
    EXPECT_EQ(0, outcome.nExitCode) << outcome.sErr;
    EXPECT_EQ("", outcome.sOut);
    EXPECT_EQ("", outcome.sErr);
}

TEST(MnetCommand, UnreachablePeerFailsWithTextCodeAndDescription) {
    int nPort = mnettest::freeTcpPort();
    ASSERT_GT(nPort, 0);
    std::string sAddress = "socket:127.0.0.1:" + std::to_string(nPort);
    expectOneErrorLine(
        {"notify", sAddress, "1"}, 1,
        "mnet notify: " + sAddress +
            ": MirelSocketConnection::establish: connection request failed. (code 111: " +
            std::strerror(111) + ")");
}

TEST(MnetCommand, UnresolvableHostFailsInsteadOfReachingThisMachine) {
    std::string sAddress =
        std::string("socket:") + mnettest::kUnresolvableHost + ":" + std::to_string(9);
    expectOneErrorLine({"notify", sAddress, "1"}, 1,
                       "MirelSocketConnection::establish: could not find host. (code 113: ");
}

TEST(MnetCommand, MissingPipeEndpointFails) {
    std::string sName = mnettest::uniqueName("mnetclinone");
    expectOneErrorLine({"notify", "pipe:" + sName, "1"}, 1,
                       "MirelPipeConnection::establish: connection request failed.");
}

TEST(MnetCommand, DatagramThatIsNeverSentFails) {
    expectOneErrorLine({"notify", "udp:127.0.0.256:5023", "1", "2"}, 1,
                       "mnet notify: udp:127.0.0.256:5023: MirelUDPSocketConnection::transmit: "
                       "failed to send data. (code 89: ");
}

TEST(MnetCommand, SslShellReportsThatNothingMoves) {
    expectOneErrorLine({"notify", "ssl:127.0.0.1:9", "1"}, 1, "(code 107: ");
}

TEST(MnetCommand, WrongUseEndsWithOneLineAndExitCodeTwo) {
    expectOneErrorLine({}, 2, "mnet: no subcommand given; usage: mnet ");
    expectOneErrorLine({"frob"}, 2, "mnet: unknown subcommand 'frob'");
    expectOneErrorLine({"--frob"}, 2, "mnet: unknown option '--frob'");
    expectOneErrorLine({"notify", "tcp:127.0.0.1:5023", "1"}, 2,
                       "mnet notify: bad ADDRESS 'tcp:127.0.0.1:5023': unknown transport 'tcp'");
    expectOneErrorLine({"notify", "socket:127.0.0.1", "1"}, 2, "bad ADDRESS 'socket:127.0.0.1'");
    expectOneErrorLine({"notify", "udp:127.0.0.1:http", "1"}, 2, "the port must be a number");
    expectOneErrorLine({"notify", "pipe:", "1"}, 2, "the pipe name is empty");
    expectOneErrorLine(
        {"notify", "udp:127.0.0.1:9", "one"}, 2,
        "HANDLE needs a whole number from -2147483648 to 2147483647, got 'one'; usage: mnet notify "
        "ADDRESS HANDLE [ID | --string TEXT] [-v|-q]");
    expectOneErrorLine({"notify", "udp:127.0.0.1:9", "1", "2x"}, 2, "ID needs a whole number");
    expectOneErrorLine({"notify", "udp:127.0.0.1:9"}, 2, "HANDLE is missing");
    expectOneErrorLine({"listen", "--count", "many"}, 2,
                       "mnet listen: --count needs a whole number");
    expectOneErrorLine({"listen", "--handles", "0"}, 2, "--handles needs a whole number from 1");
    expectOneErrorLine({"listen", "--type", "TCP"}, 2,
                       "--type must be pipe, socket (or tcp) or udp, got 'TCP'");
    expectOneErrorLine({"listen", "--timeout", "soon"}, 2,
                       "mnet listen: --timeout needs a whole number from 1 to 604800");
    expectOneErrorLine({"listen", "--type"}, 2, "option --type needs a value");
    expectOneErrorLine({"demo", "--count", "-3"}, 2, "mnet demo: --count needs a whole number");
    expectOneErrorLine({"demo", "now"}, 2, "unexpected argument 'now'");
}

TEST(MnetCommand, HelpAndVersionGoToStandardOutput) {
    for (const std::vector<std::string>& arguments :
         std::vector<std::vector<std::string>>{{"--help"},
                                               {"help", "listen"},
                                               {"listen", "--help"},
                                               {"notify", "-h"},
                                               {"demo", "--help"}}) {
        Outcome outcome = runMnet(arguments);
        EXPECT_EQ(0, outcome.nExitCode);
        EXPECT_EQ("", outcome.sErr);
        EXPECT_EQ(0u, outcome.sOut.find("usage: mnet ")) << outcome.sOut;
    }
    Outcome version = runMnet({"--version"});
    EXPECT_EQ(0, version.nExitCode);
    // The tool's version and the version of the library it runs with.
    EXPECT_EQ(
        std::string("mnet ") + MNET_EXPECTED_VERSION + " (libmnet " + MNET_EXPECTED_VERSION + ")\n",
        version.sOut);
}

TEST(MnetCommand, DemoPrintsATableAndDeliversEverything) {
    Outcome outcome = runMnet({"demo", "--count", "20"}, 60000);
    EXPECT_EQ(0, outcome.nExitCode) << outcome.sOut << outcome.sErr;
    EXPECT_NE(std::string::npos, outcome.sOut.find("transport  address")) << outcome.sOut;
    for (const char* pszTransport : {"socket", "udp"}) {
        EXPECT_TRUE(std::regex_search(
            outcome.sOut,
            std::regex(std::string("\n") + pszTransport + " +" + pszTransport +
                       ":127\\.0\\.0\\.1:[0-9]+ +20 +20 +[0-9.]+ [mu]s +[0-9.]+ [mu]s\n")))
            << outcome.sOut;
    }
    std::string sWhy;
    if (mnettest::sharedServiceDirUsable(&sWhy)) {
        EXPECT_TRUE(
            std::regex_search(outcome.sOut, std::regex("\npipe +pipe:qvintf[0-9a-f]+ +20 +20 ")))
            << outcome.sOut;
    }
    EXPECT_NE(std::string::npos, outcome.sOut.find("\nall ")) << outcome.sOut;
}
