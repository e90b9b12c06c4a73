#include "MirelNotificationCallback.hpp"

namespace MirelNet {

MirelNotificationCallback::MirelNotificationCallback(int nId) : m_nId(nId) {}

MirelNotificationCallback::~MirelNotificationCallback() {}

int MirelNotificationCallback::getId() {
    return m_nId;
}

void MirelNotificationCallback::callback(MirelSmartPointer<MirelConnection>& spConnection) {
    doCallback(spConnection);
    set();
}

}  // namespace MirelNet
