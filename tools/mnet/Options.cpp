#include "Options.hpp"

#include <arpa/inet.h>

#include <algorithm>
#include <climits>
#include <cstddef>

namespace mnettool {

namespace {

const long kMaxHandles = 100000;
const long kMaxDemoCount = 100000;
const long kMaxTimeoutMs = 600000;
// A week; also keeps the time-out in milliseconds within an int.
const long kMaxListenSeconds = 604800;

const char* commandName(Command command) {
    switch (command) {
        case Command::Listen:
            return "listen";
        case Command::Notify:
            return "notify";
        case Command::Demo:
            return "demo";
        case Command::Version:
        case Command::Help:
            break;
    }
    return "";
}

bool isHelpFlag(const std::string& sArgument) {
    return sArgument == "--help" || sArgument == "-h";
}

// "-5" is a negative number given as an operand, not an option.
bool looksLikeOption(const std::string& sArgument) {
    return sArgument.size() > 1 && sArgument[0] == '-' &&
           !(sArgument[1] >= '0' && sArgument[1] <= '9');
}

// Walks the arguments of one subcommand: options (with their values) and operands.
class ArgumentReader {
public:
    ArgumentReader(Command command, const std::vector<std::string>& arguments)
        : m_command(command), m_arguments(arguments), m_nNext(1), m_bOperandsOnly(false) {}

    // True when another argument is there: an option goes to *psOption (a "--name=value" keeps
    // its value for value()), an operand to *psOperand with *psOption empty.
    bool next(std::string* psOption, std::string* psOperand) {
        while (m_nNext < m_arguments.size()) {
            const std::string& sArgument = m_arguments[m_nNext++];
            if (!m_bOperandsOnly && sArgument == "--") {
                m_bOperandsOnly = true;
                continue;
            }
            m_bHasInline = false;
            m_sInline.clear();
            if (m_bOperandsOnly || !looksLikeOption(sArgument)) {
                psOption->clear();
                *psOperand = sArgument;
                return true;
            }
            std::size_t nEquals = sArgument.find('=');
            if (nEquals != std::string::npos && sArgument.compare(0, 2, "--") == 0) {
                *psOption = sArgument.substr(0, nEquals);
                m_sInline = sArgument.substr(nEquals + 1);
                m_bHasInline = true;
            } else {
                *psOption = sArgument;
            }
            psOperand->clear();
            return true;
        }
        return false;
    }

    // The value of the option just read: after '=' or the next argument.
    std::string value(const std::string& sOption) {
        if (m_bHasInline) {
            return m_sInline;
        }
        if (m_nNext >= m_arguments.size()) {
            fail("option " + sOption + " needs a value");
        }
        return m_arguments[m_nNext++];
    }

    // For options that take no value.
    void noValue(const std::string& sOption) {
        if (m_bHasInline) {
            fail("option " + sOption + " takes no value");
        }
    }

    long number(const std::string& sOption, const std::string& sText, long nMin, long nMax) {
        long nValue = 0;
        if (!parseNumber(sText, nMin, nMax, &nValue)) {
            fail(sOption + " needs a whole number from " + std::to_string(nMin) + " to " +
                 std::to_string(nMax) + ", got '" + sText + "'");
        }
        return nValue;
    }

