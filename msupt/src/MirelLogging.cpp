#include "MirelLogging.hpp"

#include <fcntl.h>
#include <sys/time.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
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
    bool bInHandler;  // this thread runs the record handler: its own records are dropped

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

// The destination is the system log (m_nFd is then -1). Kept here, the class's layout being
// fixed; changed with m_nFd under the writer lock.
std::atomic<bool> s_bSyslog(false);

// The application's record handler and its context, which take the place of the destination
// while the handler is set. Kept here for the same reason; changed under the writer lock, and
// the handler is read atomically by isAccessAllowed.
std::atomic<MirelLogging::RecordHandler> s_pfnHandler(0);
void* s_pHandlerContext = 0;

const char* const kSyslogName = "syslog";

// Whether standard error was open when the library was loaded. When it was not, descriptor 2
// is whatever the process opens next (a socket, say), so the log never writes there: records
// would land in a peer's stream.
const bool s_bStderrAtLoad = ::fcntl(STDERR_FILENO, F_GETFD) != -1;

int standardErrorOrNone() {
    return s_bStderrAtLoad ? STDERR_FILENO : -1;
}

// Appends text with the bytes that would break the record's line escaped: a newline as \n, a
// carriage return as \r, other control bytes as \xNN. A record stays one line whatever a peer
// or caller put into it.
void appendOneLine(MirelString& sLine, const char* p, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(p[i]);
        if (c >= 0x20 && c != 0x7f) {
            sLine += static_cast<char>(c);
        } else if (c == '\n') {
            sLine += "\\n";
        } else if (c == '\r') {
            sLine += "\\r";
        } else if (c == '\t') {
            sLine += '\t';
        } else {
            char szEscape[8];
            std::snprintf(szEscape, sizeof szEscape, "\\x%02x", c);
            sLine += szEscape;
        }
    }
}

// A problem with the configuration, on standard error, as one line. The constructor, which
// reads the configuration, runs once per process, so each problem is told once.
void reportConfiguration(const char* pszVariable, const char* pszValue, const char* pszProblem) {
    MirelString sLine = "MirelLogging: ";
    sLine += pszVariable;
    sLine += "='";
    std::size_t nLength = std::strlen(pszValue);
    const std::size_t kShown = 256;  // the environment is not ours: shown in part, one line
    appendOneLine(sLine, pszValue, nLength < kShown ? nLength : kShown);
    sLine += nLength < kShown ? "' " : "...' ";
    sLine += pszProblem;
    sLine += '\n';
    if (s_bStderrAtLoad) {
        (void)!::write(STDERR_FILENO, sLine.data(), sLine.size());
    }
}

// MIREL_LOG_LEVEL: unset or empty is 0. A value that is not a level from 0 to 9 is reported;
// a number above 9 means 9, anything else 0.
int levelFromEnvironment() {
    const char* psz = std::getenv("MIREL_LOG_LEVEL");
    if (psz == 0 || *psz == '\0') {
        return 0;
    }
    char* pEnd = 0;
    errno = 0;
    long n = std::strtol(psz, &pEnd, 10);
    bool bNumber = pEnd != psz && *pEnd == '\0' && (errno == 0 || n == LONG_MAX);
    if (bNumber && n >= 0 && n <= 9) {
        return static_cast<int>(n);
    }
    if (bNumber && n > 9) {
        reportConfiguration("MIREL_LOG_LEVEL", psz, "is not a level from 0 to 9; level 9 is used");
        return 9;
    }
    reportConfiguration("MIREL_LOG_LEVEL", psz,
                        "is not a level from 0 to 9; level 0 is used (nothing is logged)");
    return 0;
}

