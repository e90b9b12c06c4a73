#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "MirelException.hpp"
#include "MirelLogging.hpp"
#include "TestSupport.hpp"

namespace mnettest {

MirelSupport::MirelException catchOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const MirelSupport::MirelException& e) {
        return e;
    }
    return MirelSupport::MirelException(MirelSupport::MirelString("nothing thrown"), -1);
}

PipeName::PipeName(const std::string& sPrefix)
    : sName(uniqueName(sPrefix)), sPath(kSharedServiceDir + sName) {}

PipeName::~PipeName() {
    ::unlink(sPath.c_str());
}

Background::Background(const std::function<void()>& fn)
    : m_bDone(false), m_nThreadId(0), m_thread([this, fn] {
          m_nThreadId = static_cast<int>(::syscall(SYS_gettid));
          fn();
          m_bDone = true;
      }) {}

Background::~Background() {
    if (!finish()) {
        std::fprintf(stderr, "a background call did not return in time\n");
        std::abort();
    }
}

bool Background::finish(int nTimeoutMs) {
    if (!waitUntil([this] { return m_bDone.load(); }, nTimeoutMs)) {
        return false;
    }
    if (m_thread.joinable()) {
        m_thread.join();
    }
    return true;
}

bool Background::waitBlocked(int nTimeoutMs) const {
    return waitUntil(
        [this] {
            if (m_nThreadId == 0 || m_bDone) {
                return false;
            }
            // "<tid> (<name>) <state> ...": the name may hold spaces, the state follows its ')'.
            std::ifstream stat("/proc/self/task/" + std::to_string(m_nThreadId.load()) + "/stat");
            std::string sLine;
            std::getline(stat, sLine);
            std::size_t nEnd = sLine.rfind(')');
            return nEnd != std::string::npos && nEnd + 2 < sLine.size() && sLine[nEnd + 2] == 'S';
        },
        nTimeoutMs);
}

void Background::interrupt() {
    ::pthread_kill(m_thread.native_handle(), SIGUSR1);
}

LogCapture::LogCapture(int nLevel) : m_sPath("/tmp/" + uniqueName("mnetlog") + ".log") {
    MirelSupport::MirelLogging::getInstance().setFile(m_sPath);
    MirelSupport::MirelLogging::getInstance().setLevel(nLevel);
}

LogCapture::~LogCapture() {
    MirelSupport::MirelLogging::getInstance().setLevel(0);
    MirelSupport::MirelLogging::getInstance().setFile("");
    ::unlink(m_sPath.c_str());
}

std::string LogCapture::text() const {
    std::ifstream file(m_sPath);
    std::stringstream contents;
    contents << file.rdbuf();
    return contents.str();
}

std::vector<std::string> LogCapture::linesWith(const std::string& sNeedle) const {
    std::ifstream file(m_sPath);
    std::vector<std::string> lines;
    for (std::string sLine; std::getline(file, sLine);) {
        if (sLine.find(sNeedle) != std::string::npos) {
            lines.push_back(sLine);
        }
    }
    return lines;
}

int LogCapture::count(const std::string& sNeedle) const {
    std::string sText = text();
    int n = 0;
    for (std::size_t at = sText.find(sNeedle); at != std::string::npos;
         at = sText.find(sNeedle, at + 1)) {
        ++n;
    }
    return n;
}

bool LogCapture::waitFor(const std::string& sNeedle, int nTimes, int nTimeoutMs) const {
    return waitUntil([&] { return count(sNeedle) >= nTimes; }, nTimeoutMs);
}

Recorder::Recorder(int nId, Throw eThrow)
    : MirelNotificationCallback(nId), m_eThrow(eThrow), m_bHold(false), m_bHeld(false) {}

int Recorder::count() {
    std::lock_guard<std::mutex> guard(m_mutex);
    return static_cast<int>(m_values.size());
}

std::vector<long> Recorder::values() {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_values;
}

bool Recorder::saw(long nValue) {
    std::lock_guard<std::mutex> guard(m_mutex);
    for (long n : m_values) {
        if (n == nValue) {
            return true;
        }
    }
    return false;
}

void Recorder::hold() {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_bHold = true;
}

void Recorder::resume() {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_bHold = false;
    m_changed.notify_all();
}

bool Recorder::waitHeld(int nTimeoutMs) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(nTimeoutMs),
                              [this] { return m_bHeld; });
}

bool Recorder::arrival(long nValue, Time* pWhen) {
    std::lock_guard<std::mutex> guard(m_mutex);
    for (std::size_t i = 0; i < m_values.size(); ++i) {
        if (m_values[i] == nValue) {
            *pWhen = m_times[i];
            return true;
        }
    }
    return false;
}

