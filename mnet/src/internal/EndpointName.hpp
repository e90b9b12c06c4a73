// Internal: which local endpoint names the pipe server and the pipe connection accept. Not
// installed.
//
// An endpoint name comes from callers and, through callback addresses, from peers; it is
// appended to the shared-service directory as it is, so only a name whose file stays inside
// that directory may reach a system call.
#ifndef MNET_INTERNAL_ENDPOINT_NAME_HPP
#define MNET_INTERNAL_ENDPOINT_NAME_HPP

#include "MirelString.hpp"

namespace MirelNet {
namespace detail {

// False for a name that is absolute (starts with '/'), has ".." as one of its '/'-separated
// components, or holds a zero byte (the system would see only the part before it); true
// otherwise. Makes no system call.
bool isSafeEndpointName(const MirelSupport::MirelString& sName);

}  // namespace detail
}  // namespace MirelNet

#endif
