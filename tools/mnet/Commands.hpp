// The subcommands of the mnet tool. Each runs on the main thread, prints its own results and
// failures, and returns the process's exit code (0 success, 1 failure). A MirelException or
// standard exception that escapes is a failure the caller reports.
#ifndef MNET_TOOL_COMMANDS_HPP
#define MNET_TOOL_COMMANDS_HPP

#include <string>

#include "Options.hpp"

namespace mnettool {

int runListen(const ListenOptions& options);
int runNotify(const NotifyOptions& options);
int runDemo(const DemoOptions& options);

// The directory in which pipe sinks make their endpoint files, without a trailing '/'.
std::string sharedServiceDir();

// The group whose members may make endpoints in the shared-service directory.
extern const char* const kSharedServiceGroup;

// The shell command by which an administrator makes the shared-service directory as the
// installed tmpfiles.d entry does (root's, group mirel, mode 1770), on one line.
std::string sharedServiceDirRecipe();

enum class SharedDirState { Usable, Missing, Unusable };

// Whether pipe sinks can make their endpoint files in the shared-service directory, without
// changing anything; when they cannot, the reason in *psWhy (one line, naming the directory).
SharedDirState checkSharedServiceDir(std::string* psWhy);

// True when pipe sinks can make their endpoint files: the shared-service directory exists
// and this user may create files in it. A missing directory is created when this user may,
// with mode 1770 and the group mirel (when it exists and this user may give it), never open
// to others; otherwise false with the reason in *psWhy, one line.
bool prepareSharedServiceDir(std::string* psWhy);

// Removes the endpoint file that a pipe sink with this callback address ("pipe:NAME") left
// in the shared-service directory, when it is a socket. Any other address is ignored.
void removePipeEndpoint(const std::string& sCallbackAddress);

}  // namespace mnettool

#endif
