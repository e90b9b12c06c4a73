#include "internal/EndpointName.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <list>
#include <memory>
#include <mutex>
#include <utility>

namespace MirelNet {
namespace detail {

const char* const kSharedServiceDir = "/opt/mirel/pelnix/var/lib/corvane/shrsvc/";

namespace {

using MirelSupport::MirelString;

int openRetrying(int nDir, const char* pszName, int nFlags) {
    return posix::openAt(nDir, pszName, nFlags | O_NOFOLLOW);
}

// The error of an open that did not follow sName in nDir: 40 (ELOOP) whenever the entry is a
// link (an O_PATH open of one fails with ENOTDIR when a directory is asked for).
int openFailure(int nDir, const char* pszName) {
    int nError = errno;
    struct stat info;
    if (::fstatat(nDir, pszName, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(info.st_mode)) {
        return ELOOP;
    }
    return nError;
}

// The endpoint files opened last, most recent first, each shared with the connects that use
// it at the moment (so a file dropped meanwhile is closed only after them).
class KeptEndpoints {
public:
    typedef std::shared_ptr<FdOwner> File;

    File find(const MirelString& sName) {
        std::lock_guard<std::mutex> guard(m_lock);
        for (Entries::iterator entry = m_entries.begin(); entry != m_entries.end(); ++entry) {
            if (entry->first == sName) {
                m_entries.splice(m_entries.begin(), m_entries, entry);
                return entry->second;
            }
        }
        return File();
    }
    void keep(const MirelString& sName, const File& file) {
        std::lock_guard<std::mutex> guard(m_lock);
        forgetLocked(sName);
        m_entries.emplace_front(sName, file);
        if (m_entries.size() > kMostKept) {
            m_entries.pop_back();
        }
    }
    void forget(const MirelString& sName) {
        std::lock_guard<std::mutex> guard(m_lock);
        forgetLocked(sName);
    }
    // Around fork: no other thread holds the lock as the process is copied, and the child
    // lets go of the descriptors without closing them (a child that closes what it inherited
    // may have reused their numbers for files of its own by the time it connects).
    void lockForFork() { m_lock.lock(); }
    void unlockAfterFork() { m_lock.unlock(); }
    void dropInChild() {
        for (Entries::iterator entry = m_entries.begin(); entry != m_entries.end(); ++entry) {
            entry->second->release();
        }
        m_entries.clear();
        m_lock.unlock();
    }

private:
    typedef std::list<std::pair<MirelString, File> > Entries;
    // A process notifies a few sinks and services over and over; more names than this are
    // opened anew (a few calls more), and the descriptors kept stay few.
    static const std::size_t kMostKept = 8;

    void forgetLocked(const MirelString& sName) {
        for (Entries::iterator entry = m_entries.begin(); entry != m_entries.end(); ++entry) {
            if (entry->first == sName) {
                m_entries.erase(entry);
                return;
            }
        }
    }

    std::mutex m_lock;
    Entries m_entries;
};

KeptEndpoints* createKeptEndpoints();

// Never destroyed: a notification may still be sent from a static destructor.
KeptEndpoints& keptEndpoints() {
    static KeptEndpoints* pKept = createKeptEndpoints();
    return *pKept;
}

KeptEndpoints* createKeptEndpoints() {
    KeptEndpoints* pKept = new KeptEndpoints;
    ::pthread_atfork([] { keptEndpoints().lockForFork(); },
                     [] { keptEndpoints().unlockAfterFork(); },
                     [] { keptEndpoints().dropInChild(); });
    return pKept;
}

// Opens the endpoint file of sName afresh; 0 or the error.
int openEndpoint(const MirelString& sName, KeptEndpoints::File* pFile) {
    FdOwner parent;
    MirelString sLeaf;
    int nError = openEndpointParent(sName, false, parent, &sLeaf);
    if (nError != 0) {
        return nError;
    }
    std::shared_ptr<FdOwner> file(new FdOwner);
    struct stat info;
    nError = openEndpointFile(parent.get(), sLeaf, *file, &info);
    if (nError == 0) {
        *pFile = file;
    }
    return nError;
}

}  // namespace

bool isSafeEndpointName(const MirelString& sName) {
    if (!sName.empty() && sName[0] == '/') {
        return false;
    }
    if (sName.find('\0') != MirelString::npos) {
        return false;
    }
    std::size_t nStart = 0;
    for (;;) {
        std::size_t nEnd = sName.find('/', nStart);
        std::size_t nLength = (nEnd == MirelString::npos ? sName.size() : nEnd) - nStart;
        if (nLength == 2 && sName.compare(nStart, 2, "..") == 0) {
            return false;
        }
        if (nEnd == MirelString::npos) {
            return true;
        }
        nStart = nEnd + 1;
    }
}

int openEndpointParent(const MirelString& sName, bool bForLock, FdOwner& parent,
                       MirelString* psLeaf) {
    std::size_t nLast = sName.rfind('/');
    std::size_t nLeaf = nLast == MirelString::npos ? 0 : nLast + 1;
    if (!isSafeEndpointName(sName) || nLeaf == sName.size()) {
        return EINVAL;
    }
    const int nPathFlags = O_PATH | O_DIRECTORY;
    const int nLastFlags = bForLock ? O_RDONLY | O_DIRECTORY : nPathFlags;
    // The directory itself, without its trailing '/' (which would make the open follow it).
    MirelString sDir(kSharedServiceDir, std::strlen(kSharedServiceDir) - 1);
    parent.reset(openRetrying(AT_FDCWD, sDir.c_str(), nLeaf == 0 ? nLastFlags : nPathFlags));
    if (parent.get() < 0) {
        return openFailure(AT_FDCWD, sDir.c_str());
    }
    std::size_t nStart = 0;
    while (nStart < nLeaf) {
        std::size_t nEnd = sName.find('/', nStart);
        MirelString sPart = sName.substr(nStart, nEnd - nStart);
        nStart = nEnd + 1;
        if (sPart.empty()) {
            continue;  // "a//b" is "a/b"
        }
        int nNext =
            openRetrying(parent.get(), sPart.c_str(), nStart >= nLeaf ? nLastFlags : nPathFlags);
        if (nNext < 0) {
            return openFailure(parent.get(), sPart.c_str());
        }
        parent.reset(nNext);
    }
    *psLeaf = sName.substr(nLeaf);
    return 0;
}

int openEndpointFile(int nParent, const MirelString& sLeaf, FdOwner& file, struct stat* pInfo) {
    file.reset(openRetrying(nParent, sLeaf.c_str(), O_PATH));
    if (file.get() < 0) {
        return errno;
    }
    if (::fstat(file.get(), pInfo) != 0) {
        return errno;
    }
    if (S_ISLNK(pInfo->st_mode)) {
        return ELOOP;
    }
    return S_ISSOCK(pInfo->st_mode) ? 0 : ECONNREFUSED;
}

MirelString descriptorPath(int nFd, const char* pszLeaf) {
    char szPath[64];
    std::snprintf(szPath, sizeof szPath, "/proc/self/fd/%d", nFd);
    MirelString sPath(szPath);
    if (pszLeaf) {
        sPath += "/";
        sPath += pszLeaf;
    }
    return sPath;
}

SocketAddress descriptorAddress(int nFd, const char* pszLeaf) {
    SocketAddress address;
    MirelString sPath = descriptorPath(nFd, pszLeaf);
    int nError = 0;
    if (!unixAddress(sPath, &address, &nError)) {
        // Cut to what fits: the bind or connect then fails.
        unixAddress(sPath.substr(0, sizeof(sockaddr_un().sun_path) - 1), &address, &nError);
    }
    return address;
}

bool endpointPathFits(const MirelString& sName) {
    return std::strlen(kSharedServiceDir) + sName.size() < sizeof(sockaddr_un().sun_path);
}

int connectEndpoint(int nSocket, const MirelString& sName) {
    KeptEndpoints& kept = keptEndpoints();
    KeptEndpoints::File file = kept.find(sName);
    bool bKept = file != 0;
    for (;;) {
        if (!file) {
            int nError = openEndpoint(sName, &file);
            if (nError != 0) {
                return nError;
            }
        }
        int nError = posix::connect(nSocket, descriptorAddress(file->get(), 0), -1);
        if (nError == ECONNREFUSED && bKept) {
            // The file kept may be one its server has left; the name may have a new one.
            kept.forget(sName);
            file.reset();
            bKept = false;
            continue;
        }
        if (nError == 0 && !bKept) {
            kept.keep(sName, file);
        }
        return nError;
    }
}

}  // namespace detail
}  // namespace MirelNet
