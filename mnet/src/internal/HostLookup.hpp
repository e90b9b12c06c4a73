// Internal: the IPv4 host lookups of the TCP and UDP transports, on the reentrant resolver
// calls, so that threads never share the resolver's static result. Not installed.
#ifndef MNET_INTERNAL_HOST_LOOKUP_HPP
#define MNET_INTERNAL_HOST_LOOKUP_HPP

#include <cstdint>
#include <vector>

#include "MirelString.hpp"

namespace MirelNet {
namespace detail {

// A host name when any character is alphabetic; otherwise the text is taken as a dotted
// address (digits, dots, anything else, and the empty text).
bool isHostName(const char* pszName);

// By-name lookup. On success fills the official name and the addresses (network order, in the
// resolver's order) and returns true.
bool lookupByName(const MirelSupport::MirelString& sName, MirelSupport::MirelString* psOfficialName,
                  std::vector<uint32_t>* pAddresses);
// Reverse lookup of an IPv4 address in network order; the official name on success.
bool lookupByAddress(uint32_t nAddress, MirelSupport::MirelString* psName);

// Dotted-decimal text of an address in network order.
MirelSupport::MirelString dottedAddress(uint32_t nAddress);

}  // namespace detail
}  // namespace MirelNet

#endif
