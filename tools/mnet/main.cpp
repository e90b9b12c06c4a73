// mnet: the command-line companion of libmnet. Parses the command line, runs one subcommand,
// and turns every failure into one line on standard error and a non-zero exit code:
// 2 for a wrong use (with the subcommand's synopsis), 1 for anything that went wrong later.
#include <signal.h>

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "Commands.hpp"
#include "MirelException.hpp"
#include "MirelLogging.hpp"
#include "MnetVersion.hpp"
#include "Options.hpp"
#include "Report.hpp"

#ifndef MNET_TOOL_VERSION
#error "MNET_TOOL_VERSION comes from the build"
#endif

namespace {

std::string programName(mnettool::Command command) {
    switch (command) {
        case mnettool::Command::Listen:
            return "mnet listen";
        case mnettool::Command::Notify:
            return "mnet notify";
        case mnettool::Command::Demo:
            return "mnet demo";
        case mnettool::Command::Help:
        case mnettool::Command::Version:
            break;
    }
    return "mnet";
}

int run(int argc, char** argv) {
    using namespace mnettool;
    CommandLine line;
    try {
        line = parseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const UsageError& e) {
        std::fprintf(stderr, "%s: %s; %s\n", programName(e.command()).c_str(), e.what(),
                     synopsis(e.command()).c_str());
        return 2;
    }
    if (line.nVerbosity != 0) {
        // The environment's level is read at the first use, here; the steps go from it.
        MirelSupport::MirelLogging& log = MirelSupport::MirelLogging::getInstance();
        log.setLevel(logLevelFor(log.getLevel(), line.nVerbosity));
    }
    if (line.bHelp) {
        std::fputs(helpText(line.command).c_str(), stdout);
        return 0;
    }
    switch (line.command) {
        case Command::Version:
            std::printf("mnet %s (libmnet %s)\n", MNET_TOOL_VERSION, MirelNet::getLibraryVersion());
            return 0;
        case Command::Listen:
            return runListen(line.listen);
        case Command::Notify:
            return runNotify(line.notify);
        case Command::Demo:
            return runDemo(line.demo);
        case Command::Help:
            break;
    }
    std::fputs(helpText(Command::Help).c_str(), stdout);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    // A reader that goes away makes writes to standard output fail instead of ending the
    // process before a sink is released.
    ::signal(SIGPIPE, SIG_IGN);
    try {
        return run(argc, argv);
    } catch (const MirelSupport::MirelException& e) {
        std::fprintf(stderr, "mnet: %s\n",
                     mnettool::describeFailure(e.getText(), e.getCode()).c_str());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "mnet: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "mnet: unexpected failure\n");
    }
    return 1;
}
