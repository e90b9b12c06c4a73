/// \class MirelSupport::MirelCollaborator
/// Something that can be told about a notification.
#ifndef MIREL_COLLABORATOR_HPP
#define MIREL_COLLABORATOR_HPP

#include "MirelNotification.hpp"

namespace MirelSupport {

class MSUPT_API MirelCollaborator {
public:
    MirelCollaborator();
    virtual ~MirelCollaborator();

    /// Does nothing in this base.
    virtual void notify(const MirelNotification& notification);
};

}  // namespace MirelSupport

#endif
