#include "MirelProxyDependentContainer.hpp"

#include <cstring>
#include <iterator>
#include <mutex>

namespace {

// Guards the creation and destruction of the one registry (m_pThis). Constant-initialised
// and trivially destructible, so it is usable from static constructors and the unload.
std::mutex g_instanceLock;

}  // namespace

MirelProxyDependentIdentifier::MirelProxyDependentIdentifier() : m_hDependent(0) {}

MirelProxyDependentIdentifier::MirelProxyDependentIdentifier(
    const MirelSupport::MirelString& sRemoteName, long hDependent)
    : m_sRemoteName(sRemoteName), m_hDependent(hDependent) {}

MirelProxyDependentIdentifier::MirelProxyDependentIdentifier(
    const MirelProxyDependentIdentifier& source)
    : m_sRemoteName(source.m_sRemoteName), m_hDependent(source.m_hDependent) {}

MirelProxyDependentIdentifier& MirelProxyDependentIdentifier::operator=(
    const MirelProxyDependentIdentifier& source) {
    if (&source != this) {
        m_sRemoteName = source.m_sRemoteName;
        m_hDependent = source.m_hDependent;
    }
    return *this;
}

MirelProxyDependentIdentifier::~MirelProxyDependentIdentifier() {}

bool operator<(const MirelProxyDependentIdentifier& left,
               const MirelProxyDependentIdentifier& right) {
    const MirelSupport::MirelString& sLeft = left.m_sRemoteName;
    const MirelSupport::MirelString& sRight = right.m_sRemoteName;
    std::size_t nCommon = sLeft.size() < sRight.size() ? sLeft.size() : sRight.size();
    // memcmp compares as unsigned char, which is the order the keys are defined in whatever
    // the signedness of char.
    int nOrder = nCommon == 0 ? 0 : std::memcmp(sLeft.data(), sRight.data(), nCommon);
    if (nOrder != 0) {
        return nOrder < 0;
    }
    if (sLeft.size() != sRight.size()) {
        return sLeft.size() < sRight.size();
    }
    return left.m_hDependent < right.m_hDependent;
}

namespace MirelNet {

MirelProxyDependentContainer* MirelProxyDependentContainer::m_pThis = 0;

MirelProxyDependentContainer::MirelProxyDependentContainer() {}

MirelProxyDependentContainer::~MirelProxyDependentContainer() {}

MirelProxyDependentContainer& MirelProxyDependentContainer::getInstance() {
    std::lock_guard<std::mutex> guard(g_instanceLock);
    if (m_pThis == 0) {
        m_pThis = new MirelProxyDependentContainer();
    }
    return *m_pThis;
}

void MirelProxyDependentContainer::deleteInstance() {
    MirelProxyDependentContainer* pInstance = 0;
    {
        std::lock_guard<std::mutex> guard(g_instanceLock);
        pInstance = m_pThis;
        m_pThis = 0;
    }
    // Outside the creation lock: the proxies released here may run code that asks for the
    // registry again.
    delete pInstance;
}

MirelCriticalSectionObject& MirelProxyDependentContainer::getlock() {
    return m_lock;
}

void MirelProxyDependentContainer::add(MirelSmartPointer<MirelProxyDependent> spDependent) {
    if (!spDependent) {
        return;
    }
    // The long handle the proxy was made with: lookup and remove take it whole.
    MirelProxyDependentIdentifier key(spDependent->getRemoteName(),
                                      spDependent->getDependentHandleLong());
    MirelSupport::MirelCriticalSection guard(m_lock, true);
    m_proxyDependentMap[key] = spDependent;
}

MirelSmartPointer<MirelProxyDependent> MirelProxyDependentContainer::lookup(
    const MirelString& sRemoteName, long hDependent) {
    MirelSupport::MirelCriticalSection guard(m_lock, true);
    ProxyMap::iterator it =
        m_proxyDependentMap.find(MirelProxyDependentIdentifier(sRemoteName, hDependent));
    if (it == m_proxyDependentMap.end()) {
        return MirelSmartPointer<MirelProxyDependent>();
    }
    return it->second;
}

void MirelProxyDependentContainer::remove(const MirelString& sRemoteName, long hDependent) {
    MirelSupport::MirelCriticalSection guard(m_lock, true);
    m_proxyDependentMap.erase(MirelProxyDependentIdentifier(sRemoteName, hDependent));
}

void MirelProxyDependentContainer::remove(int i_nIndex) {
    MirelSupport::MirelCriticalSection guard(m_lock, true);
    ProxyMap::iterator it;
    if (findPosition(i_nIndex, &it)) {
        m_proxyDependentMap.erase(it);
    }
}

MirelSmartPointer<MirelProxyDependent> MirelProxyDependentContainer::operator[](int i_nIndex) {
    MirelSupport::MirelCriticalSection guard(m_lock, true);
    ProxyMap::iterator it;
    if (!findPosition(i_nIndex, &it)) {
        return MirelSmartPointer<MirelProxyDependent>();
    }
    return it->second;
}

int MirelProxyDependentContainer::size() {
    MirelSupport::MirelCriticalSection guard(m_lock, true);
    return static_cast<int>(m_proxyDependentMap.size());
}

bool MirelProxyDependentContainer::findPosition(int i_nIndex, ProxyMap::iterator* pPosition) {
    if (i_nIndex < 0 || static_cast<ProxyMap::size_type>(i_nIndex) >= m_proxyDependentMap.size()) {
        return false;
    }
    *pPosition = std::next(m_proxyDependentMap.begin(), i_nIndex);
    return true;
}

}  // namespace MirelNet