    [[noreturn]] void fail(const std::string& sWhat) const { throw UsageError(m_command, sWhat); }

private:
    Command m_command;
    const std::vector<std::string>& m_arguments;
    std::size_t m_nNext;
    bool m_bOperandsOnly;
    bool m_bHasInline = false;
    std::string m_sInline;
};

// "-v", "-vv", "--verbose", "-q", "--quiet": adds the steps to *pnVerbosity; false for any
// other argument.
bool takeVerbosity(const std::string& sArgument, int* pnVerbosity) {
    if (sArgument == "--verbose" || sArgument == "--quiet") {
        *pnVerbosity += sArgument == "--verbose" ? 1 : -1;
        return true;
    }
    if (sArgument.size() < 2 || sArgument[0] != '-' ||
        sArgument.find_first_not_of(sArgument[1], 1) != std::string::npos ||
        (sArgument[1] != 'v' && sArgument[1] != 'q')) {
        return false;
    }
    int nSteps = static_cast<int>(sArgument.size() - 1);
    *pnVerbosity += sArgument[1] == 'v' ? nSteps : -nSteps;
    return true;
}

bool hasHelpFlag(const std::vector<std::string>& arguments) {
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        if (arguments[i] == "--") {
            return false;
        }
        if (isHelpFlag(arguments[i])) {
            return true;
        }
    }
    return false;
}

void parseListen(const std::vector<std::string>& arguments, ListenOptions* pOptions,
                 int* pnVerbosity) {
    ArgumentReader reader(Command::Listen, arguments);
    std::string sOption;
    std::string sOperand;
    while (reader.next(&sOption, &sOperand)) {
        if (takeVerbosity(sOption, pnVerbosity)) {
            reader.noValue(sOption);
        } else if (sOption.empty()) {
            reader.fail("unexpected argument '" + sOperand + "'");
        } else if (sOption == "--type") {
            std::string sType = reader.value(sOption);
            if (sType == "tcp") {
                sType = "socket";  // the sink knows TCP by this name only
            }
            if (sType != "pipe" && sType != "socket" && sType != "udp") {
                reader.fail("--type must be pipe, socket (or tcp) or udp, got '" + sType + "'");
            }
            pOptions->sType = sType;
        } else if (sOption == "--handles") {
            pOptions->nHandles =
                static_cast<int>(reader.number(sOption, reader.value(sOption), 1, kMaxHandles));
        } else if (sOption == "--count") {
            pOptions->nCount = reader.number(sOption, reader.value(sOption), 1, INT_MAX);
        } else if (sOption == "--timeout") {
            pOptions->nTimeoutSeconds = static_cast<int>(
                reader.number(sOption, reader.value(sOption), 1, kMaxListenSeconds));
        } else if (sOption == "--json") {
            reader.noValue(sOption);
            pOptions->bJson = true;
        } else if (sOption == "--hex") {
            reader.noValue(sOption);
            pOptions->bHex = true;
        } else if (sOption == "--bind") {
            std::string sBind = reader.value(sOption);
            if (!isNumericAddress(sBind)) {
                reader.fail("--bind takes an IPv4 or IPv6 address, got '" + sBind + "'");
            }
            pOptions->sBind = sBind;
        } else {
            reader.fail("unknown option '" + sOption + "'");
        }
    }
}

void parseNotify(const std::vector<std::string>& arguments, NotifyOptions* pOptions,
                 int* pnVerbosity) {
    ArgumentReader reader(Command::Notify, arguments);
    std::vector<std::string> operands;
    std::string sOption;
    std::string sOperand;
    while (reader.next(&sOption, &sOperand)) {
        if (takeVerbosity(sOption, pnVerbosity)) {
            reader.noValue(sOption);
        } else if (sOption == "--string") {
            pOptions->bString = true;
            pOptions->sText = reader.value(sOption);
        } else if (!sOption.empty()) {
            reader.fail("unknown option '" + sOption + "'");
        } else {
            operands.push_back(sOperand);
        }
    }
    if (operands.size() < 2) {
        reader.fail(operands.empty() ? "ADDRESS and HANDLE are missing" : "HANDLE is missing");
    }
    if (operands.size() > 3) {
        reader.fail("unexpected argument '" + operands[3] + "'");
    }
    CallbackAddress address;
    std::string sWhy;
    if (!parseCallbackAddress(operands[0], &address, &sWhy)) {
        reader.fail("bad ADDRESS '" + operands[0] + "': " + sWhy);
    }
    pOptions->sAddress = operands[0];
    pOptions->nHandle = reader.number("HANDLE", operands[1], INT_MIN, INT_MAX);
    if (operands.size() == 3) {
        if (pOptions->bString) {
            reader.fail("give either ID or --string, not both");
        }
        pOptions->nId = reader.number("ID", operands[2], INT_MIN, INT_MAX);
    }
}

void parseDemo(const std::vector<std::string>& arguments, DemoOptions* pOptions, int* pnVerbosity) {
    ArgumentReader reader(Command::Demo, arguments);
    std::string sOption;
    std::string sOperand;
    while (reader.next(&sOption, &sOperand)) {
        if (takeVerbosity(sOption, pnVerbosity)) {
            reader.noValue(sOption);
        } else if (sOption.empty()) {
            reader.fail("unexpected argument '" + sOperand + "'");
        } else if (sOption == "--count") {
            pOptions->nCount =
                static_cast<int>(reader.number(sOption, reader.value(sOption), 1, kMaxDemoCount));
        } else if (sOption == "--timeout") {
            pOptions->nTimeoutMs =
                static_cast<int>(reader.number(sOption, reader.value(sOption), 1, kMaxTimeoutMs));
        } else {
            reader.fail("unknown option '" + sOption + "'");
        }
    }
}

bool commandFromName(const std::string& sName, Command* pCommand) {
    for (Command command : {Command::Listen, Command::Notify, Command::Demo}) {
        if (sName == commandName(command)) {
            *pCommand = command;
            return true;
        }
    }
    return false;
}

bool isIPv6Address(const std::string& sText) {
    in6_addr address;
    return sText.find('\0') == std::string::npos &&
           ::inet_pton(AF_INET6, sText.c_str(), &address) == 1;
}

bool isHostCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '-';
}

}  // namespace

