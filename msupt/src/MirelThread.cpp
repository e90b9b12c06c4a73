#include "MirelThread.hpp"

#include <chrono>
#include <exception>

#include "MirelException.hpp"
#include "MirelLogging.hpp"

namespace MirelSupport {

MirelThread::MirelThread(const MirelString& sName)
    : m_sName(sName),
      m_bStopRequested(false),
      m_bRunning(false),
      m_nExitCode(-1),
      m_priority(PRIORITY_NORMAL) {}

MirelThread::~MirelThread() {
    std::thread thread;
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        thread.swap(m_thread);
    }
    if (thread.joinable()) {
        if (thread.get_id() == std::this_thread::get_id()) {
            thread.detach();  // the thread released its own last reference
        } else {
            thread.join();
        }
    }
}

void MirelThread::notify(const MirelNotification&) {}

bool MirelThread::start() {
    std::lock_guard<std::mutex> guard(m_mutex);
    if (m_bRunning.load() || m_thread.joinable()) {
        return false;
    }
    m_bStopRequested = false;
    m_nExitCode = -1;
    m_bRunning = true;
    try {
        m_thread = std::thread(&MirelThread::body, this);
    } catch (const std::exception& e) {
        m_bRunning = false;
        MIREL_LOG(1) << "MirelThread::start: cannot start thread " << m_sName << ": " << e.what()
                     << endrecord;
        return false;
    }
    return true;
}

void MirelThread::stop() {
    m_bStopRequested = true;
}

void MirelThread::setWorkInfo(MirelSmartPointer<MirelWorkInformation> spWorkInfo) {
    std::lock_guard<std::mutex> guard(m_workMutex);
    m_spWorkInfo = spWorkInfo;
}

bool MirelThread::wait(int nTimeoutMs) {
    std::unique_lock<std::mutex> guard(m_mutex);
    if (!m_thread.joinable()) {
        return true;
    }
    if (m_thread.get_id() == std::this_thread::get_id()) {
        return false;
    }
    if (nTimeoutMs >= 0) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
        while (m_bRunning.load()) {
            if (std::chrono::steady_clock::now() >= deadline) {
                return false;
            }
            guard.unlock();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            guard.lock();
            if (!m_thread.joinable()) {
                return true;
            }
        }
    }
    m_thread.join();
    return true;
}

void MirelThread::setPriority(t_Priority priority) {
    m_priority = priority;
}

int MirelThread::run() {
    MirelSmartPointer<MirelWorkInformation> spWorkInfo;
    {
        std::lock_guard<std::mutex> guard(m_workMutex);
        spWorkInfo = m_spWorkInfo;
    }
    return spWorkInfo ? run(*spWorkInfo) : 0;
}

int MirelThread::run(MirelWorkInformation&) {
    return 0;
}

const MirelString& MirelThread::getName() const {
    return m_sName;
}

bool MirelThread::isStopRequested() const {
    return m_bStopRequested.load();
}

bool MirelThread::isRunning() const {
    return m_bRunning.load();
}

int MirelThread::getExitCode() const {
    return m_nExitCode.load();
}

void MirelThread::body() {
    try {
        m_nExitCode = run();
    } catch (const MirelException& e) {
        MIREL_LOG(1) << "MirelThread::run: thread " << m_sName
                     << " ended by exception: " << e.getText() << " (code " << e.getCode() << ")"
                     << endrecord;
    } catch (const std::exception& e) {
        MIREL_LOG(1) << "MirelThread::run: thread " << m_sName
                     << " ended by exception: " << e.what() << endrecord;
    } catch (...) {
        MIREL_LOG(1) << "MirelThread::run: thread " << m_sName << " ended by an unknown exception"
                     << endrecord;
    }
    m_bRunning = false;
}

}  // namespace MirelSupport
