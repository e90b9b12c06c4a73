#include "MirelProxyDependent.hpp"

namespace MirelNet {

MirelProxyDependent::MirelProxyDependent(const MirelString& sRemoteName, long hDependent)
    : m_sRemoteName(sRemoteName), m_hDependent(hDependent) {}

MirelProxyDependent::~MirelProxyDependent() {}

const MirelString& MirelProxyDependent::getRemoteName() const {
    return m_sRemoteName;
}

int MirelProxyDependent::getDependentHandle() const {
    return static_cast<int>(m_hDependent);
}

void MirelProxyDependent::addContent(MirelConnection& client, const MirelNotification& notification) {
    client.transfer(static_cast<long>(notification.getId()));
}

}  // namespace MirelNet
