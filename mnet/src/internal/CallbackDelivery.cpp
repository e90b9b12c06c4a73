#include "internal/CallbackDelivery.hpp"

#include <cstdio>
#include <exception>

#include "MirelLogging.hpp"

namespace MirelNet {
namespace detail {

using MirelSupport::endrecord;
using MirelSupport::MirelString;

Delivery deliverCallbackMessage(MirelCallbackContainer& container,
                                MirelSmartPointer<MirelConnection>& spClient,
                                MirelString* psFailure) {
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
            return NO_CALLBACK;
        }
        MIREL_LOG(9) << "MirelLibraryCallbackSink::run: found callback... invoking" << endrecord;
        spCallback->callback(spClient);
        MIREL_LOG(9) << "MirelLibraryCallbackSink::run: callback returned" << endrecord;
        return DELIVERED;
    } catch (const MirelException& e) {
        char szCode[32];
        std::snprintf(szCode, sizeof szCode, " (code %d)", e.getCode());
        *psFailure = e.getText() + szCode;
    } catch (const std::exception& e) {
        *psFailure = e.what();
    } catch (...) {
        *psFailure = "unknown exception";
    }
    return FAILED;
}

}  // namespace detail
}  // namespace MirelNet