CommandLine parseCommandLine(const std::vector<std::string>& allArguments) {
    CommandLine line;
    // -v and -q may also stand before the subcommand.
    std::size_t nFirst = 0;
    while (nFirst < allArguments.size() && takeVerbosity(allArguments[nFirst], &line.nVerbosity)) {
        ++nFirst;
    }
    const std::vector<std::string> arguments(allArguments.begin() + nFirst, allArguments.end());
    if (arguments.empty()) {
        throw UsageError(Command::Help, "no subcommand given");
    }
    const std::string& sFirst = arguments[0];
    if (isHelpFlag(sFirst) || sFirst == "help") {
        line.command = Command::Help;
        line.bHelp = true;
        if (sFirst == "help" && arguments.size() > 1) {
            if (!commandFromName(arguments[1], &line.command)) {
                throw UsageError(Command::Help,
                                 "no help on '" + arguments[1] + "': not a subcommand");
            }
            if (arguments.size() > 2) {
                throw UsageError(Command::Help, "unexpected argument '" + arguments[2] + "'");
            }
        } else if (arguments.size() > 1) {
            throw UsageError(Command::Help, "unexpected argument '" + arguments[1] + "'");
        }
        return line;
    }
    if (sFirst == "--version") {
        if (arguments.size() > 1) {
            throw UsageError(Command::Help, "unexpected argument '" + arguments[1] + "'");
        }
        line.command = Command::Version;
        return line;
    }
    if (!commandFromName(sFirst, &line.command)) {
        if (looksLikeOption(sFirst)) {
            throw UsageError(Command::Help, "unknown option '" + sFirst + "'");
        }
        throw UsageError(Command::Help, "unknown subcommand '" + sFirst + "'");
    }
    if (hasHelpFlag(arguments)) {
        line.bHelp = true;
        return line;
    }
    switch (line.command) {
        case Command::Listen:
            parseListen(arguments, &line.listen, &line.nVerbosity);
            break;
        case Command::Notify:
            parseNotify(arguments, &line.notify, &line.nVerbosity);
            break;
        case Command::Demo:
            parseDemo(arguments, &line.demo, &line.nVerbosity);
            break;
        case Command::Help:
        case Command::Version:
            break;
    }
    return line;
}

int logLevelFor(int nLevel, int nSteps) {
    static const int kRungs[] = {0, 1, 5, 7, 9};
    const int nRungs = static_cast<int>(sizeof kRungs / sizeof kRungs[0]);
    for (; nSteps > 0; --nSteps) {
        int i = 0;
        while (i < nRungs - 1 && kRungs[i] <= nLevel) {
            ++i;
        }
        nLevel = std::max(nLevel, kRungs[i]);
    }
    for (; nSteps < 0; ++nSteps) {
        int i = nRungs - 1;
        while (i > 0 && kRungs[i] >= nLevel) {
            --i;
        }
        nLevel = std::min(nLevel, kRungs[i]);
    }
    return nLevel;
}

bool parseNumber(const std::string& sText, long nMin, long nMax, long* pnValue) {
    std::size_t i = 0;
    bool bNegative = false;
    if (i < sText.size() && sText[i] == '-') {
        bNegative = true;
        ++i;
    }
    if (i == sText.size()) {
        return false;
    }
    // Accumulated as a negative number, whose range is the wider one.
    long nValue = 0;
    for (; i < sText.size(); ++i) {
        char c = sText[i];
        if (c < '0' || c > '9') {
            return false;
        }
        int nDigit = c - '0';
        if (nValue < (LONG_MIN + nDigit) / 10) {
            return false;
        }
        nValue = nValue * 10 - nDigit;
    }
    if (!bNegative) {
        if (nValue == LONG_MIN) {
            return false;
        }
        nValue = -nValue;
    }
    if (nValue < nMin || nValue > nMax) {
        return false;
    }
    *pnValue = nValue;
    return true;
}

