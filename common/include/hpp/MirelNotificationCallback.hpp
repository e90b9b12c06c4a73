/// \class MirelNet::MirelNotificationCallback
/// Base of every callback object that a notification sink delivers to.
///
/// The application derives from it, supplies doCallback and registers the object under its id
/// in the sink's callback container. The object is itself a manual-reset event, set after each
/// completed delivery, so an application thread can wait for a notification. Reference counted
/// through its MirelObjectBase part (the second base): hold it in
/// MirelSmartPointer<MirelNotificationCallback>. Never copied.
/// Threads: the sink's thread runs callback/doCallback; any thread may wait on or reset the event.
#ifndef MIREL_NOTIFICATION_CALLBACK_HPP
#define MIREL_NOTIFICATION_CALLBACK_HPP

#include "MirelConnection.hpp"
#include "MirelEvent.hpp"
#include "MirelObjectBase.hpp"
#include "MirelSmartPointer.hpp"
#include "MnetExport.hpp"

namespace MirelNet {

class MNET_API MirelNotificationCallback : public MirelSupport::MirelEvent,
                                           public MirelSupport::MirelObjectBase {
public:
    /// A callback to be registered under the handle nId; the event starts not set.
    explicit MirelNotificationCallback(int nId);
    virtual ~MirelNotificationCallback();

    /// The handle this callback is registered under.
    int getId();

    /// Runs doCallback on spConnection (positioned just after the callback handle), then sets
    /// the event. An exception from doCallback passes through and leaves the event untouched.
    virtual void callback(MirelSmartPointer<MirelConnection>& spConnection);

protected:
    /// Reads the notification's content, exactly the values the sender wrote, in order.
    virtual void doCallback(MirelSmartPointer<MirelConnection>& spConnection) = 0;

private:
    MirelNotificationCallback();
    MirelNotificationCallback(const MirelNotificationCallback&);
    MirelNotificationCallback& operator=(const MirelNotificationCallback&);

    int m_nId;
};

}  // namespace MirelNet

extern template class MNET_API MirelSupport::MirelSmartPointer<MirelNet::MirelNotificationCallback>;

#endif
