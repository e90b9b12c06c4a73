/// \class MirelSupport::MirelDependent
/// A dependent: the receiving end of a subject's notifications.
#ifndef MIREL_DEPENDENT_HPP
#define MIREL_DEPENDENT_HPP

#include "MirelCollaborator.hpp"

namespace MirelSupport {

class MSUPT_API MirelDependent {
public:
    MirelDependent();
    virtual ~MirelDependent();

    /// Called with the subject and the notification; does nothing in this base.
    virtual void handleNotification(MirelCollaborator& subject,
                                    const MirelNotification& notification);
};

}  // namespace MirelSupport

#endif
