// Notification round trip: a callback sink receives, a proxy dependent sends.
//
// In a real system the two halves live in different processes. The receiving process creates
// a MirelLibraryCallbackSink, registers a callback under a fresh id, and hands the sink's
// callback address and that id to the sending process through its own channel. The sending
// process wraps both in a MirelProxyDependent and calls remoteNotify whenever it has news.
// Here both halves run in one process so that the example needs nothing else.
//
// The sink's transport comes from QVINTF_CALLB_CONN_TYPE: pipe (the default; needs the
// shared-service directory), socket (TCP) or udp. This example picks socket unless the
// variable is already set.
#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "MirelLibraryCallbackSink.hpp"
#include "MirelProxyDependent.hpp"

using MirelNet::MirelCallbackContainer;
using MirelNet::MirelConnection;
using MirelNet::MirelLibraryCallbackSink;
using MirelNet::MirelNotificationCallback;
using MirelNet::MirelProxyDependent;
using MirelSupport::MirelException;
using MirelSupport::MirelNotification;
using MirelSupport::MirelSmartPointer;
using MirelSupport::MirelString;

// What the application does with a notification. The sink's thread calls doCallback with the
// connection positioned just after the handle; it must read exactly what the sender wrote,
// here the default content: the notification's id as one long. When doCallback returns, the
// library sets the callback's event, which wakes whoever waits on it.
class IdCallback : public MirelNotificationCallback {
public:
    explicit IdCallback(int nHandle) : MirelNotificationCallback(nHandle), m_nLastId(-1) {}

    long lastId() const { return m_nLastId; }

protected:
    void doCallback(MirelSmartPointer<MirelConnection>& spConnection) override {
        m_nLastId = spConnection->receiveLong();
    }

private:
    std::atomic<long> m_nLastId;
};

int main() {
    // The sink reads the variable while its constructor runs.
    ::setenv("QVINTF_CALLB_CONN_TYPE", "socket", 0);
    try {
        // Receiving side. The constructor returns once the sink listens; it throws a
        // MirelException when it cannot (for a pipe sink: a missing shared-service directory).
        MirelSmartPointer<MirelLibraryCallbackSink> spSink(new MirelLibraryCallbackSink("example"));
        MirelCallbackContainer& callbacks = spSink->getCallbackContainer();
        int nHandle = callbacks.getNewId();
        MirelSmartPointer<IdCallback> spCallback(new IdCallback(nHandle));
        callbacks.add(MirelSmartPointer<MirelNotificationCallback>(spCallback));
        MirelString sAddress = spSink->getCallbackAddress();
        std::printf("sink at %s, callback handle %d\n", sAddress.c_str(), nHandle);

        // Sending side: the address and the handle are all it needs. Each remoteNotify opens
        // one connection (or sends one datagram), writes the handle and the id, and closes.
        MirelSmartPointer<MirelProxyDependent> spProxy(new MirelProxyDependent(sAddress, nHandle));
        for (long nId = 1; nId <= 3; ++nId) {
            spCallback->reset();
            spProxy->remoteNotify(MirelNotification(nId));
            if (!spCallback->wait(5000)) {
                std::fprintf(stderr, "notification %ld was not delivered within 5 s\n", nId);
                return 1;
            }
            std::printf("notification %ld delivered\n", spCallback->lastId());
            if (spCallback->lastId() != nId) {
                return 1;
            }
        }
        // Releasing the sink stops its thread and closes its server; the callbacks go with it.
    } catch (const MirelException& e) {
        std::fprintf(stderr, "failed: %s (code %d)\n", e.getText().c_str(), e.getCode());
        return 1;
    }
    return 0;
}
