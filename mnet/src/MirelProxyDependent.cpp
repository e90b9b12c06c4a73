#include "MirelProxyDependent.hpp"

#include <cerrno>

#include "MirelPipeConnection.hpp"
#include "MirelSSLSocketConnection.hpp"
#include "MirelSocketConnection.hpp"
#include "MirelUDPSocketConnection.hpp"
#include "internal/CallbackAddress.hpp"
#include "internal/ExchangeDeadline.hpp"
#include "internal/StreamIo.hpp"
#include "internal/WriteSpan.hpp"

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

long MirelProxyDependent::getDependentHandleLong() const {
    return m_hDependent;
}

void MirelProxyDependent::remoteNotify(const MirelNotification& notification) {
    detail::CallbackAddress address = detail::parseCallbackAddress(m_sRemoteName);
    // A sink that does not accept or read must not hold this caller: connecting and sending
    // end by one deadline, past which the connection fails with 110 (ETIMEDOUT).
    detail::ExchangeDeadline deadline(detail::ExchangeDeadline::notifyTimeoutMs());
    // One write span holds the handle and whatever addContent writes, so a stream connection
    // carries the whole message with one send.
    auto write = [this, &notification](MirelConnection& client) {
        detail::WriteSpan span(&client);
        client.transfer(m_hDependent);
        addContent(client, notification);
        span.finish();
    };
    // Each connection lives for this one message; the smart pointer closes it on every way
    // out, exceptions included.
    switch (address.kind) {
        case detail::CallbackAddress::UDP: {
            MirelSmartPointer<MirelUDPSocketConnection> spClient(
                new MirelUDPSocketConnection(address.sHost, address.nPort, false));
            write(*spClient);
            spClient->transmit();  // a lost datagram is not reported
            break;
        }
        case detail::CallbackAddress::PIPE: {
            MirelSmartPointer<MirelPipeConnection> spClient(new MirelPipeConnection(address.sHost));
            write(*spClient);
            break;
        }
        case detail::CallbackAddress::SOCKET: {
            MirelSmartPointer<MirelSocketConnection> spClient(
                new MirelSocketConnection(address.sHost, address.nPort, true, false));
            write(*spClient);
            // Returns only once the sink's system holds the whole message (or fails by the
            // deadline): a message that waits in this end's queue could be lost unseen.
            void* pCell = spClient->getSocket();
            if (detail::lingerOnClose(pCell,
                                      detail::ExchangeDeadline::msLeft(detail::cellFd(pCell)))) {
                spClient->disconnect();
                if (deadline.passed()) {
                    throw MirelException(MirelString(detail::kPutFailed), ETIMEDOUT);
                }
            }
            break;
        }
        case detail::CallbackAddress::SSL: {
            MirelSmartPointer<MirelSSLSocketConnection> spClient(
                new MirelSSLSocketConnection(address.sHost, address.nPort, true));
            write(*spClient);
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