// Levels 1 to 9 as system-log priorities: 1 failures are errors, 2 warnings, 3 notices, 4 to 6
// (line reading, server readiness) information, 7 to 9 (set-up, trace) debugging.
int priorityOfLevel(int nLevel) {
    static const int kPriorities[] = {LOG_ERR,  LOG_ERR,  LOG_WARNING, LOG_NOTICE, LOG_INFO,
                                      LOG_INFO, LOG_INFO, LOG_DEBUG,   LOG_DEBUG,  LOG_DEBUG};
    return kPriorities[nLevel < 0 ? 0 : (nLevel > 9 ? 9 : nLevel)];
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
    : m_nLevel(levelFromEnvironment()), m_nFd(standardErrorOrNone()), m_bOwnFd(false) {
    const char* pszFile = std::getenv("MIREL_LOG_FILE");
    if (pszFile != 0 && *pszFile != '\0' && !setFile(pszFile)) {
        int nError = errno;
        MirelString sProblem = "cannot be opened (";
        sProblem += std::strerror(nError);
        sProblem += "); the log goes to standard error";
        reportConfiguration("MIREL_LOG_FILE", pszFile, sProblem.c_str());
    }
}

MirelLogging::~MirelLogging() {}

bool MirelLogging::isAccessAllowed() {
    return getInstance().m_nFd.load(std::memory_order_relaxed) >= 0 ||
           s_bSyslog.load(std::memory_order_relaxed) ||
           s_pfnHandler.load(std::memory_order_relaxed) != 0;
}

bool MirelLogging::isEnabled(int nLevel) {
    MirelLogging& log = getInstance();
    return nLevel > 0 && nLevel <= log.m_nLevel.load(std::memory_order_relaxed) &&
           isAccessAllowed();
}

void MirelLogging::setLevel(int nLevel) {
    m_nLevel.store(nLevel < 0 ? 0 : nLevel, std::memory_order_relaxed);
}

int MirelLogging::getLevel() const {
    return m_nLevel.load(std::memory_order_relaxed);
}

bool MirelLogging::setFile(const MirelString& sPath) {
    bool bSyslog = sPath == kSyslogName;
    int nNewFd = bSyslog ? -1 : standardErrorOrNone();
    if (!sPath.empty() && !bSyslog) {
        // Non-blocking, so that a FIFO without a reader fails the open (ENXIO) at once instead
        // of holding the first record for ever. Writes then block again, as on any file: a
        // record is written whole or the write fails, never dropped because a reader is slow.
        do {
            nNewFd =
                ::open(sPath.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0644);
        } while (nNewFd < 0 && errno == EINTR);
        if (nNewFd < 0) {
            return false;
        }
        int nFlags = ::fcntl(nNewFd, F_GETFL);
        if (nFlags != -1) {
            ::fcntl(nNewFd, F_SETFL, nFlags & ~O_NONBLOCK);
        }
    }
    std::lock_guard<std::mutex> guard(writerLock());
    int nOldFd = m_nFd.exchange(nNewFd);
    if (m_bOwnFd && nOldFd >= 0) {
        ::close(nOldFd);
    }
    m_bOwnFd = nNewFd >= 0 && !sPath.empty();
    s_bSyslog.store(bSyslog);
    return true;
}

void MirelLogging::setRecordHandler(RecordHandler pfnHandler, void* pContext) {
    std::lock_guard<std::mutex> guard(writerLock());
    s_pfnHandler.store(pfnHandler);
    s_pHandlerContext = pContext;
}

MirelLogging& MirelLogging::operator<<(const setloglevel& level) {
    t_record.clear();
    t_record.nLevel = !t_record.bInHandler && isEnabled(level.m_nLevel) ? level.m_nLevel : 0;
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
    // The process id tells apart the records of processes that share the file (a forked
    // child included: it is read for every record).
    char szTime[64];
    int nTime = std::snprintf(szTime, sizeof szTime, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ ",
                              parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, parts.tm_hour,
                              parts.tm_min, parts.tm_sec, static_cast<int>(now.tv_usec / 1000));
    char szOrigin[48];
    std::snprintf(szOrigin, sizeof szOrigin, "%ld [%d] ", static_cast<long>(::getpid()), nLevel);
    MirelString sLine = szTime;
    sLine += szOrigin;
    appendOneLine(sLine, sRecord.data(), sRecord.size());
    sLine += '\n';

    std::lock_guard<std::mutex> guard(writerLock());
    if (RecordHandler pfnHandler = s_pfnHandler.load()) {
        MirelString sText = sLine.substr(static_cast<std::size_t>(nTime) + std::strlen(szOrigin));
        sText.resize(sText.size() - 1);
        // The caller of the log expects no exception from it.
        t_record.bInHandler = true;
        try {
            pfnHandler(nLevel, sText.c_str(), s_pHandlerContext);
        } catch (...) {
        }
        t_record.bInHandler = false;
        return;
    }
    if (s_bSyslog.load()) {
        // The system log stamps the time itself and ends the line.
        MirelString sMessage = sLine.substr(static_cast<std::size_t>(nTime));
        sMessage.resize(sMessage.size() - 1);
        ::syslog(priorityOfLevel(nLevel), "%s", sMessage.c_str());
        return;
    }
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