void Recorder::doCallback(
    MirelSupport::MirelSmartPointer<MirelNet::MirelConnection>& spConnection) {
    long nValue = spConnection->receiveLong();
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (m_bHold) {
            m_bHeld = true;
            m_changed.notify_all();
            m_changed.wait_for(lock, std::chrono::seconds(20), [this] { return !m_bHold; });
            m_bHeld = false;
        }
        m_values.push_back(nValue);
        m_times.push_back(std::chrono::steady_clock::now());
    }
    if (m_eThrow == MIREL) {
        throw MirelSupport::MirelException(MirelSupport::MirelString("Recorder: refused."), 22);
    }
    if (m_eThrow == STANDARD) {
        throw std::runtime_error("Recorder: not a MirelException");
    }
    if (m_eThrow == OTHER) {
        throw 7;
    }
}

MirelSupport::MirelSmartPointer<Recorder> addRecorder(MirelNet::MirelCallbackContainer& container,
                                                      int nId, Recorder::Throw eThrow) {
    MirelSupport::MirelSmartPointer<Recorder> spRecorder(new Recorder(nId, eThrow));
    container.add(MirelSupport::MirelSmartPointer<MirelNet::MirelNotificationCallback>(
        spRecorder.operator->()));
    return spRecorder;
}

DescriptorFiller::DescriptorFiller() : m_nFillError(0) {
    ::getrlimit(RLIMIT_NOFILE, &m_saved);
    rlimit lowered = m_saved;
    if (lowered.rlim_cur > 1024) {
        lowered.rlim_cur = 1024;
    }
    ::setrlimit(RLIMIT_NOFILE, &lowered);
    for (int nFd; (nFd = ::dup(0)) >= 0;) {
        m_fds.push_back(nFd);
    }
    m_nFillError = errno;
}

DescriptorFiller::~DescriptorFiller() {
    release();
}

bool DescriptorFiller::full() const {
    return m_nFillError == EMFILE && !m_fds.empty();
}

void DescriptorFiller::release() {
    for (int nFd : m_fds) {
        ::close(nFd);
    }
    m_fds.clear();
    ::setrlimit(RLIMIT_NOFILE, &m_saved);
}

ChildProcess::ChildProcess(const std::function<int(std::string&)>& body)
    : m_nPid(-1), m_nReport(-1) {
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) {
        return;
    }
    pid_t nPid = ::fork();
    if (nPid < 0) {
        ::close(report[0]);
        ::close(report[1]);
        return;
    }
    if (nPid == 0) {
        ::close(report[0]);
        std::string sReport;
        int nResult = 1;
        try {
            nResult = body(sReport);
        } catch (const std::exception& e) {
            sReport += std::string("exception: ") + e.what();
        } catch (...) {
            sReport += "unexpected exception";
        }
        for (std::size_t nDone = 0; nDone < sReport.size();) {
            ssize_t n = ::write(report[1], sReport.data() + nDone, sReport.size() - nDone);
            if (n <= 0 && errno != EINTR) {
                break;
            }
            nDone += n > 0 ? static_cast<std::size_t>(n) : 0;
        }
        ::_exit(nResult);
    }
    ::close(report[1]);
    m_nPid = nPid;
    m_nReport = report[0];
}

ChildProcess::~ChildProcess() {
    if (m_nPid > 0) {
        ::kill(m_nPid, SIGKILL);
        wait(0, 0);
    }
    if (m_nReport >= 0) {
        ::close(m_nReport);
    }
}

int ChildProcess::wait(std::string* psReport, int nTimeoutMs) {
    if (m_nPid <= 0) {
        return -1;
    }
    std::string sReport;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
    bool bTimedOut = false;
    while (m_nReport >= 0) {
        int nLeftMs = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                           deadline - std::chrono::steady_clock::now())
                                           .count());
        if (nLeftMs <= 0) {
            bTimedOut = true;
            break;
        }
        pollfd ready = {m_nReport, POLLIN, 0};
        if (::poll(&ready, 1, nLeftMs) <= 0) {
            continue;
        }
        char buffer[1024];
        ssize_t n = ::read(m_nReport, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;  // the child is gone (or has closed its end)
        }
        sReport.append(buffer, static_cast<std::size_t>(n));
    }
    if (bTimedOut) {
        ::kill(m_nPid, SIGKILL);
    }
    int nStatus = 0;
    while (::waitpid(m_nPid, &nStatus, 0) < 0 && errno == EINTR) {
    }
    m_nPid = -1;
    if (psReport) {
        *psReport = sReport;
    }
    if (bTimedOut) {
        return -1;
    }
    return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : 128 + WTERMSIG(nStatus);
}

int runInChild(const std::function<int(std::string&)>& body, std::string* psReport,
               int nTimeoutMs) {
    return ChildProcess(body).wait(psReport, nTimeoutMs);
}

}  // namespace mnettest
