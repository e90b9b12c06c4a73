#include "MirelReleaseHold.hpp"

namespace MirelSupport {

namespace {

// The innermost hold of this thread. A pointer, so that the variable needs no destructor; read
// only by a release that takes a count to zero.
__thread MirelReleaseHold* t_pInnermost = nullptr;

}  // namespace

MirelReleaseHold::MirelReleaseHold(MirelObjectBase& object)
    : m_pObject(&object), m_bReleased(false), m_pPrevious(t_pInnermost) {
    t_pInnermost = this;
}

MirelReleaseHold::~MirelReleaseHold() {
    t_pInnermost = m_pPrevious;
}

bool MirelReleaseHold::claim(const MirelObjectBase* pObject) {
    for (MirelReleaseHold* pHold = t_pInnermost; pHold != nullptr; pHold = pHold->m_pPrevious) {
        if (pHold->m_pObject == pObject) {
            pHold->m_bReleased = true;
            return true;
        }
    }
    return false;
}

}  // namespace MirelSupport
