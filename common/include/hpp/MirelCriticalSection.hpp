// A lock re-entrant for the thread that holds it, and its scoped guard.
//
// MirelCriticalSectionObject is the lock; MirelCriticalSection(lock, true) takes it at once
// and gives it back when the guard goes out of scope, on every path. Take the lock through the
// guard only. Every lock names next to its declaration the data that it guards.
#ifndef MIREL_CRITICAL_SECTION_HPP
#define MIREL_CRITICAL_SECTION_HPP

#include <mutex>

#include "MsuptExport.hpp"

namespace MirelSupport {

class MSUPT_API MirelCriticalSectionObject {
public:
    MirelCriticalSectionObject();
    virtual ~MirelCriticalSectionObject();

    virtual void lock();
    virtual void unlock();
    // True when the lock was taken without waiting.
    virtual bool tryLock();

private:
    MirelCriticalSectionObject(const MirelCriticalSectionObject&);
    MirelCriticalSectionObject& operator=(const MirelCriticalSectionObject&);

    std::recursive_mutex m_mutex;
};

class MSUPT_API MirelCriticalSection {
public:
    // Locks at once when bLock is true; otherwise lock() may be called later.
    MirelCriticalSection(MirelCriticalSectionObject& lockObject, bool bLock = true);
    ~MirelCriticalSection();

    void lock();
    void unlock();

private:
    MirelCriticalSection(const MirelCriticalSection&);
    MirelCriticalSection& operator=(const MirelCriticalSection&);

    MirelCriticalSectionObject& m_lockObject;
    bool m_bLocked;
};

}  // namespace MirelSupport

#endif
