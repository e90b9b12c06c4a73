// Inline part of MirelIPCServer: the rule that turns a concrete wait into a result.
#ifndef MIREL_IPC_SERVER_INL
#define MIREL_IPC_SERVER_INL

namespace MirelNet {

inline MirelSmartPointer<MirelConnection> MirelIPCServer::waitForClient(bool bIdentify) {
    MirelString sMessage;
    int nCode = 0;
    MirelSmartPointer<MirelConnection> spConnection = waitForClientImpl(bIdentify, sMessage, nCode);
    if (spConnection || sMessage.empty()) {
        return spConnection;
    }
    throw MirelException(sMessage, nCode);
}

}  // namespace MirelNet

#endif
