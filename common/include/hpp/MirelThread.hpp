/// \class MirelSupport::MirelThread
/// A thread object: start() runs run() on a new thread; wait() joins it.
///
/// Lifecycle: construct (no thread yet) -> start() -> run() on the new thread -> wait() joins.
/// An exception that escapes run() is logged at level 1 and ends that thread only; it never
/// terminates the process. The owner must make run() return (stop() sets a flag that run() can
/// poll; a subclass may add its own way) and call wait() before the object goes: the base
/// destructor joins a thread still running as a last resort, but by then the subclass part is
/// gone. Reference counted through its MirelObjectBase base.
///
/// Threads: start, stop, wait and the queries may be called from any thread except that wait()
/// must not be called from the thread itself (it returns false at once there).
#ifndef MIREL_THREAD_HPP
#define MIREL_THREAD_HPP

#include <atomic>
#include <mutex>
#include <thread>

#include "MirelCollaborator.hpp"
#include "MirelSmartPointer.hpp"
#include "MirelWorkInformation.hpp"

namespace MirelSupport {

class MSUPT_API MirelThread : public MirelCollaborator, public MirelObjectBase {
public:
    /// Scheduling priorities that setPriority records.
    enum t_Priority { PRIORITY_LOW, PRIORITY_NORMAL, PRIORITY_HIGH };

    /// A thread named sName, not started.
    explicit MirelThread(const MirelString& sName);
    virtual ~MirelThread();

    virtual void notify(const MirelNotification& notification);
    /// Starts the thread. Returns false when it is already running or cannot be created.
    virtual bool start();
    /// Asks run() to end: sets the flag that isStopRequested() reports.
    virtual void stop();
    /// The work the base run() does; set before start.
    virtual void setWorkInfo(MirelSmartPointer<MirelWorkInformation> spWorkInfo);
    /// Joins the thread. True when it has ended (or was never started) within nTimeoutMs
    /// milliseconds; a negative time-out waits for ever.
    virtual bool wait(int nTimeoutMs);
    /// Recorded only; the platform's scheduling is left as it is.
    virtual void setPriority(t_Priority priority);
    /// The thread body. The base runs the work information given by setWorkInfo, if any.
    virtual int run();
    /// Runs workInfo; the base returns its result.
    virtual int run(MirelWorkInformation& workInfo);

    /// The name given to the constructor.
    const MirelString& getName() const;
    /// True once stop() was called.
    bool isStopRequested() const;
    /// True from start until run() has returned.
    bool isRunning() const;
    /// What run() returned; -1 while running or when run() ended by an exception.
    int getExitCode() const;

private:
    MirelThread(const MirelThread&);
    MirelThread& operator=(const MirelThread&);

    void body();

    MirelString m_sName;
    std::mutex m_mutex;  ///< guards m_thread
    std::thread m_thread;
    std::mutex m_workMutex;  ///< guards m_spWorkInfo
    MirelSmartPointer<MirelWorkInformation> m_spWorkInfo;
    std::atomic<bool> m_bStopRequested;
    std::atomic<bool> m_bRunning;
    std::atomic<int> m_nExitCode;
    t_Priority m_priority;
};

}  // namespace MirelSupport

#endif
