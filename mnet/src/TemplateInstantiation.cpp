// The smart-pointer instantiations that the library exports, so that client code links
// against one copy of them. Each header declares its own as extern.
#include "MirelConnection.hpp"
#include "MirelIPCServer.hpp"
#include "MirelNotificationCallback.hpp"
#include "MirelProxyDependent.hpp"

template class MirelSupport::MirelSmartPointer<MirelNet::MirelConnection>;
template class MirelSupport::MirelSmartPointer<MirelNet::MirelIPCServer>;
template class MirelSupport::MirelSmartPointer<MirelNet::MirelNotificationCallback>;
template class MirelSupport::MirelSmartPointer<MirelNet::MirelProxyDependent>;
