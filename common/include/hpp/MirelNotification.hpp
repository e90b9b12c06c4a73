/// \class MirelSupport::MirelNotification
/// A notification: what a subject tells its dependents. It carries an id, which the remote
/// dependents of the suite send as a long. A value object; not shared between threads.
#ifndef MIREL_NOTIFICATION_HPP
#define MIREL_NOTIFICATION_HPP

#include "MsuptExport.hpp"

namespace MirelSupport {

class MSUPT_API MirelNotification {
public:
    MirelNotification();
    /// A notification with the id nId.
    explicit MirelNotification(long nId);
    /// Copies the id.
    MirelNotification(const MirelNotification& source);
    /// Copies the id.
    MirelNotification& operator=(const MirelNotification& source);
    virtual ~MirelNotification();

    /// The id, which remote dependents send as the default content.
    long getId() const;

private:
    long m_nId;
};

}  // namespace MirelSupport

#endif
