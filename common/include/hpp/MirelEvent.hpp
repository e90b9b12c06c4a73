/// \class MirelSupport::MirelEvent
/// A manual-reset event: once set it stays set, waking every waiter, until reset.
///
/// Starts not set. Any thread may set, reset or wait.
#ifndef MIREL_EVENT_HPP
#define MIREL_EVENT_HPP

#include <condition_variable>
#include <mutex>

#include "MirelNotification.hpp"

namespace MirelSupport {

class MSUPT_API MirelEvent {
public:
    MirelEvent();
    virtual ~MirelEvent();

    /// Sets the event and wakes every waiter.
    virtual void set();
    /// Clears the event; later waits block until the next set.
    virtual void reset();
    /// True when the event is (or becomes) set within nTimeoutMs milliseconds; a negative
    /// time-out waits for ever.
    virtual bool wait(int nTimeoutMs);
    /// An opaque handle naming this event (its address); valid as long as the event.
    virtual void* getHandle();
    /// A new notification (id 0) for the caller, to be given back with destroyNotification.
    virtual MirelNotification* createNotification();
    /// Deletes a notification made by createNotification; null is ignored.
    virtual void destroyNotification(MirelNotification* pNotification);

    /// True when set, without waiting.
    bool isSet();

private:
    MirelEvent(const MirelEvent&);
    MirelEvent& operator=(const MirelEvent&);

    std::mutex m_mutex;  ///< guards m_bSet
    std::condition_variable m_condition;
    bool m_bSet;
};

}  // namespace MirelSupport

#endif
