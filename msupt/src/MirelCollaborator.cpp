#include "MirelCollaborator.hpp"

namespace MirelSupport {

MirelCollaborator::MirelCollaborator() {}

MirelCollaborator::~MirelCollaborator() {}

void MirelCollaborator::notify(const MirelNotification&) {}

}  // namespace MirelSupport
