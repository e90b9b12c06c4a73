// Inline part of MirelConnection: the establish step that wraps every typed operation.
#ifndef MIREL_CONNECTION_INL
#define MIREL_CONNECTION_INL

namespace MirelNet {

inline void MirelConnection::establish() {
    MirelString sMessage;
    int nCode = establishImpl(sMessage);
    if (nCode != 0 || !sMessage.empty()) {
        throw MirelException(sMessage, nCode);
    }
}

inline void MirelConnection::connectToService() {
    if (!connectToServiceImpl()) {
        throw MirelException(
            MirelString("MirelConnection::connectToService: connection to remote service failed."),
            0);
    }
}

}  // namespace MirelNet

#endif
