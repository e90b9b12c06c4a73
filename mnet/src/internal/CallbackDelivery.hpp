// Internal: the delivery of one whole callback message. Not installed.
//
// The sink hands a message over only once it has all of it: a datagram as it arrives, a
// stream connection once its sender has closed it (or at its deadline), its bytes then in the
// connection's read buffer. Kept apart from the sink's loop so that a fuzz program can drive it
// with any bytes.
#ifndef MNET_INTERNAL_CALLBACK_DELIVERY_HPP
#define MNET_INTERNAL_CALLBACK_DELIVERY_HPP

#include "MirelCallbackContainer.hpp"
#include "MirelConnection.hpp"

namespace MirelNet {
namespace detail {

enum Delivery {
    DELIVERED,    // a callback's doCallback ran to its end
    NO_CALLBACK,  // nothing is registered under the handle: the rest is not read
    FAILED        // no whole handle, or the callback threw: *psFailure says what happened
};

// Reads the handle (a long) from spClient and, holding the container's lock, invokes the
// callback registered under it, which reads the rest. Nothing escapes; the steps are traced at
// level 9 and a failure comes back as its text, for the caller to log.
Delivery deliverCallbackMessage(MirelCallbackContainer& container,
                                MirelSmartPointer<MirelConnection>& spClient,
                                MirelSupport::MirelString* psFailure);

}  // namespace detail
}  // namespace MirelNet

#endif
