/// \class MirelNet::MirelCallbackContainer
/// Registry of a sink's notification callbacks by callback id, and the source of fresh ids.
///
/// Each entry holds one reference to its callback; lookup hands out a new reference, which stays
/// valid after the entry is removed. A reference the container gives up (remove, replacement,
/// destruction) is released after its lock is let go, so a callback's destructor never runs
/// under it. Threads: every operation takes the container's lock, which is re-entrant; mutex()
/// lets a caller hold it across several operations (the sink holds it for a whole delivery, and
/// the callback may call back into the container). Embedded by value in its sink; never copied.
#ifndef MIREL_CALLBACK_CONTAINER_HPP
#define MIREL_CALLBACK_CONTAINER_HPP

#include <map>

#include "MirelCriticalSection.hpp"
#include "MirelNotificationCallback.hpp"
#include "MirelSmartPointer.hpp"
#include "MnetExport.hpp"

namespace MirelNet {

class MNET_API MirelCallbackContainer {
public:
    MirelCallbackContainer();
    /// Releases every registered callback; takes no lock, so no other thread may still use it.
    virtual ~MirelCallbackContainer();

    /// 0 on a new container, then 1, 2, ...; never the same id twice. Reserves nothing.
    int getNewId();
    /// A new reference to the callback registered under nId, or an empty pointer.
    MirelSmartPointer<MirelNotificationCallback> lookup(int nId);
    /// Registers spCallback under its own id, replacing (and releasing) any other callback
    /// registered there; the same object again changes nothing. An empty pointer is ignored.
    void add(MirelSmartPointer<MirelNotificationCallback> spCallback);
    /// Drops the entry of nId and its reference; an unknown id is ignored.
    void remove(int nId);
    /// The container's lock; the sink holds it while it looks up and runs a callback.
    MirelSupport::MirelCriticalSectionObject& mutex();

private:
    MirelCallbackContainer(const MirelCallbackContainer&);
    MirelCallbackContainer& operator=(const MirelCallbackContainer&);

    typedef std::map<int, MirelSmartPointer<MirelNotificationCallback> > CallbackMap;

    MirelSupport::MirelCriticalSectionObject m_lock;  ///< guards m_callbackMap and m_nIdCounter
    CallbackMap m_callbackMap;
    int m_nIdCounter;
};

}  // namespace MirelNet

#endif
