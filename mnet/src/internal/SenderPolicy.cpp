#include "internal/SenderPolicy.hpp"

#include <grp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "MirelLogging.hpp"
#include "MirelPipeConnection.hpp"
#include "internal/Accounts.hpp"
#include "internal/EndpointName.hpp"
#include "internal/Posix.hpp"
#include "internal/StreamIo.hpp"

namespace MirelNet {
namespace detail {

namespace {

using MirelSupport::endrecord;
using MirelSupport::MirelString;

bool contains(const std::vector<unsigned int>& ids, unsigned int nId) {
    return std::find(ids.begin(), ids.end(), nId) != ids.end();
}

// A decimal user id without sign, blanks or anything after it.
bool parseId(const MirelString& sText, unsigned int* pnId) {
    if (sText.empty() || sText.find_first_not_of("0123456789") != MirelString::npos ||
        sText.size() > 10) {
        return false;
    }
    unsigned long n = std::strtoul(sText.c_str(), 0, 10);
    if (n > UINT_MAX - 1) {  // (uid_t)-1 names nobody
        return false;
    }
    *pnId = static_cast<unsigned int>(n);
    return true;
}

// The groups the group database gives the user nUid (primary nGid included); empty when it has
// no such user.
std::vector<gid_t> databaseGroups(unsigned int nUid, unsigned int nGid) {
    long nHint = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(nHint > 0 ? static_cast<std::size_t>(nHint) : 1024);
    passwd entry;
    passwd* pFound = 0;
    int rc = posix::retriedResult(
        [&] { return ::getpwuid_r(nUid, &entry, buffer.data(), buffer.size(), &pFound); });
    if (rc != 0 || pFound == 0) {
        return std::vector<gid_t>();
    }
    std::vector<gid_t> groups(64);
    int nCount = static_cast<int>(groups.size());
    if (::getgrouplist(pFound->pw_name, nGid, groups.data(), &nCount) < 0) {
        groups.resize(static_cast<std::size_t>(nCount));
        if (::getgrouplist(pFound->pw_name, nGid, groups.data(), &nCount) < 0) {
            return std::vector<gid_t>();
        }
    }
    groups.resize(static_cast<std::size_t>(nCount));
    return groups;
}

// The supplementary groups the peer of nFd had when it connected (SO_PEERGROUPS). Where the
// system cannot give them (an emulator that does not pass the option on), the groups the group
// database gives the peer's user nUid; empty when neither can tell.
std::vector<gid_t> peerGroups(int nFd, unsigned int nUid, unsigned int nGid) {
    std::vector<gid_t> groups(32);
    for (int nTry = 0; nTry < 2; ++nTry) {
        socklen_t nLength = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
        if (::getsockopt(nFd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &nLength) == 0) {
            groups.resize(nLength / sizeof(gid_t));
            return groups;
        }
        if (errno != ERANGE) {
            break;
        }
        groups.resize(nLength / sizeof(gid_t) + 1);
    }
    return databaseGroups(nUid, nGid);
}

}  // namespace

SenderPolicy SenderPolicy::forSink() {
    struct stat info;
    MirelString sDir(kSharedServiceDir);
    bool bDirectoryGroup = ::stat(sDir.c_str(), &info) == 0;
    const char* pszAllow = std::getenv("MIREL_SINK_ALLOW");
    MirelString sRejected;
    SenderPolicy policy(pszAllow, static_cast<unsigned int>(::geteuid()), bDirectoryGroup,
                        bDirectoryGroup ? static_cast<unsigned int>(info.st_gid) : 0, &sRejected);
    if (!sRejected.empty()) {
        MIREL_LOG(1) << "MirelLibraryCallbackSink: MIREL_SINK_ALLOW: ignored what is not any, "
                        "uid:N, user:NAME or group:NAME of a known user or group: "
                     << sRejected.substr(0, 256) << endrecord;
    }
    return policy;
}

SenderPolicy::SenderPolicy(const char* pszAllow, unsigned int nOwnUid, bool bDirectoryGroup,
                           unsigned int nDirectoryGid, MirelString* psRejected)
    : m_bAny(false), m_nOwnUid(nOwnUid) {
    MirelString sAllow(pszAllow ? pszAllow : "");
    bool bValid = false;
    std::size_t nStart = 0;
    while (nStart < sAllow.size()) {
        std::size_t nEnd = sAllow.find(',', nStart);
        if (nEnd == MirelString::npos) {
            nEnd = sAllow.size();
        }
        MirelString sEntry = sAllow.substr(nStart, nEnd - nStart);
        nStart = nEnd + 1;
        if (sEntry.empty()) {
            continue;  // "a,,b" and a trailing comma
        }
        std::size_t nColon = sEntry.find(':');
        MirelString sKind = sEntry.substr(0, nColon);
        MirelString sValue =
            nColon == MirelString::npos ? MirelString() : sEntry.substr(nColon + 1);
        unsigned int nId = 0;
        uid_t nUser = 0;
        gid_t nGroup = 0;
        bool bTaken = true;
        if (sEntry == "any") {
            m_bAny = true;
        } else if (sKind == "uid" && parseId(sValue, &nId)) {
            m_uids.push_back(nId);
        } else if (sKind == "user" && !sValue.empty() && lookupUser(sValue, &nUser)) {
            m_uids.push_back(static_cast<unsigned int>(nUser));
        } else if (sKind == "group" && !sValue.empty() && lookupGroup(sValue, &nGroup)) {
            m_gids.push_back(static_cast<unsigned int>(nGroup));
        } else {
            bTaken = false;
            if (!psRejected->empty()) {
                *psRejected += ',';
            }
            *psRejected += sEntry;
        }
        bValid = bValid || bTaken;
    }
    if (!bValid && bDirectoryGroup) {
        m_gids.push_back(nDirectoryGid);
    }
}

bool SenderPolicy::admits(MirelConnection& connection, MirelString* psWho) const {
    MirelPipeConnection* pPipe = dynamic_cast<MirelPipeConnection*>(&connection);
    if (pPipe == 0 || m_bAny) {
        return true;
    }
    int nPid = 0;
    unsigned int nUid = 0;
    unsigned int nGid = 0;
    if (!pPipe->getPeerCredentials(nPid, nUid, nGid)) {
        *psWho = "a sender the system did not name";
        return false;
    }
    if (nUid == 0 || nUid == m_nOwnUid || contains(m_uids, nUid) || contains(m_gids, nGid)) {
        return true;
    }
    if (!m_gids.empty()) {
        std::vector<gid_t> groups = peerGroups(cellFd(pPipe->getPipeHandle()), nUid, nGid);
        for (std::size_t i = 0; i < groups.size(); ++i) {
            if (contains(m_gids, static_cast<unsigned int>(groups[i]))) {
                return true;
            }
        }
    }
    char szWho[64];
    std::snprintf(szWho, sizeof szWho, "uid %u pid %d", nUid, nPid);
    *psWho = szWho;
    return false;
}

}  // namespace detail
}  // namespace MirelNet
