#include "internal/CallbackDelivery.hpp"

#include <exception>

#include "MirelLogging.hpp"
#include "MirelPipeConnection.hpp"
#include "MirelSocketConnection.hpp"
#include "internal/StreamIo.hpp"

namespace MirelNet {
namespace detail {

using MirelSupport::endrecord;

namespace {

// A sender has this long for each part of its message.
const int kReceiveTimeoutMs = 5000;
// What a sender wrote beyond what was read is dropped for at most this long after its last
// byte, and at most this much.
const int kDrainTimeoutMs = 50;
const long kDrainLimit = 65536;

// Bounds the sink's reads of a stream connection and, once the message is handled, drains
// what is left unless a callback kept the connection for later.
class StreamGuard {
public:
    explicit StreamGuard(MirelSmartPointer<MirelConnection>& spClient)
        : m_spClient(spClient), m_nFd(streamDescriptor(*spClient)) {
        if (m_nFd >= 0) {
            setReceiveTimeout(m_nFd, kReceiveTimeoutMs);
        }
    }
    ~StreamGuard() {
        if (m_nFd < 0 || streamDescriptor(*m_spClient) != m_nFd) {
            return;
        }
        if (m_spClient->refCount() == 1) {
            drainUntilClosed(m_nFd, kDrainTimeoutMs, kDrainLimit);
        } else {
            setReceiveTimeout(m_nFd, 0);  // a callback keeps it: its own reads are not bounded
        }
    }

private:
    StreamGuard(const StreamGuard&);
    StreamGuard& operator=(const StreamGuard&);
    MirelSmartPointer<MirelConnection>& m_spClient;
    int m_nFd;
};

}  // namespace

int streamDescriptor(MirelConnection& connection) {
    if (MirelSocketConnection* pSocket = dynamic_cast<MirelSocketConnection*>(&connection)) {
        return cellFd(pSocket->getSocket());
    }
    if (MirelPipeConnection* pPipe = dynamic_cast<MirelPipeConnection*>(&connection)) {
        return cellFd(pPipe->getPipeHandle());
    }
    return -1;
}

bool deliverCallbackMessage(MirelCallbackContainer& container,
                            MirelSmartPointer<MirelConnection>& spClient) {
    StreamGuard guard(spClient);
    // Whatever one sender does, its failure stays with its message.
    try {
        long hCallback = spClient->receiveLong();
        MIREL_LOG(9) << "MirelLibraryCallbackSink::run: hCallback=" << hCallback << endrecord;
        MirelSupport::MirelCriticalSection lock(container.mutex(), true);
        MirelSmartPointer<MirelNotificationCallback> spCallback =
            container.lookup(static_cast<int>(hCallback));
        if (!spCallback) {
            MIREL_LOG(9)
                << "MirelLibraryCallbackSink::run: unable to find callback... ignoring notification"
                << endrecord;
            return false;
        }
        MIREL_LOG(9) << "MirelLibraryCallbackSink::run: found callback... invoking" << endrecord;
        spCallback->callback(spClient);
        MIREL_LOG(9) << "MirelLibraryCallbackSink::run: callback returned" << endrecord;
        return true;
    } catch (const MirelException& e) {
        MIREL_LOG(1) << "MirelLibraryCallbackSink::run: notification failed: " << e.getText()
                     << " (code " << e.getCode() << ")" << endrecord;
    } catch (const std::exception& e) {
        MIREL_LOG(1) << "MirelLibraryCallbackSink::run: notification failed: " << e.what()
                     << endrecord;
    } catch (...) {
        MIREL_LOG(1) << "MirelLibraryCallbackSink::run: notification failed: unknown exception"
                     << endrecord;
    }
    return false;
}

}  // namespace detail
}  // namespace MirelNet
