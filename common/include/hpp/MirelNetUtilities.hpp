/// \file
/// Host name and address translation through the system resolver, and the two exceptions a
/// caller may throw when a translation finds nothing.
///
/// Both functions return true in every case: a failed lookup shows only as an output left as
/// it was on entry, and as a level-1 log record. sExcepMessage is never written. The lookups
/// are reentrant, so any thread may call them at any time; no lock is taken. The library
/// itself throws neither exception.
#ifndef MIREL_NET_UTILITIES_HPP
#define MIREL_NET_UTILITIES_HPP

#include "MirelException.hpp"
#include "MirelString.hpp"
#include "MnetExport.hpp"

namespace MirelNet {

using MirelSupport::MirelException;
using MirelSupport::MirelString;
using MirelSupport::MirelStringVector;

/// Text "MirelUnableToResolveNameException - " followed by sMessageName; code 0.
class MNET_API MirelUnableToResolveNameException : public MirelException {
public:
    /// The failure to resolve the name sMessageName.
    explicit MirelUnableToResolveNameException(const MirelString& sMessageName);
    virtual ~MirelUnableToResolveNameException();

private:
    MirelUnableToResolveNameException();
};

/// Text "MirelUnableToResolveAddressException - " followed by sMessageName; code 0.
class MNET_API MirelUnableToResolveAddressException : public MirelException {
public:
    /// The failure to resolve the address sMessageName.
    explicit MirelUnableToResolveAddressException(const MirelString& sMessageName);
    virtual ~MirelUnableToResolveAddressException();

private:
    MirelUnableToResolveAddressException();
};

/// Appends every IPv4 address of sName (a host name or a dotted address) as dotted-decimal
/// text, in the resolver's order, after what addresses already holds. Appends nothing when
/// the name does not resolve.
MNET_API bool MirelNameToAddressImpl(const MirelString& sName, MirelStringVector& addresses,
                                     MirelString& sExcepMessage);

/// Replaces sName with the official host name of the dotted address sIPAddress; leaves it
/// unchanged when there is no reverse entry. A text that is not a dotted address is looked up
/// as 255.255.255.255.
MNET_API bool MirelAddressToNameImpl(const MirelString& sIPAddress, MirelString& sName,
                                     MirelString& sExcepMessage);

}  // namespace MirelNet

#endif
