#include "MirelCallbackContainer.hpp"

namespace MirelNet {

using MirelSupport::MirelCriticalSection;

MirelCallbackContainer::MirelCallbackContainer() : m_nIdCounter(0) {}

MirelCallbackContainer::~MirelCallbackContainer() {
    // Emptied through a local map: a callback whose destructor reaches back into this
    // container finds it already empty rather than half torn down.
    CallbackMap callbacks;
    callbacks.swap(m_callbackMap);
}

int MirelCallbackContainer::getNewId() {
    MirelCriticalSection guard(m_lock, true);
    int nId = m_nIdCounter;
    // Unsigned step: after INT_MAX the counter wraps instead of overflowing.
    m_nIdCounter = static_cast<int>(static_cast<unsigned int>(m_nIdCounter) + 1u);
    return nId;
}

MirelSmartPointer<MirelNotificationCallback> MirelCallbackContainer::lookup(int nId) {
    MirelCriticalSection guard(m_lock, true);
    CallbackMap::const_iterator it = m_callbackMap.find(nId);
    if (it == m_callbackMap.end()) {
        return MirelSmartPointer<MirelNotificationCallback>();
    }
    return it->second;
}

void MirelCallbackContainer::add(MirelSmartPointer<MirelNotificationCallback> spCallback) {
    if (!spCallback) {
        return;
    }
    // Declared before the guard so that a replaced callback is released after the lock.
    MirelSmartPointer<MirelNotificationCallback> spReplaced;
    MirelCriticalSection guard(m_lock, true);
    int nId = spCallback->getId();
    CallbackMap::iterator it = m_callbackMap.find(nId);
    if (it == m_callbackMap.end()) {
        m_callbackMap.insert(CallbackMap::value_type(nId, spCallback));
    } else if (!(it->second == spCallback)) {
        spReplaced = it->second;
        it->second = spCallback;
    }
}

void MirelCallbackContainer::remove(int nId) {
    MirelSmartPointer<MirelNotificationCallback> spRemoved;
    MirelCriticalSection guard(m_lock, true);
    CallbackMap::iterator it = m_callbackMap.find(nId);
    if (it != m_callbackMap.end()) {
        spRemoved = it->second;
        m_callbackMap.erase(it);
    }
}

MirelSupport::MirelCriticalSectionObject& MirelCallbackContainer::mutex() {
    return m_lock;
}

}  // namespace MirelNet
