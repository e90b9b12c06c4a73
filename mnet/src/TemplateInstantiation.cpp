// The smart-pointer instantiations that the library exports, so that client code links
// against one copy of them. Each header declares its own as extern.
#include "MirelConnection.hpp"
#include "MirelIPCServer.hpp"
#include "MirelNotificationCallback.hpp"
#include "MirelProxyDependent.hpp"
#include "MirelServerSocket.hpp"
#include "MirelSocketConnection.hpp"
#include "MirelUDPServerSocket.hpp"

template class MirelSupport::MirelSmartPointer<MirelNet::MirelConnection>;
template class MirelSupport::MirelSmartPointer<MirelNet::MirelIPCServer>;
template class MirelSupport::MirelSmartPointer<MirelNet::MirelNotificationCallback>;
template class MirelSupport::MirelSmartPointer<MirelNet::MirelProxyDependent>;
template class MirelSupport::MirelSmartPointer<MirelNet::MirelServerSocket>;
template class MirelSupport::MirelSmartPointer<MirelNet::MirelSocketConnection>;
template class MirelSupport::MirelSmartPointer<MirelNet::MirelUDPServerSocket>;
