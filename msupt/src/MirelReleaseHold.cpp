#include "MirelReleaseHold.hpp"

#include <atomic>
#include <mutex>

namespace MirelSupport {

namespace {

// The holds that exist now, linked through the holds themselves (so that the list allocates
// nothing and a library unloaded with dlclose leaves nothing behind). A final release looks
// here only while the count says some hold exists.
std::mutex g_holdsMutex;  // guards g_pHolds and the links
MirelReleaseHold* g_pHolds = nullptr;
std::atomic<int> g_nHolds(0);

}  // namespace

MirelReleaseHold::MirelReleaseHold(MirelObjectBase& object)
    : m_pObject(&object), m_thread(std::this_thread::get_id()), m_bReleased(false), m_pNext(0) {
    std::lock_guard<std::mutex> guard(g_holdsMutex);
    m_pNext = g_pHolds;
    g_pHolds = this;
    g_nHolds.fetch_add(1, std::memory_order_release);
}

MirelReleaseHold::~MirelReleaseHold() {
    std::lock_guard<std::mutex> guard(g_holdsMutex);
    for (MirelReleaseHold** ppLink = &g_pHolds; *ppLink != nullptr; ppLink = &(*ppLink)->m_pNext) {
        if (*ppLink == this) {
            *ppLink = m_pNext;
            break;
        }
    }
    g_nHolds.fetch_sub(1, std::memory_order_release);
}

bool MirelReleaseHold::claim(const MirelObjectBase* pObject) {
    if (g_nHolds.load(std::memory_order_acquire) == 0) {
        return false;
    }
    std::thread::id thread = std::this_thread::get_id();
    std::lock_guard<std::mutex> guard(g_holdsMutex);
    for (MirelReleaseHold* pHold = g_pHolds; pHold != nullptr; pHold = pHold->m_pNext) {
        if (pHold->m_pObject == pObject && pHold->m_thread == thread) {
            pHold->m_bReleased = true;
            return true;
        }
    }
    return false;
}

}  // namespace MirelSupport
