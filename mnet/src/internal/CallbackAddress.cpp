#include "internal/CallbackAddress.hpp"

#include <cctype>
#include <climits>

namespace MirelNet {
namespace detail {

namespace {

bool startsWith(const MirelSupport::MirelString& s, const char* pszPrefix, std::size_t nLength) {
    return s.compare(0, nLength, pszPrefix, nLength) == 0;
}

// The endpoint part from nStart; empty when the name ends before it.
MirelSupport::MirelString endpointPart(const MirelSupport::MirelString& s, std::size_t nStart) {
    return s.size() > nStart ? s.substr(nStart) : MirelSupport::MirelString();
}

int readPort(const MirelSupport::MirelString& sText) {
    std::size_t i = 0;
    while (i < sText.size() && std::isspace(static_cast<unsigned char>(sText[i]))) {
        ++i;
    }
    bool bNegative = false;
    if (i < sText.size() && (sText[i] == '+' || sText[i] == '-')) {
        bNegative = sText[i] == '-';
        ++i;
    }
    long long nValue = 0;
    for (; i < sText.size() && std::isdigit(static_cast<unsigned char>(sText[i])); ++i) {
        if (nValue <= INT_MAX) {
            nValue = nValue * 10 + (sText[i] - '0');
        }
    }
    if (bNegative) {
        nValue = -nValue;
    }
    return nValue > INT_MAX ? INT_MAX : (nValue < INT_MIN ? INT_MIN : static_cast<int>(nValue));
}

CallbackAddress hostForm(CallbackAddress::Kind kind, const MirelSupport::MirelString& sEndpoint) {
    CallbackAddress address;
    address.kind = CallbackAddress::NONE;
    address.nPort = 0;
    // An IPv6 host stands in brackets, so that its own colons are not taken for the port's.
    std::size_t nHostEnd = 0;
    if (!sEndpoint.empty() && sEndpoint[0] == '[') {
        nHostEnd = sEndpoint.find(']');
        if (nHostEnd == MirelSupport::MirelString::npos) {
            return address;
        }
        ++nHostEnd;
    }
    std::size_t nColon = sEndpoint.find(':', nHostEnd);
    if (nColon == MirelSupport::MirelString::npos) {
        return address;
    }
    MirelSupport::MirelString sPort = sEndpoint.substr(nColon + 1);
    // An unbracketed IPv6 host ("::1:5023") leaves colons in what would be the port.
    if (sPort.find(':') != MirelSupport::MirelString::npos ||
        (nHostEnd > 0 && nColon != nHostEnd)) {
        return address;
    }
    address.kind = kind;
    address.sHost = nHostEnd > 0 ? sEndpoint.substr(1, nHostEnd - 2) : sEndpoint.substr(0, nColon);
    address.nPort = readPort(sPort);
    return address;
}

}  // namespace

CallbackAddress parseCallbackAddress(const MirelSupport::MirelString& sAddress) {
    if (startsWith(sAddress, "udp", 3)) {
        return hostForm(CallbackAddress::UDP, endpointPart(sAddress, 4));
    }
    if (startsWith(sAddress, "pipe", 4)) {
        CallbackAddress address;
        address.kind = CallbackAddress::PIPE;
        address.sHost = endpointPart(sAddress, 5);
        address.nPort = 0;
        return address;
    }
    if (startsWith(sAddress, "socket", 6)) {
        return hostForm(CallbackAddress::SOCKET, endpointPart(sAddress, 7));
    }
    if (startsWith(sAddress, "ssl", 3)) {
        return hostForm(CallbackAddress::SSL, endpointPart(sAddress, 4));
    }
    CallbackAddress none;
    none.kind = CallbackAddress::NONE;
    none.nPort = 0;
    return none;
}

}  // namespace detail
}  // namespace MirelNet