bool isNumericAddress(const std::string& sText) {
    std::string sAddress = sText;
    if (sAddress.size() >= 2 && sAddress[0] == '[' && sAddress[sAddress.size() - 1] == ']') {
        sAddress = sAddress.substr(1, sAddress.size() - 2);
    }
    in_addr address;
    return isIPv6Address(sAddress) || (sAddress.find('\0') == std::string::npos &&
                                       ::inet_pton(AF_INET, sAddress.c_str(), &address) == 1);
}

bool parseCallbackAddress(const std::string& sText, CallbackAddress* pAddress, std::string* psWhy) {
    std::size_t nColon = sText.find(':');
    if (nColon == std::string::npos) {
        *psWhy = "expected pipe:NAME, socket:HOST:PORT, udp:HOST:PORT or ssl:HOST:PORT";
        return false;
    }
    std::string sKind = sText.substr(0, nColon);
    std::string sRest = sText.substr(nColon + 1);
    if (sKind == "pipe") {
        if (sRest.empty()) {
            *psWhy = "the pipe name is empty";
            return false;
        }
        for (char c : sRest) {
            if (c == '/' || c <= ' ' || c == 0x7f) {
                *psWhy = "a pipe name has no '/', spaces or control characters";
                return false;
            }
        }
        pAddress->sKind = sKind;
        pAddress->sHost = sRest;
        pAddress->nPort = 0;
        return true;
    }
    if (sKind != "socket" && sKind != "udp" && sKind != "ssl") {
        *psWhy = "unknown transport '" + sKind + "' (pipe, socket, udp or ssl)";
        return false;
    }
    // An IPv6 host stands in brackets: its own colons would otherwise read as the port's.
    std::string sHost;
    std::string sPort;
    if (!sRest.empty() && sRest[0] == '[') {
        std::size_t nClose = sRest.find(']');
        if (nClose == std::string::npos || nClose + 1 >= sRest.size() || sRest[nClose + 1] != ':') {
            *psWhy = "expected " + sKind + ":[IPV6-ADDRESS]:PORT";
            return false;
        }
        sHost = sRest.substr(1, nClose - 1);
        sPort = sRest.substr(nClose + 2);
        if (!isIPv6Address(sHost)) {
            *psWhy = "'" + sHost + "' is not an IPv6 address";
            return false;
        }
    } else {
        std::size_t nPortColon = sRest.find(':');
        if (nPortColon == std::string::npos) {
            *psWhy = "expected " + sKind + ":HOST:PORT";
            return false;
        }
        sHost = sRest.substr(0, nPortColon);
        sPort = sRest.substr(nPortColon + 1);
        if (sPort.find(':') != std::string::npos) {
            *psWhy = "an IPv6 address goes in brackets: " + sKind + ":[ADDRESS]:PORT";
            return false;
        }
        if (sHost.empty()) {
            *psWhy = "the host is empty";
            return false;
        }
        for (char c : sHost) {
            if (!isHostCharacter(c)) {
                *psWhy = "the host '" + sHost + "' is neither a host name nor a dotted address";
                return false;
            }
        }
    }
    long nPort = 0;
    if (!parseNumber(sPort, 1, 65535, &nPort)) {
        *psWhy = "the port must be a number from 1 to 65535, got '" + sPort + "'";
        return false;
    }
    pAddress->sKind = sKind;
    pAddress->sHost = sHost;
    pAddress->nPort = static_cast<int>(nPort);
    return true;
}

std::string synopsis(Command command) {
    switch (command) {
        case Command::Listen:
            return "usage: mnet listen [--type pipe|socket|tcp|udp] [--bind ADDRESS] [--handles N] "
                   "[--count K] [--timeout SECONDS] [--json] [--hex] [-v|-q]";
        case Command::Notify:
            return "usage: mnet notify ADDRESS HANDLE [ID | --string TEXT] [-v|-q]";
        case Command::Demo:
            return "usage: mnet demo [--count N] [--timeout MS] [-v|-q]";
        case Command::Help:
        case Command::Version:
            break;
    }
    return "usage: mnet listen|notify|demo [OPTIONS], or mnet --help";
}

// The log options, the same for every subcommand.
#define VERBOSITY_HELP                                                                       \
    "  -v, --verbose  raise the log level one step (0, 1 failures, 5 readiness, 7 set-up,\n" \
    "                 9 trace; MIREL_LOG_LEVEL is the start); again for more\n"              \
    "  -q, --quiet    lower it one step\n"

