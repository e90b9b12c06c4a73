/// \class MirelNet::MirelProxyDependentContainer
/// The process-wide registry of proxy dependents, keyed by (remote callback address, handle).
///
/// Each entry owns one reference to its proxy; lookup and operator[] return a new reference,
/// so a proxy stays usable after another thread removed it, until the caller lets it go.
/// Positions run in key order from 0 to size() - 1 and shift when a smaller key comes or goes.
/// Threads: every operation takes the registry's re-entrant lock; hold getlock() with a
/// MirelCriticalSection across size() and a series of operator[] to walk a stable registry.
/// getInstance may be called from any thread; deleteInstance (the module's unload) must not
/// run while another thread still uses the registry.
#ifndef MIREL_PROXY_DEPENDENT_CONTAINER_HPP
#define MIREL_PROXY_DEPENDENT_CONTAINER_HPP

#include <map>

#include "MirelCriticalSection.hpp"
#include "MirelProxyDependent.hpp"
#include "MirelSmartPointer.hpp"
#include "MirelString.hpp"
#include "MnetExport.hpp"

/// The registry's key: a remote callback address and a callback handle. A plain value.
class MNET_API MirelProxyDependentIdentifier {
public:
    /// Empty name, handle 0.
    MirelProxyDependentIdentifier();
    /// The key of the proxy for sRemoteName and hDependent.
    MirelProxyDependentIdentifier(const MirelSupport::MirelString& sRemoteName, long hDependent);
    /// Copies both parts.
    MirelProxyDependentIdentifier(const MirelProxyDependentIdentifier& source);
    /// Copies both parts.
    MirelProxyDependentIdentifier& operator=(const MirelProxyDependentIdentifier& source);
    ~MirelProxyDependentIdentifier();

    MirelSupport::MirelString m_sRemoteName;
    long m_hDependent;
};

/// Orders by name first, bytes compared as unsigned values with a shorter prefix first, then
/// by handle as a signed number. Equivalent exactly when name and handle are equal.
MNET_API bool operator<(const MirelProxyDependentIdentifier& left,
                        const MirelProxyDependentIdentifier& right);

namespace MirelNet {

using MirelSupport::MirelCriticalSectionObject;

class MNET_API MirelProxyDependentContainer {
public:
    /// Creates the registry on the first call (once, also when several threads make it).
    static MirelProxyDependentContainer& getInstance();
    /// Destroys the registry, giving back one reference per proxy; the next getInstance makes
    /// a new, empty one. Does nothing when there is none.
    static void deleteInstance();

    /// The registry's lock, to hold across a walk of size() and operator[].
    MirelCriticalSectionObject& getlock();

    /// Stores spDependent under its own name and its handle as a long (getDependentHandleLong),
    /// replacing (and releasing) a proxy already stored there. An empty pointer is ignored.
    void add(MirelSmartPointer<MirelProxyDependent> spDependent);
    /// A new reference to the proxy stored under the key, or an empty pointer.
    MirelSmartPointer<MirelProxyDependent> lookup(const MirelString& sRemoteName, long hDependent);
    /// An absent key is ignored.
    void remove(const MirelString& sRemoteName, long hDependent);
    /// A position outside 0 to size() - 1 is ignored.
    void remove(int i_nIndex);
    /// A new reference to the proxy at the position; empty outside 0 to size() - 1.
    MirelSmartPointer<MirelProxyDependent> operator[](int i_nIndex);
    /// The number of proxies stored.
    int size();

private:
    MirelProxyDependentContainer();
    ~MirelProxyDependentContainer();
    MirelProxyDependentContainer(const MirelProxyDependentContainer&);
    MirelProxyDependentContainer& operator=(const MirelProxyDependentContainer&);

    typedef std::map<MirelProxyDependentIdentifier, MirelSmartPointer<MirelProxyDependent> >
        ProxyMap;

    /// Fills *pPosition with the entry at i_nIndex; false when there is none. Lock held.
    bool findPosition(int i_nIndex, ProxyMap::iterator* pPosition);

    MirelCriticalSectionObject m_lock;  ///< guards m_proxyDependentMap
    ProxyMap m_proxyDependentMap;
    /// Written under the creation lock of getInstance/deleteInstance only.
    static MirelProxyDependentContainer* m_pThis;
};

}  // namespace MirelNet

#endif
