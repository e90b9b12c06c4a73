#include "MirelObjectBase.hpp"

#include <cxxabi.h>

#include <cstdlib>
#include <typeinfo>

#include "MirelReleaseHold.hpp"

namespace MirelSupport {

MirelObjectBase::MirelObjectBase() : m_nRefCount(0) {}

MirelObjectBase::~MirelObjectBase() {}

void MirelObjectBase::addRef() {
    m_nRefCount.fetch_add(1, std::memory_order_relaxed);
}

void MirelObjectBase::release() {
    // acq_rel: the deleting thread must see every write made through other references.
    if (m_nRefCount.fetch_sub(1, std::memory_order_acq_rel) == 1 &&
        !MirelReleaseHold::claim(this)) {
        delete this;
    }
}

int MirelObjectBase::refCount() const {
    return m_nRefCount.load(std::memory_order_relaxed);
}

bool MirelObjectBase::isA(const MirelString& sName) const {
    return getClassName() == sName;
}

MirelString MirelObjectBase::getClassName() const {
    return normalizeClassName(typeid(*this).name());
}

MirelString MirelObjectBase::normalizeClassName(const MirelString& sTypeName) {
    int nStatus = 0;
    char* pszDemangled = abi::__cxa_demangle(sTypeName.c_str(), 0, 0, &nStatus);
    MirelString sName = (nStatus == 0 && pszDemangled) ? MirelString(pszDemangled) : sTypeName;
    std::free(pszDemangled);
    // Drop namespaces, but only outside template arguments.
    int nDepth = 0;
    std::size_t nStart = 0;
    for (std::size_t i = 0; i < sName.size(); ++i) {
        char c = sName[i];
        if (c == '<') {
            ++nDepth;
        } else if (c == '>') {
            --nDepth;
        } else if (nDepth == 0 && c == ':' && i + 1 < sName.size() && sName[i + 1] == ':') {
            nStart = i + 2;
            ++i;
        }
    }
    return sName.substr(nStart);
}

}  // namespace MirelSupport
