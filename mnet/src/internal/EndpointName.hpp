// Internal: which local endpoint names the pipe server and the pipe connection accept, and how
// their socket files are reached without following a link. Not installed.
//
// An endpoint name comes from callers and, through callback addresses, from peers; members of
// the shared-service directory's group may put anything into that directory, links included.
// So no operation on an endpoint goes by its path: the directory that holds the endpoint is
// opened component by component without following links, and the socket file is bound,
// connected, changed and removed relative to that descriptor (through "/proc/self/fd/N", for
// the calls that take only a path). What a check found is what the call then uses.
//
// Threads: every function may be called from any thread. connectEndpoint keeps a small
// process-wide set of opened endpoint files behind a lock; the rest keeps no state.
#ifndef MNET_INTERNAL_ENDPOINT_NAME_HPP
#define MNET_INTERNAL_ENDPOINT_NAME_HPP

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include "MirelString.hpp"
#include "internal/Posix.hpp"
#include "internal/StreamIo.hpp"

namespace MirelNet {
namespace detail {

// The shared-service directory with a trailing '/'.
extern const char* const kSharedServiceDir;

// False for a name that is absolute (starts with '/'), has ".." as one of its '/'-separated
// components, or holds a zero byte (the system would see only the part before it); true
// otherwise. Makes no system call.
bool isSafeEndpointName(const MirelSupport::MirelString& sName);

// Opens the directory that holds the endpoint sName: the shared-service directory, then each
// '/'-separated component but the last, none of them followed if it is a link. bForLock opens
// the last directory readable (flock needs that), else as a path only. The last component is
// left in *psLeaf. 0, or: 22 (EINVAL) for an unsafe name or an empty last component, 40
// (ELOOP) where a component is a link, else the error of the open (2, 13, 20 ...).
int openEndpointParent(const MirelSupport::MirelString& sName, bool bForLock, FdOwner& parent,
                       MirelSupport::MirelString* psLeaf);

// The entry sLeaf of the directory nParent, opened as a path without following it, and its
// status. 0 for a socket file; 40 (ELOOP) for a link, 111 (ECONNREFUSED) for any other kind
// of file (nothing there accepts), else the error of the open (2 ...). file holds the entry
// whenever it was opened.
int openEndpointFile(int nParent, const MirelSupport::MirelString& sLeaf, FdOwner& file,
                     struct stat* pInfo);

// The path "/proc/self/fd/N" (pszLeaf null) or "/proc/self/fd/N/leaf": the file that
// descriptor nFd stands for, or the entry of the directory it stands for.
MirelSupport::MirelString descriptorPath(int nFd, const char* pszLeaf);
// The local socket address of descriptorPath (cut to what fits: the bind or connect then
// fails).
SocketAddress descriptorAddress(int nFd, const char* pszLeaf);
// True when the full path of the endpoint sName fits a local socket address with its
// terminator (the limit of the days when connects and binds went by that path); both ends
// refuse a longer name with 36 (ENAMETOOLONG).
bool endpointPathFits(const MirelSupport::MirelString& sName);

// Connects the local stream socket nSocket to the endpoint sName without following a link
// below the shared-service directory (what openEndpointParent and openEndpointFile refuse is
// refused the same way). A connect that a signal interrupts is completed. The opened endpoint
// files of the last few names are kept, so that repeated connects to one endpoint cost the
// connect alone; a kept file that no longer accepts (its server went) is opened anew once.
// 0 or the error number.
int connectEndpoint(int nSocket, const MirelSupport::MirelString& sName);

}  // namespace detail
}  // namespace MirelNet

#endif
