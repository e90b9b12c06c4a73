#include "MirelNetUtilities.hpp"

#include <arpa/inet.h>

#include <cstdint>
#include <vector>

#include "MirelLogging.hpp"
#include "internal/HostLookup.hpp"

namespace MirelNet {

using MirelSupport::endrecord;

MirelUnableToResolveNameException::MirelUnableToResolveNameException(
    const MirelString& sMessageName)
    : MirelException(MirelString("MirelUnableToResolveNameException - ") + sMessageName, 0) {}

MirelUnableToResolveNameException::~MirelUnableToResolveNameException() {}

MirelUnableToResolveAddressException::MirelUnableToResolveAddressException(
    const MirelString& sMessageName)
    : MirelException(MirelString("MirelUnableToResolveAddressException - ") + sMessageName, 0) {}

MirelUnableToResolveAddressException::~MirelUnableToResolveAddressException() {}

bool MirelNameToAddressImpl(const MirelString& sName, MirelStringVector& addresses, MirelString&) {
    std::vector<uint32_t> found;
    if (!detail::lookupByName(sName, 0, &found)) {
        MIREL_LOG(1) << "MirelUtilities::MirelNameToAddress: gethostbyname failed" << endrecord;
        return true;
    }
    for (uint32_t nAddress : found) {
        addresses.push_back(detail::dottedAddress(nAddress));
    }
    return true;
}

bool MirelAddressToNameImpl(const MirelString& sIPAddress, MirelString& sName, MirelString&) {
    // No validity check on purpose: text that is not an address becomes INADDR_NONE and is
    // looked up like any other address.
    uint32_t nAddress = ::inet_addr(sIPAddress.c_str());
    MirelString sFound;
    if (!detail::lookupByAddress(nAddress, &sFound)) {
        MIREL_LOG(1) << "MirelUtilities::MirelAddressToName: gethostbyaddr failed" << endrecord;
        return true;
    }
    sName = sFound;
    return true;
}

}  // namespace MirelNet
