#include "MirelDependent.hpp"

namespace MirelSupport {

MirelDependent::MirelDependent() {}

MirelDependent::~MirelDependent() {}

void MirelDependent::handleNotification(MirelCollaborator&, const MirelNotification&) {}

}  // namespace MirelSupport
