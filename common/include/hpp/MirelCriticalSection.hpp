/// \file
/// A lock re-entrant for the thread that holds it, and its scoped guard.
///
/// MirelCriticalSectionObject is the lock; MirelCriticalSection(lock, true) takes it at once
/// and gives it back when the guard goes out of scope, on every path. Take the lock through the
/// guard only. Every lock names next to its declaration the data that it guards.
#ifndef MIREL_CRITICAL_SECTION_HPP
#define MIREL_CRITICAL_SECTION_HPP

#include <mutex>

#include "MsuptExport.hpp"

namespace MirelSupport {

/// The lock itself, re-entrant for the thread that holds it. Never copied.
class MSUPT_API MirelCriticalSectionObject {
public:
    MirelCriticalSectionObject();
    virtual ~MirelCriticalSectionObject();

    /// Takes the lock, waiting while another thread holds it.
    virtual void lock();
    /// Gives back one level of the lock; only its holder may.
    virtual void unlock();
    /// True when the lock was taken without waiting.
    virtual bool tryLock();

private:
    MirelCriticalSectionObject(const MirelCriticalSectionObject&);
    MirelCriticalSectionObject& operator=(const MirelCriticalSectionObject&);

    std::recursive_mutex m_mutex;
};

/// The scoped guard: holds a MirelCriticalSectionObject until it goes out of scope (or
/// unlock). Used by one thread.
class MSUPT_API MirelCriticalSection {
public:
    /// Locks at once when bLock is true; otherwise lock() may be called later.
    MirelCriticalSection(MirelCriticalSectionObject& lockObject, bool bLock = true);
    ~MirelCriticalSection();

    /// Takes the lock when this guard does not hold it.
    void lock();
    /// Gives the lock back when this guard holds it.
    void unlock();

private:
    MirelCriticalSection(const MirelCriticalSection&);
    MirelCriticalSection& operator=(const MirelCriticalSection&);

    MirelCriticalSectionObject& m_lockObject;
    bool m_bLocked;
};

}  // namespace MirelSupport

#endif
