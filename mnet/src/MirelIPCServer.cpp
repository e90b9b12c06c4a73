#include "MirelIPCServer.hpp"

namespace MirelNet {

MirelIPCServer::MirelIPCServer() {}

// Closes nothing: each concrete server closes itself in its own destructor.
MirelIPCServer::~MirelIPCServer() {}

}  // namespace MirelNet
