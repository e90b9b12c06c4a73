#include "MirelCriticalSection.hpp"

namespace MirelSupport {

MirelCriticalSectionObject::MirelCriticalSectionObject() {}

MirelCriticalSectionObject::~MirelCriticalSectionObject() {}

void MirelCriticalSectionObject::lock() {
    m_mutex.lock();
}

void MirelCriticalSectionObject::unlock() {
    m_mutex.unlock();
}

bool MirelCriticalSectionObject::tryLock() {
    return m_mutex.try_lock();
}

MirelCriticalSection::MirelCriticalSection(MirelCriticalSectionObject& lockObject, bool bLock)
    : m_lockObject(lockObject), m_bLocked(false) {
    if (bLock) {
        lock();
    }
}

MirelCriticalSection::~MirelCriticalSection() {
    unlock();
}

void MirelCriticalSection::lock() {
    if (!m_bLocked) {
        m_lockObject.lock();
        m_bLocked = true;
    }
}

void MirelCriticalSection::unlock() {
    if (m_bLocked) {
        m_bLocked = false;
        m_lockObject.unlock();
    }
}

}  // namespace MirelSupport