std::string helpText(Command command) {
    switch (command) {
        case Command::Listen:
            return synopsis(command) +
                   "\n\n"
                   "Starts a notification sink, prints its callback address on the first line, "
                   "then one\n"
                   "line per notification received: the handle, the id and the time it arrived.\n"
                   "\n"
                   "  --type T     pipe, socket (tcp is another name for it) or udp; sets\n"
                   "               QVINTF_CALLB_CONN_TYPE for the sink (default: the sink reads "
                   "the\n"
                   "               variable as it finds it; pipe when unset)\n"
                   "  --bind A     the address a socket or udp sink binds and prints, IPv4 or "
                   "IPv6\n"
                   "               (::1, [::1]); sets MIREL_SINK_ADDRESS (default: this host's\n"
                   "               IPv4 address)\n"
                   "  --handles N  register callbacks under the handles 0 to N-1 (default 16)\n"
                   "  --count K    stop after K notifications\n"
                   "  --timeout S  stop after S seconds, with what arrived until then\n"
                   "  --json       JSON Lines: the address as {\"address\":\"...\"}, then one "
                   "object\n"
                   "               per notification\n"
                   "  --hex        print the bytes after the handle in hexadecimal, whatever the\n"
                   "               message holds: 'handle=3 time=... hex=00000005 "
                   "68656c6c6f'\n" VERBOSITY_HELP
                   "\n"
                   "Each callback reads one long, the content that 'mnet notify' and the library's "
                   "proxy\n"
                   "dependents send by default (with --hex, all the bytes there are). Runs until K "
                   "notifications,\n"
                   "the time-out, or SIGINT,\n"
                   "SIGTERM or SIGHUP; then releases the sink and exits 0.\n";
        case Command::Notify:
            return synopsis(command) +
                   "\n\n"
                   "Sends one callback message (HANDLE as a long, then ID as a long; ID defaults "
                   "to 0)\n"
                   "to the sink at ADDRESS, through a proxy dependent.\n"
                   "\n"
                   "  ADDRESS        pipe:NAME, socket:HOST:PORT, udp:HOST:PORT or ssl:HOST:PORT\n"
                   "                 (as printed by 'mnet listen'); an IPv6 HOST in brackets:\n"
                   "                 socket:[::1]:5023\n"
                   "  --string TEXT  send TEXT as one string value instead of ID\n" VERBOSITY_HELP
                   "\n"
                   "Exits 0 when the message was handed over (a UDP datagram is never confirmed), "
                   "1 with\n"
                   "the library's text, code and the system's description of the code when it "
                   "failed.\n";
        case Command::Demo:
            return synopsis(command) +
                   "\n\n"
                   "In one process, starts a notification sink on each transport (pipe, socket, "
                   "udp),\n"
                   "sends notifications to each through proxy dependents kept in the process-wide\n"
                   "registry, and prints per transport: the address, how many were sent and "
                   "delivered,\n"
                   "and the median and 99th-percentile time from remoteNotify to the callback's "
                   "event.\n"
                   "\n"
                   "  --count N     notifications per transport, one at a time (default 200)\n"
                   "  --timeout MS  longest wait for one delivery in milliseconds (default "
                   "2000)\n" VERBOSITY_HELP
                   "\n"
                   "The pipe transport needs the shared-service directory; when it is missing and "
                   "cannot\n"
                   "be created, the demo says so and runs the two network transports. Exits 0 only "
                   "when\n"
                   "every notification sent was delivered.\n";
        case Command::Help:
        case Command::Version:
            break;
    }
    return "usage: mnet SUBCOMMAND [OPTIONS]\n"
           "\n"
           "Command-line companion of libmnet: receive and send notifications, and see them "
           "travel.\n"
           "\n"
           "  mnet listen [--type pipe|socket|tcp|udp] [--handles N] [--count K]\n"
           "              [--timeout SECONDS] [--json] [--hex]\n"
           "      start a notification sink and print what arrives\n"
           "  mnet notify ADDRESS HANDLE [ID | --string TEXT]\n"
           "      send one notification to a sink\n"
           "  mnet demo [--count N] [--timeout MS]\n"
           "      round trips over every transport in one process, with latencies\n"
           "\n"
           "  -v, -q                   raise or lower the log level (before or after the "
           "subcommand)\n"
           "  mnet SUBCOMMAND --help   help on one subcommand\n"
           "  mnet --version           the version of the tool and the library\n"
           "\n"
           "Exit codes: 0 success, 1 failure, 2 wrong use (with one line on standard error).\n";
}

}  // namespace mnettool
