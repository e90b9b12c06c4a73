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
// ran to its end. On a stream connection a silent sender cannot hold the sink for more than a
// few seconds, and what nobody read is drained before the sink lets the connection go, so the
// sender's own writes never fail because of it.

// The descriptor of a pipe or TCP connection; -1 for any other kind or when it has none.
int streamDescriptor(MirelConnection& connection);

bool deliverCallbackMessage(MirelCallbackContainer& container,
                            MirelSmartPointer<MirelConnection>& spClient);

}  // namespace detail
}  // namespace MirelNet

#endif
