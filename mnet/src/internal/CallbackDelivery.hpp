// Internal: what a sink does with one incoming callback message. Not installed.
#ifndef MNET_INTERNAL_CALLBACK_DELIVERY_HPP
#define MNET_INTERNAL_CALLBACK_DELIVERY_HPP

#include "MirelCallbackContainer.hpp"
#include "MirelConnection.hpp"

namespace MirelNet {
namespace detail {

// Reads the handle (a long) from spClient and, holding the container's lock, invokes the
// callback registered under it, which reads the rest. Whatever the message or the callback
// does, nothing escapes: a failure is logged at level 1 with its text. True when a callback
// ran to its end.
bool deliverCallbackMessage(MirelCallbackContainer& container, MirelSmartPointer<MirelConnection>& spClient);

}  // namespace detail
}  // namespace MirelNet

#endif
