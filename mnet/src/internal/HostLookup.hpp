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
// resolver's order) and returns true; on failure *pError (when given) is lookupError's.
bool lookupByName(const MirelSupport::MirelString& sName, MirelSupport::MirelString* psOfficialName,
                  std::vector<uint32_t>* pAddresses, int* pError = 0);
// Reverse lookup of an IPv4 address in network order; the official name on success.
bool lookupByAddress(uint32_t nAddress, MirelSupport::MirelString* psName, int* pError = 0);

// The destination of an IPv4 client connection (TCP and UDP read a host text the same way).
struct ResolvedHost {
    uint32_t nAddress;                        // network order
    bool bEntry;                              // a host entry came back (by name or in reverse)
    MirelSupport::MirelString sOfficialName;  // the entry's name when bEntry
    int nReverseError;                        // the reverse lookup's error when it failed
};
// A host name (isHostName) is looked up by name and its first address taken; any other text
// must be a valid dotted address, which with bReverse is also looked up in reverse (the
// outcome only sets bEntry and nReverseError). Returns 0, EHOSTUNREACH (113) when a name does
// not resolve (EAGAIN when the resolver could not tell for now), or EDESTADDRREQ (89) for
// text that is neither: inet_addr would make it 255.255.255.255, the broadcast address.
int resolveIPv4(const char* pszHost, bool bReverse, ResolvedHost* pResult);
// A resolver's own error (h_errno) as an error number that says the name did not resolve.
int lookupError(int nHostError);

// Dotted-decimal text of an address in network order.
MirelSupport::MirelString dottedAddress(uint32_t nAddress);

}  // namespace detail
}  // namespace MirelNet

#endif
