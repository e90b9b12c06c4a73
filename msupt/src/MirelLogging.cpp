#include "MirelLogging.hpp"

#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>

namespace MirelSupport {

const MirelEndRecord endrecord = MirelEndRecord();

namespace {

// The record being built by this thread. Level 0 means no record is open (or it will not be
// written), so items are dropped. It is trivially destructible on purpose: a thread-local with
// a destructor registers that destructor at the thread's first record, and a thread whose
// first record was written while the library was being unloaded would run it from unmapped
// code at its exit. Text beyond the fixed room is cut and marked.
struct PendingRecord {
    static const std::size_t kRoom = 4096;

    char szText[kRoom];
    std::size_t nLength;  // stays within kRoom less the marker until the text is cut
    bool bCut;
    int nLevel;

    void clear() {
        nLength = 0;
        bCut = false;
    }

    void append(const char* p, std::size_t n) {
        static const char kMarker[] = " [cut]";
        const std::size_t nMarker = sizeof kMarker - 1;
        if (bCut) {
            return;
        }
        if (nLength + n + nMarker > kRoom) {
            std::size_t nFit = kRoom - nMarker - nLength;
            if (nFit > n) {
                nFit = n;  // cannot happen; keeps the copy visibly within the source
            }
            std::memcpy(szText + nLength, p, nFit);
            std::memcpy(szText + nLength + nFit, kMarker, nMarker);
            nLength += nFit + nMarker;
            bCut = true;
            return;
        }
        std::memcpy(szText + nLength, p, n);
        nLength += n;
    }
    void append(const MirelString& s) { append(s.data(), s.size()); }
};

thread_local PendingRecord t_record;

// The log and its lock live in static storage and are never destroyed: records may still be
// written from other libraries' static destructors. No heap is used, so unloading the library
// leaves nothing behind; the file it opened is closed at unload (closeLogAtUnload).
alignas(std::mutex) unsigned char s_lockStorage[sizeof(std::mutex)];
alignas(MirelLogging) unsigned char s_logStorage[sizeof(MirelLogging)];
std::atomic<bool> s_bLogCreated(false);

std::mutex& writerLock() {
    // Guards the destination (m_nFd, m_bOwnFd changes) and keeps each record in one piece.
    static std::mutex* pLock = new (s_lockStorage) std::mutex();
    return *pLock;
}

int levelFromEnvironment() {
    const char* psz = std::getenv("MIREL_LOG_LEVEL");
    if (psz == 0 || *psz == '\0') {
        return 0;
    }
    char* pEnd = 0;
    long n = std::strtol(psz, &pEnd, 10);
    if (*pEnd != '\0' || n < 0) {
        return 0;
    }
    return n > 9 ? 9 : static_cast<int>(n);
}

void appendNumber(long long n) {
    char szBuffer[32];
    int nLength = std::snprintf(szBuffer, sizeof szBuffer, "%lld", n);
    t_record.append(szBuffer, static_cast<std::size_t>(nLength));
}

void appendUnsigned(unsigned long long n) {
    char szBuffer[32];
    int nLength = std::snprintf(szBuffer, sizeof szBuffer, "%llu", n);
    t_record.append(szBuffer, static_cast<std::size_t>(nLength));
}

}  // namespace

MirelLogging& MirelLogging::getInstance() {
    static MirelLogging* pInstance = new (s_logStorage) MirelLogging();
    s_bLogCreated.store(true, std::memory_order_relaxed);
    return *pInstance;
}

namespace {

__attribute__((destructor)) void closeLogAtUnload() {
    if (s_bLogCreated.load()) {
        MirelLogging::getInstance().setFile(MirelString());
    }
}

}  // namespace

MirelLogging::MirelLogging()
    : m_nLevel(levelFromEnvironment()), m_nFd(STDERR_FILENO), m_bOwnFd(false) {
    const char* pszFile = std::getenv("MIREL_LOG_FILE");
    if (pszFile != 0 && *pszFile != '\0') {
        setFile(pszFile);
    }
}

MirelLogging::~MirelLogging() {}

bool MirelLogging::isAccessAllowed() {
    return getInstance().m_nFd.load(std::memory_order_relaxed) >= 0;
}

bool MirelLogging::isEnabled(int nLevel) {
    MirelLogging& log = getInstance();
    return nLevel > 0 && nLevel <= log.m_nLevel.load(std::memory_order_relaxed) &&
           log.m_nFd.load(std::memory_order_relaxed) >= 0;
}

void MirelLogging::setLevel(int nLevel) {
    m_nLevel.store(nLevel < 0 ? 0 : nLevel, std::memory_order_relaxed);
}

int MirelLogging::getLevel() const {
    return m_nLevel.load(std::memory_order_relaxed);
}

bool MirelLogging::setFile(const MirelString& sPath) {
    int nNewFd = STDERR_FILENO;
    if (!sPath.empty()) {
        do {
            nNewFd = ::open(sPath.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        } while (nNewFd < 0 && errno == EINTR);
        if (nNewFd < 0) {
            return false;
        }
    }
    std::lock_guard<std::mutex> guard(writerLock());
    int nOldFd = m_nFd.exchange(nNewFd);
    if (m_bOwnFd && nOldFd >= 0) {
        ::close(nOldFd);
    }
    m_bOwnFd = !sPath.empty();
    return true;
}

MirelLogging& MirelLogging::operator<<(const setloglevel& level) {
    t_record.clear();
    t_record.nLevel = isEnabled(level.m_nLevel) ? level.m_nLevel : 0;
    return *this;
}

MirelLogging& MirelLogging::operator<<(const MirelEndRecord&) {
    if (t_record.nLevel > 0) {
        write(MirelString(t_record.szText, t_record.nLength), t_record.nLevel);
    }
    t_record.clear();
    t_record.nLevel = 0;
    return *this;
}

MirelLogging& MirelLogging::operator<<(const char* psz) {
    if (t_record.nLevel > 0) {
        const char* pszText = psz ? psz : "(null)";
        t_record.append(pszText, std::strlen(pszText));
    }
    return *this;
}

MirelLogging& MirelLogging::operator<<(const MirelString& s) {
    if (t_record.nLevel > 0) {
        t_record.append(s);
    }
    return *this;
}

MirelLogging& MirelLogging::operator<<(char c) {
    if (t_record.nLevel > 0) {
        t_record.append(&c, 1);
    }
    return *this;
}

MirelLogging& MirelLogging::operator<<(short n) {
    if (t_record.nLevel > 0) {
        appendNumber(n);
    }
    return *this;
}

MirelLogging& MirelLogging::operator<<(unsigned short n) {
    if (t_record.nLevel > 0) {
        appendUnsigned(n);
    }
    return *this;
}

MirelLogging& MirelLogging::operator<<(int n) {
    if (t_record.nLevel > 0) {
        appendNumber(n);
    }
    return *this;
}

MirelLogging& MirelLogging::operator<<(unsigned int n) {
    if (t_record.nLevel > 0) {
        appendUnsigned(n);
    }
    return *this;
}

MirelLogging& MirelLogging::operator<<(long n) {
    if (t_record.nLevel > 0) {
        appendNumber(n);
    }
    return *this;
}

MirelLogging& MirelLogging::operator<<(unsigned long n) {
    if (t_record.nLevel > 0) {
        appendUnsigned(n);
    }
    return *this;
}

MirelLogging& MirelLogging::operator<<(long long n) {
    if (t_record.nLevel > 0) {
        appendNumber(n);
    }
    return *this;
}

MirelLogging& MirelLogging::operator<<(unsigned long long n) {
    if (t_record.nLevel > 0) {
        appendUnsigned(n);
    }
    return *this;
}

void MirelLogging::write(const MirelString& sRecord, int nLevel) {
    struct timeval now;
    ::gettimeofday(&now, 0);
    struct tm parts;
    time_t nSeconds = now.tv_sec;
    ::gmtime_r(&nSeconds, &parts);
    char szPrefix[64];
    std::snprintf(szPrefix, sizeof szPrefix, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ [%d] ",
                  parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, parts.tm_hour,
                  parts.tm_min, parts.tm_sec, static_cast<int>(now.tv_usec / 1000), nLevel);
    MirelString sLine = szPrefix;
    sLine += sRecord;
    sLine += '\n';

    std::lock_guard<std::mutex> guard(writerLock());
    int nFd = m_nFd.load();
    const char* p = sLine.data();
    std::size_t nLeft = sLine.size();
    while (nFd >= 0 && nLeft > 0) {
        ssize_t n = ::write(nFd, p, nLeft);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;  // a log that cannot be written must not disturb the caller
        }
        p += n;
        nLeft -= static_cast<std::size_t>(n);
    }
}

}  // namespace MirelSupport
