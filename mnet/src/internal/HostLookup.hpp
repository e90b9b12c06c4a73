// Internal: the IPv4 host lookups of the name and address resolution functions and of a sink's
// own address, on the reentrant resolver calls, so that threads never share the resolver's
// static result. (The transports resolve both families through internal/Posix.) Not
// installed.
#ifndef MNET_INTERNAL_HOST_LOOKUP_HPP
#define MNET_INTERNAL_HOST_LOOKUP_HPP

#include <cstdint>
#include <vector>

#include "MirelString.hpp"

namespace MirelNet {
namespace detail {

// By-name lookup. On success fills the official name and the addresses (network order, in the
// resolver's order) and returns true; on failure *pError (when given) is lookupError's.
bool lookupByName(const MirelSupport::MirelString& sName, MirelSupport::MirelString* psOfficialName,
                  std::vector<uint32_t>* pAddresses, int* pError = 0);
// Reverse lookup of an IPv4 address in network order; the official name on success.
bool lookupByAddress(uint32_t nAddress, MirelSupport::MirelString* psName, int* pError = 0);

// Dotted-decimal text of an address in network order.
MirelSupport::MirelString dottedAddress(uint32_t nAddress);

}  // namespace detail
}  // namespace MirelNet

#endif
