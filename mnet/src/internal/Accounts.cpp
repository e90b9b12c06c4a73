#include "internal/Accounts.hpp"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "internal/Posix.hpp"

namespace MirelNet {
namespace detail {

namespace {

// Runs one getgrnam_r or getpwnam_r style lookup, growing the buffer while it is too small.
template <class Entry, class Lookup>
bool lookup(int nSizeHint, Lookup fnLookup, Entry* pEntry) {
    long nHint = ::sysconf(nSizeHint);
    std::vector<char> buffer(nHint > 0 ? static_cast<std::size_t>(nHint) : 1024);
    for (;;) {
        Entry* pFound = 0;
        int rc = posix::retriedResult(
            [&] { return fnLookup(pEntry, buffer.data(), buffer.size(), &pFound); });
        if (rc == ERANGE && buffer.size() < (1u << 20)) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        return rc == 0 && pFound != 0;
    }
}

}  // namespace

bool lookupGroup(const MirelSupport::MirelString& sName, gid_t* pGid) {
    group entry;
    if (!lookup(
            _SC_GETGR_R_SIZE_MAX,
            [&](group* pEntry, char* pBuffer, std::size_t nSize, group** ppFound) {
                return ::getgrnam_r(sName.c_str(), pEntry, pBuffer, nSize, ppFound);
            },
            &entry)) {
        return false;
    }
    *pGid = entry.gr_gid;
    return true;
}

bool lookupUser(const MirelSupport::MirelString& sName, uid_t* pUid) {
    passwd entry;
    if (!lookup(
            _SC_GETPW_R_SIZE_MAX,
            [&](passwd* pEntry, char* pBuffer, std::size_t nSize, passwd** ppFound) {
                return ::getpwnam_r(sName.c_str(), pEntry, pBuffer, nSize, ppFound);
            },
            &entry)) {
        return false;
    }
    *pUid = entry.pw_uid;
    return true;
}

}  // namespace detail
}  // namespace MirelNet
