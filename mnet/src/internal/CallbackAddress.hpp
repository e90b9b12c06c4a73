// Internal: how a sender reads a callback address ("udp:host:port", "pipe:name",
// "socket:host:port", "ssl:host:port"). Not installed.
#ifndef MNET_INTERNAL_CALLBACK_ADDRESS_HPP
#define MNET_INTERNAL_CALLBACK_ADDRESS_HPP

#include "MirelString.hpp"

namespace MirelNet {
namespace detail {

struct CallbackAddress {
    enum Kind { NONE, UDP, PIPE, SOCKET, SSL };
    Kind kind;
    MirelSupport::MirelString sHost;  // the pipe name for PIPE
    int nPort;
};

// Recognises the leading text, tested in the order udp, pipe, socket, ssl; the character
// after it is skipped unread, and a name made of the leading text alone has an empty endpoint
// part. Host forms are HOST:PORT or, for an IPv6 host, [ADDRESS]:PORT (sHost then holds the
// address without its brackets); the port is read like atoi (leading blanks and a sign
// accepted, digits up to the first other character, none gives 0; a value beyond an int is
// clamped). NONE when the leading text is unknown, a host form has no ':', a '[' has no ']'
// followed by ':', or the port holds a ':' (an IPv6 address without brackets). Never throws.
CallbackAddress parseCallbackAddress(const MirelSupport::MirelString& sAddress);

}  // namespace detail
}  // namespace MirelNet

#endif
