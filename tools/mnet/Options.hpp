// Command line of the mnet tool: the subcommands, their options, and the checks on numbers
// and callback addresses, kept apart from any I/O so that they can be tested alone.
//
// parseCommandLine never prints and never exits: a wrong use comes back as a UsageError
// whose text is one line saying what is wrong; the caller prints it with the usage. Threads:
// plain functions on values; any thread may call them.
#ifndef MNET_TOOL_OPTIONS_HPP
#define MNET_TOOL_OPTIONS_HPP

#include <stdexcept>
#include <string>
#include <vector>

namespace mnettool {

enum class Command { Help, Version, Listen, Notify, Demo };

// A wrong use of the command line. command() names the subcommand whose usage applies
// (Command::Help when no subcommand was recognised).
class UsageError : public std::runtime_error {
public:
    UsageError(Command command, const std::string& sWhat)
        : std::runtime_error(sWhat), m_command(command) {}
    Command command() const { return m_command; }

private:
    Command m_command;
};

struct ListenOptions {
    std::string sType;        // "pipe", "socket", "udp", or empty: the environment decides
    int nHandles = 16;        // callbacks registered under handles 0 to nHandles - 1
    long nCount = 0;          // stop after this many notifications; 0: no limit
    int nTimeoutSeconds = 0;  // stop after this many seconds; 0: no limit
    bool bJson = false;
    bool bHex = false;  // print the bytes after the handle in hexadecimal instead of one long
    std::string sBind;  // the address a TCP or UDP sink binds and publishes; empty: the default
};

struct NotifyOptions {
    std::string sAddress;
    long nHandle = 0;
    long nId = 0;
    bool bString = false;  // send sText as one string instead of nId
    std::string sText;
};

struct DemoOptions {
    int nCount = 200;       // notifications per transport
    int nTimeoutMs = 2000;  // longest wait for one delivery
};

struct CommandLine {
    Command command = Command::Help;
    // --help given to a subcommand (or "mnet help SUBCOMMAND"): print that subcommand's help.
    bool bHelp = false;
    // Steps up (each -v) and down (each -q) the log level; see logLevelFor.
    int nVerbosity = 0;
    ListenOptions listen;
    NotifyOptions notify;
    DemoOptions demo;
};

// Reads the arguments after the program name. "mnet", "mnet --help" and "mnet help" give
// Command::Help; "mnet help listen" gives Command::Listen with bHelp. Options take their
// value as the next argument or after '=' (--count=5). Throws UsageError.
CommandLine parseCommandLine(const std::vector<std::string>& arguments);

// The log level nSteps steps above nLevel (below it for a negative nSteps), on the ladder of
// the levels that mean something: 0 nothing, 1 failures, 5 server readiness, 7 client set-up,
// 9 trace. A level between two rungs steps to the next rung; the ends of the ladder hold.
int logLevelFor(int nLevel, int nSteps);

// A whole decimal number from nMin to nMax: optional '-', digits, nothing else (no spaces,
// no '+', no hexadecimal). False when sText is anything else or out of range.
bool parseNumber(const std::string& sText, long nMin, long nMax, long* pnValue);

// A callback address as a sender uses it: "pipe:NAME", "socket:HOST:PORT", "udp:HOST:PORT"
// or "ssl:HOST:PORT", with a non-empty NAME or HOST and a PORT from 1 to 65535.
struct CallbackAddress {
    std::string sKind;  // "pipe", "socket", "udp" or "ssl"
    std::string sHost;  // the pipe name for "pipe"
    int nPort = 0;      // 0 for "pipe"
};

// False with the reason in *psWhy (one line, no trailing full stop) when sText is not one
// of the forms above.
// An IPv4 or IPv6 address in numbers, the IPv6 one with or without brackets.
bool isNumericAddress(const std::string& sText);
bool parseCallbackAddress(const std::string& sText, CallbackAddress* pAddress, std::string* psWhy);

// The one-line synopsis of a subcommand ("usage: mnet demo [--count N] [--timeout MS] [-v|-q]"),
// and the
// whole help text (several lines, ending in a newline). Command::Help gives the program's.
std::string synopsis(Command command);
std::string helpText(Command command);

}  // namespace mnettool

#endif
