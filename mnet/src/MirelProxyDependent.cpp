#include "MirelProxyDependent.hpp"

#include "MirelPipeConnection.hpp"
#include "MirelSSLSocketConnection.hpp"
#include "MirelSocketConnection.hpp"
#include "MirelUDPSocketConnection.hpp"
#include "internal/CallbackAddress.hpp"
#include "internal/ExchangeDeadline.hpp"

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

void MirelProxyDependent::remoteNotify(const MirelNotification& notification) {
    detail::CallbackAddress address = detail::parseCallbackAddress(m_sRemoteName);
    // A sink that does not accept or read must not hold this caller: connecting and sending
    // end by one deadline, past which the connection fails with 110 (ETIMEDOUT).
    detail::ExchangeDeadline deadline(detail::ExchangeDeadline::notifyTimeoutMs());
    // Each connection lives for this one message; the smart pointer closes it on every way
    // out, exceptions included.
    switch (address.kind) {
        case detail::CallbackAddress::UDP: {
            MirelSmartPointer<MirelUDPSocketConnection> spClient(
                new MirelUDPSocketConnection(address.sHost, address.nPort, false));
            spClient->transfer(m_hDependent);
            addContent(*spClient, notification);
            spClient->transmit();  // a lost datagram is not reported
            break;
        }
        case detail::CallbackAddress::PIPE: {
            MirelSmartPointer<MirelPipeConnection> spClient(new MirelPipeConnection(address.sHost));
            spClient->transfer(m_hDependent);
            addContent(*spClient, notification);
            break;
        }
        case detail::CallbackAddress::SOCKET: {
            MirelSmartPointer<MirelSocketConnection> spClient(
                new MirelSocketConnection(address.sHost, address.nPort, true, false));
            spClient->transfer(m_hDependent);
            addContent(*spClient, notification);
            break;
        }
        case detail::CallbackAddress::SSL: {
            MirelSmartPointer<MirelSSLSocketConnection> spClient(
                new MirelSSLSocketConnection(address.sHost, address.nPort, true));
            spClient->transfer(m_hDependent);
            addContent(*spClient, notification);
            break;
        }
        case detail::CallbackAddress::NONE:
            break;
    }
}

void MirelProxyDependent::addContent(MirelConnection& client,
                                     const MirelNotification& notification) {
    client.transfer(static_cast<long>(notification.getId()));
}

}  // namespace MirelNet
