#include "MirelProxyDependent.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>

#include "MirelLogging.hpp"
#include "MirelPipeConnection.hpp"
#include "MirelSSLSocketConnection.hpp"
#include "MirelSocketConnection.hpp"
#include "MirelUDPSocketConnection.hpp"
#include "internal/CallbackAddress.hpp"
#include "internal/Datagram.hpp"
#include "internal/StreamIo.hpp"
#include "internal/WriteSpan.hpp"

namespace MirelNet {

using MirelSupport::endrecord;

namespace {

using Clock = std::chrono::steady_clock;

// The default deadline of one notification, and the longest MIREL_NOTIFY_TIMEOUT_MS taken.
const int kDefaultNotifyMs = 5000;
const int kLongestNotifyMs = 600000;

// A whole number of milliseconds from 1 to nLongest, digits only; -1 for anything else.
int parseMs(const char* pszText, int nLongest) {
    std::size_t nLength = std::strlen(pszText);
    if (nLength == 0 || nLength > 9) {
        return -1;
    }
    long nValue = 0;
    for (const char* p = pszText; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') {
            return -1;
        }
        nValue = nValue * 10 + (*p - '0');
    }
    return nValue >= 1 && nValue <= nLongest ? static_cast<int>(nValue) : -1;
}

// The deadline of one notification: MIREL_NOTIFY_TIMEOUT_MS when it is a whole number of
// milliseconds from 1 to kLongestNotifyMs, else kDefaultNotifyMs (a bad value is logged once,
// level 1).
int notifyTimeoutMs() {
    static std::atomic<bool> s_bReported(false);
    const char* pszValue = std::getenv("MIREL_NOTIFY_TIMEOUT_MS");
    if (pszValue == 0) {
        return kDefaultNotifyMs;
    }
    int nMs = parseMs(pszValue, kLongestNotifyMs);
    if (nMs > 0) {
        return nMs;
    }
    if (!s_bReported.exchange(true)) {
        MIREL_LOG(1) << "MirelProxyDependent::remoteNotify: MIREL_NOTIFY_TIMEOUT_MS=\"" << pszValue
                     << "\" is not a number of milliseconds from 1 to " << kLongestNotifyMs
                     << ", using " << kDefaultNotifyMs << MirelSupport::endrecord;
    }
    return kDefaultNotifyMs;
}

// The stream connections of one notification: every call they make, connect included, ends
// by its deadline (110 past it). The deadline lives in the connection's cell, so no other
// connection, on this thread or another, sees it.
class NotifyPipe : public MirelPipeConnection {
public:
    NotifyPipe(const MirelString& sName, Clock::time_point deadline) : MirelPipeConnection(sName) {
        detail::endCellBy(m_pipeHandle, deadline);
    }
};

class NotifySocket : public MirelSocketConnection {
public:
    NotifySocket(const MirelString& sHost, int nPort, Clock::time_point deadline)
        : MirelSocketConnection(sHost, nPort, true, false) {
        detail::endCellBy(m_pClient, deadline);
    }
};

// Sends one callback message to address through a connection made for it alone; write puts
// the message on the connection. Each connection lives for this one message: the smart pointer
// closes it on every way out, exceptions included.
void sendMessage(const detail::CallbackAddress& address, Clock::time_point deadline,
                 const std::function<void(MirelConnection&)>& write) {
    switch (address.kind) {
        case detail::CallbackAddress::UDP: {
            MirelSmartPointer<MirelUDPSocketConnection> spClient(
                new MirelUDPSocketConnection(address.sHost, address.nPort, false));
            write(*spClient);
            // A datagram lost on the way is not reported; one that was never sent is.
            int rc = detail::sendDatagram(address.sHost, address.nPort, false, spClient->buf(),
                                          spClient->size());
            if (rc != 0) {
                throw MirelException(MirelString(detail::kDatagramNotSent), rc);
            }
            break;
        }
        case detail::CallbackAddress::PIPE: {
            MirelSmartPointer<MirelPipeConnection> spClient(
                new NotifyPipe(address.sHost, deadline));
            write(*spClient);
            break;
        }
        case detail::CallbackAddress::SOCKET: {
            MirelSmartPointer<MirelSocketConnection> spClient(
                new NotifySocket(address.sHost, address.nPort, deadline));
            write(*spClient);
            // Returns only once the sink's system holds the whole message (or fails by the
            // deadline): a message that waits in this end's queue could be lost unseen.
            long long nMsLeft =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now())
                    .count();
            if (detail::lingerOnClose(spClient->getSocket(),
                                      static_cast<int>(std::max(0LL, nMsLeft)))) {
                spClient->disconnect();
                if (Clock::now() >= deadline) {
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

}  // namespace

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
    const char* const kHead = "MirelProxyDependent::remoteNotify: ";
    detail::CallbackAddress address = detail::parseCallbackAddress(m_sRemoteName);
    if (address.kind == detail::CallbackAddress::NONE) {
        MIREL_LOG(7) << kHead << "'" << m_sRemoteName << "' is no callback address, nothing sent"
                     << endrecord;
        return;
    }
    MIREL_LOG(7) << kHead << "notifying " << m_sRemoteName << " (handle " << m_hDependent << ")"
                 << endrecord;
    // A sink that does not accept or read must not hold this caller: connecting and sending
    // end by one deadline, past which the connection fails with 110 (ETIMEDOUT).
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(notifyTimeoutMs());
    // One write span holds the handle and whatever addContent writes, so a stream connection
    // carries the whole message with one send.
    auto write = [this, &notification](MirelConnection& client) {
        detail::WriteSpan span(&client);
        client.transfer(m_hDependent);
        addContent(client, notification);
        span.finish();
    };
    try {
        sendMessage(address, deadline, write);
    } catch (const MirelException& e) {
        MIREL_LOG(1) << kHead << m_sRemoteName << " failed: " << e.getText() << " (code "
                     << e.getCode() << ")" << endrecord;
        throw;
    }
    MIREL_LOG(7) << kHead << "sent to " << m_sRemoteName << endrecord;
}

void MirelProxyDependent::addContent(MirelConnection& client,
                                     const MirelNotification& notification) {
    client.transfer(static_cast<long>(notification.getId()));
}

}  // namespace MirelNet
