#include "MirelReleaseHold.hpp"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

namespace MirelSupport {

namespace {

// The holds that exist now, each naming its object and its thread. A final release looks here
// only while some hold exists; otherwise the count alone answers.
class Holds {
public:
    static Holds& instance() {
        static Holds* s_pHolds = new Holds;  // never destroyed: no exit-time order
        return *s_pHolds;
    }
    void add(MirelReleaseHold* pHold) {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_holds.push_back(pHold);
        m_nCount.store(m_holds.size(), std::memory_order_release);
    }
    void remove(MirelReleaseHold* pHold) {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_holds.erase(std::remove(m_holds.begin(), m_holds.end(), pHold), m_holds.end());
        m_nCount.store(m_holds.size(), std::memory_order_release);
    }
    // The hold of this thread that covers pObject, or null.
    MirelReleaseHold* find(const MirelObjectBase* pObject, std::thread::id thread) {
        if (m_nCount.load(std::memory_order_acquire) == 0) {
            return nullptr;
        }
        std::lock_guard<std::mutex> guard(m_mutex);
        for (MirelReleaseHold* pHold : m_holds) {
            if (pHold->object() == pObject && pHold->thread() == thread) {
                return pHold;
            }
        }
        return nullptr;
    }

private:
    std::mutex m_mutex;  // guards m_holds
    std::vector<MirelReleaseHold*> m_holds;
    std::atomic<std::size_t> m_nCount{0};
};

}  // namespace

MirelReleaseHold::MirelReleaseHold(MirelObjectBase& object)
    : m_pObject(&object), m_thread(std::this_thread::get_id()), m_bReleased(false) {
    Holds::instance().add(this);
}

MirelReleaseHold::~MirelReleaseHold() {
    Holds::instance().remove(this);
}

bool MirelReleaseHold::claim(const MirelObjectBase* pObject) {
    MirelReleaseHold* pHold = Holds::instance().find(pObject, std::this_thread::get_id());
    if (pHold == nullptr) {
        return false;
    }
    pHold->m_bReleased = true;
    return true;
}

}  // namespace MirelSupport
