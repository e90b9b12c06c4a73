#include "internal/CallbackDelivery.hpp"

#include <exception>

#include "MirelLogging.hpp"

namespace MirelNet {
namespace detail {

using MirelSupport::endrecord;

bool deliverCallbackMessage(MirelCallbackContainer& container, MirelSmartPointer<MirelConnection>& spClient) {
    // Whatever one sender does, its failure stays with its message.
    try {
        long hCallback = spClient->receiveLong();
        MIREL_LOG(9) << "MirelLibraryCallbackSink::run: hCallback=" << hCallback << endrecord;
        MirelSupport::MirelCriticalSection guard(container.mutex(), true);
        MirelSmartPointer<MirelNotificationCallback> spCallback = container.lookup(static_cast<int>(hCallback));
        if (!spCallback) {
            MIREL_LOG(9) << "MirelLibraryCallbackSink::run: unable to find callback... ignoring notification"
                         << endrecord;
            return false;
        }
        MIREL_LOG(9) << "MirelLibraryCallbackSink::run: found callback... invoking" << endrecord;
        spCallback->callback(spClient);
        MIREL_LOG(9) << "MirelLibraryCallbackSink::run: callback returned" << endrecord;
        return true;
    } catch (const MirelException& e) {
        MIREL_LOG(1) << "MirelLibraryCallbackSink::run: notification failed: " << e.getText() << " (code "
                     << e.getCode() << ")" << endrecord;
    } catch (const std::exception& e) {
        MIREL_LOG(1) << "MirelLibraryCallbackSink::run: notification failed: " << e.what() << endrecord;
    } catch (...) {
        MIREL_LOG(1) << "MirelLibraryCallbackSink::run: notification failed: unknown exception" << endrecord;
    }
    return false;
}

}  // namespace detail
}  // namespace MirelNet
