/// \class MirelSupport::MirelLogging
/// Process-wide log of the suite.
///
/// A record is built as
///     MirelLogging::getInstance() << setloglevel(N) << items... << endrecord;
/// and written only when isAccessAllowed() and the current level is at least N. Each record is
/// written as one whole line, "<UTC time> <process id> [<level>] <text>", with one write call,
/// so records of several threads (and processes sharing the file) never interleave, and the
/// process id tells the processes apart. Line breaks and other control bytes in the text are
/// written escaped (`\n`, `\r`, `\xNN`), so a record stays one line whatever it quotes. The record
/// under construction is kept per thread, so any thread may log at any time.
///
/// Configuration is read once, at first use, from the environment: MIREL_LOG_LEVEL (0 to 9,
/// default 0: nothing is written) and MIREL_LOG_FILE (a path opened for appending, "syslog" for
/// the system log, default standard error). A level that is not 0 to 9 or a file that cannot be
/// opened is reported once on standard error. The file is opened without blocking, so a FIFO
/// that no one reads fails the open (reported, code 6 ENXIO) instead of hanging the first record;
/// once open, records are written whole, waiting for a slow reader rather than being dropped.
/// Standard error that was closed when the library was loaded is never written to (its number
/// may since belong to a socket or file of the program's): the log then goes nowhere unless a
/// file or "syslog" is set. In the system log (syslog(3), with the facility
/// and name the program chose with openlog, if any) a record is "<process id> [<level>] <text>"
/// at a priority taken from its level: 1 error, 2 warning, 3 notice, 4 to 6 info, 7 to 9 debug.
/// setLevel and setFile change the configuration at run time. A record whose level is above the
/// current level costs a level test per item; MIREL_LOG(N) skips building the items altogether.
/// setRecordHandler routes the records to the application's own logger instead.
#ifndef MIREL_LOGGING_HPP
#define MIREL_LOGGING_HPP

#include <atomic>

#include "MirelString.hpp"

namespace MirelSupport {

/// The first item of a record: its level, 1 (failures) to 9 (trace).
struct setloglevel {
    /// A record of level nLevel.
    explicit setloglevel(int nLevel) : m_nLevel(nLevel) {}
    int m_nLevel;
};

struct MirelEndRecord {};
/// The last item of a record: writes it.
MSUPT_API extern const MirelEndRecord endrecord;

class MSUPT_API MirelLogging {
public:
    /// The log; configured from the environment at the first call.
    static MirelLogging& getInstance();
    /// True when a log destination is open.
    static bool isAccessAllowed();
    /// True when a record of level nLevel would be written now.
    static bool isEnabled(int nLevel);

    /// Records of levels 1 to nLevel are written from now on; 0 writes nothing.
    void setLevel(int nLevel);
    /// The current level.
    int getLevel() const;
    /// Redirects the log to a file opened for appending (empty path: standard error, or nowhere
    /// when it was closed at load; "syslog":
    /// the system log, so a file of that name is given as "./syslog"). Returns false, leaving
    /// the destination unchanged and the reason in errno, when the file cannot be opened.
    bool setFile(const MirelString& sPath);

    /// Receives one record: its level (1 to 9), its text (zero-terminated, one line with control
    /// bytes escaped as in the file, without the time, process id and level that the file's
    /// lines carry) and the context given to setRecordHandler.
    typedef void (*RecordHandler)(int nLevel, const char* pszText, void* pContext);
    /// Hands every record written from now on to pfnHandler instead of the file, standard error
    /// or the system log; null gives them back to that destination. The level still decides
    /// which records are written. Threads: the handler runs on the thread that writes the
    /// record, one record at a time (under the log's own lock), so it needs no lock for its
    /// own state but must return promptly and must not call setRecordHandler or setFile; a
    /// record it writes itself and an exception it throws are dropped. Any thread may call
    /// this; once it returns, the
    /// previous handler is neither running nor called again.
    void setRecordHandler(RecordHandler pfnHandler, void* pContext = 0);

    /// Starts this thread's record, dropped unless its level is enabled.
    MirelLogging& operator<<(const setloglevel& level);
    /// Writes this thread's record as one line and ends it.
    MirelLogging& operator<<(const MirelEndRecord&);
    /// Appends an item to this thread's record (a null C string as "(null)", numbers in
    /// decimal); ignored when no record is open.
    ///@{
    MirelLogging& operator<<(const char* psz);
    MirelLogging& operator<<(const MirelString& s);
    MirelLogging& operator<<(char c);
    MirelLogging& operator<<(short n);
    MirelLogging& operator<<(unsigned short n);
    MirelLogging& operator<<(int n);
    MirelLogging& operator<<(unsigned int n);
    MirelLogging& operator<<(long n);
    MirelLogging& operator<<(unsigned long n);
    MirelLogging& operator<<(long long n);
    MirelLogging& operator<<(unsigned long long n);
    ///@}

private:
    MirelLogging();
    ~MirelLogging();
    MirelLogging(const MirelLogging&);
    MirelLogging& operator=(const MirelLogging&);

    void write(const MirelString& sRecord, int nLevel);

    std::atomic<int> m_nLevel;
    std::atomic<int> m_nFd;  ///< destination descriptor; -1 when none or the system log
    bool m_bOwnFd;           ///< guarded by the writer lock inside write()/setFile()
};

}  // namespace MirelSupport

/// Starts a record of level N; the items after it are evaluated only when it will be written.
#define MIREL_LOG(N)                                   \
    if (!::MirelSupport::MirelLogging::isEnabled(N)) { \
    } else                                             \
        ::MirelSupport::MirelLogging::getInstance() << ::MirelSupport::setloglevel(N)

#endif
