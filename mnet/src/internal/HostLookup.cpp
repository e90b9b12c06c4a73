#include "internal/HostLookup.hpp"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>

#include <cerrno>
#include <cstring>

namespace MirelNet {
namespace detail {

namespace {

// A resolver's own error (h_errno) as an error number that says the name did not resolve.
int lookupError(int nHostError) {
    return nHostError == TRY_AGAIN ? EAGAIN : EHOSTUNREACH;
}

// Runs a reentrant resolver call, growing its scratch buffer while it reports ERANGE. On
// failure *pError gets the resolver's own error, never a stale errno.
template <class Call>
hostent* resolve(Call call, hostent* pEntry, std::vector<char>& scratch, int* pError) {
    scratch.resize(1024);
    for (;;) {
        hostent* pResult = 0;
        int nHostError = 0;
        int rc = call(pEntry, scratch.data(), scratch.size(), &pResult, &nHostError);
        if (rc == ERANGE && scratch.size() < (1u << 20)) {
            scratch.resize(scratch.size() * 2);
            continue;
        }
        if ((rc != 0 || pResult == 0) && pError) {
            *pError = lookupError(nHostError);
        }
        return rc == 0 ? pResult : 0;
    }
}

}  // namespace

bool lookupByName(const MirelSupport::MirelString& sName, MirelSupport::MirelString* psOfficialName,
                  std::vector<uint32_t>* pAddresses, int* pError) {
    hostent entry;
    std::vector<char> scratch;
    const char* pszName = sName.c_str();
    hostent* pResult = resolve(
        [pszName](hostent* pEntry, char* pBuf, size_t nLen, hostent** ppResult, int* pErr) {
            return ::gethostbyname_r(pszName, pEntry, pBuf, nLen, ppResult, pErr);
        },
        &entry, scratch, pError);
    if (pResult == 0 || pResult->h_addrtype != AF_INET) {
        if (pResult != 0 && pError) {
            *pError = EHOSTUNREACH;
        }
        return false;
    }
    if (psOfficialName) {
        *psOfficialName = pResult->h_name ? pResult->h_name : "";
    }
    if (pAddresses) {
        for (char** pp = pResult->h_addr_list; pp && *pp; ++pp) {
            uint32_t nAddress = 0;
            std::memcpy(&nAddress, *pp, sizeof nAddress);
            pAddresses->push_back(nAddress);
        }
    }
    return true;
}

bool lookupByAddress(uint32_t nAddress, MirelSupport::MirelString* psName, int* pError) {
    hostent entry;
    std::vector<char> scratch;
    hostent* pResult = resolve(
        [&nAddress](hostent* pEntry, char* pBuf, size_t nLen, hostent** ppResult, int* pErr) {
            return ::gethostbyaddr_r(&nAddress, sizeof nAddress, AF_INET, pEntry, pBuf, nLen,
                                     ppResult, pErr);
        },
        &entry, scratch, pError);
    if (pResult == 0) {
        return false;
    }
    if (psName) {
        *psName = pResult->h_name ? pResult->h_name : "";
    }
    return true;
}

MirelSupport::MirelString dottedAddress(uint32_t nAddress) {
    char szText[INET_ADDRSTRLEN];
    in_addr address;
    address.s_addr = nAddress;
    if (::inet_ntop(AF_INET, &address, szText, sizeof szText) == 0) {
        return MirelSupport::MirelString();
    }
    return szText;
}

}  // namespace detail
}  // namespace MirelNet
