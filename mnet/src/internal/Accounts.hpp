// Internal: users and groups by name, for the pipe server's group grant and the pipe sink's
// sender policy. Not installed. The reentrant lookups, since other threads of the process may
// be looking up users and groups too.
#ifndef MNET_INTERNAL_ACCOUNTS_HPP
#define MNET_INTERNAL_ACCOUNTS_HPP

#include <sys/types.h>

#include "MirelString.hpp"

namespace MirelNet {
namespace detail {

// The id of the group or user sName; false when the system knows none of that name.
bool lookupGroup(const MirelSupport::MirelString& sName, gid_t* pGid);
bool lookupUser(const MirelSupport::MirelString& sName, uid_t* pUid);

}  // namespace detail
}  // namespace MirelNet

#endif
