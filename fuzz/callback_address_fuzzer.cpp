// How a sender reads a callback address: the whole input is the address text (any bytes,
// zero bytes included), given to the parser, whose result is compared with what the text says.
//
// The leading text is tested in the order udp, pipe, socket, ssl; the character after it is
// skipped unread; a name made of the leading text alone, or of it and one more character, has
// an empty endpoint part. A host form (udp, socket, ssl) is HOST:PORT, or [ADDRESS]:PORT for
// an IPv6 host (the host is then what stands between the brackets); its port is read from the
// text after the ':' like atoi (checked against two references of our own: a digit loop with
// clamping, and strtol clamped to an int). The pipe form's name is the whole endpoint part.
// An unknown leading text, or a host form without that ':', with a '[' and no "]:" after it,
// or with a ':' in its port (an IPv6 address without brackets), gives NONE with an empty host
// and the port 0. The parser must never throw.
//
// Nothing is sent anywhere: the parsed address is only compared.
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "internal/CallbackAddress.hpp"

namespace {

using MirelNet::detail::CallbackAddress;
using MirelNet::detail::parseCallbackAddress;
using MirelSupport::MirelString;

void require(bool bHolds, const char* pszWhat) {
    if (!bHolds) {
        std::fprintf(stderr, "callback_address_fuzzer: %s\n", pszWhat);
        std::abort();
    }
}

bool isBlank(unsigned char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// atoi with clamping, by a digit loop that stops counting once the value is out of range.
int portByLoop(const std::string& sText) {
    std::size_t i = 0;
    while (i < sText.size() && isBlank(static_cast<unsigned char>(sText[i]))) {
        ++i;
    }
    int nSign = 1;
    if (i < sText.size() && (sText[i] == '-' || sText[i] == '+')) {
        nSign = sText[i] == '-' ? -1 : 1;
        ++i;
    }
    // Capped just above what an int can hold: enough to clamp.
    const std::int64_t nCap = std::int64_t(1) << 32;
    std::int64_t nMagnitude = 0;
    for (; i < sText.size() && sText[i] >= '0' && sText[i] <= '9'; ++i) {
        nMagnitude = nMagnitude * 10 + (sText[i] - '0');
        if (nMagnitude > nCap) {
            nMagnitude = nCap;
        }
    }
    std::int64_t nValue = nSign * nMagnitude;
    if (nValue > INT_MAX) {
        return INT_MAX;
    }
    if (nValue < INT_MIN) {
        return INT_MIN;
    }
    return static_cast<int>(nValue);
}

// The same through strtol on the text up to its first zero byte (a zero byte ends the digits
// anyway), clamped to an int.
int portByStrtol(const std::string& sText) {
    std::string sCut(sText.c_str());
    long nValue = std::strtol(sCut.c_str(), 0, 10);
    if (nValue > INT_MAX) {
        return INT_MAX;
    }
    if (nValue < INT_MIN) {
        return INT_MIN;
    }
    return static_cast<int>(nValue);
}

struct Form {
    const char* pszLead;
    CallbackAddress::Kind kind;
};

const Form kForms[] = {
    {"udp", CallbackAddress::UDP},
    {"pipe", CallbackAddress::PIPE},
    {"socket", CallbackAddress::SOCKET},
    {"ssl", CallbackAddress::SSL},
};

void requireNone(const CallbackAddress& address) {
    require(address.kind == CallbackAddress::NONE, "an address that names nothing was recognised");
    require(address.sHost.empty(), "an address that names nothing has a host");
    require(address.nPort == 0, "an address that names nothing has a port");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t nSize) {
    std::string sText(reinterpret_cast<const char*>(pData), nSize);
    CallbackAddress address;
    try {
        address = parseCallbackAddress(sText);
    } catch (...) {
        require(false, "the parser threw");
    }

    const Form* pForm = 0;
    for (const Form& form : kForms) {
        std::string sLead(form.pszLead);
        if (sText.compare(0, sLead.size(), sLead) == 0) {
            pForm = &form;
            break;
        }
    }
    if (pForm == 0) {
        requireNone(address);
        return 0;
    }

    // The leading text, one character skipped unread, then the endpoint part: empty for the
    // leading text alone or with its separator only, which gives an empty pipe name, or NONE
    // for a host form (no ':').
    std::size_t nStart = std::string(pForm->pszLead).size() + 1;
    std::string sEndpoint = sText.size() > nStart ? sText.substr(nStart) : std::string();

    if (pForm->kind == CallbackAddress::PIPE) {
        require(address.kind == CallbackAddress::PIPE, "a pipe address was not recognised");
        require(address.sHost == sEndpoint, "the pipe name is not the endpoint part");
        require(address.nPort == 0, "a pipe address has a port");
        return 0;
    }

    // Where the host ends: after "]" for a bracketed one, else at the first ':'.
    std::string sHost;
    std::size_t nColon = std::string::npos;
    if (!sEndpoint.empty() && sEndpoint[0] == '[') {
        std::size_t nClose = sEndpoint.find(']');
        if (nClose != std::string::npos && nClose + 1 < sEndpoint.size() &&
            sEndpoint[nClose + 1] == ':') {
            nColon = nClose + 1;
            sHost = sEndpoint.substr(1, nClose - 1);
        }
    } else {
        nColon = sEndpoint.find(':');
        sHost = nColon == std::string::npos ? std::string() : sEndpoint.substr(0, nColon);
    }
    std::string sPort = nColon == std::string::npos ? std::string() : sEndpoint.substr(nColon + 1);
    if (nColon == std::string::npos || sPort.find(':') != std::string::npos) {
        requireNone(address);
        return 0;
    }
    require(address.kind == pForm->kind, "a host address was recognised as the wrong kind");
    require(address.sHost == sHost, "the host is not what the endpoint part says");
    int nExpected = portByLoop(sPort);
    require(nExpected == portByStrtol(sPort), "the two port references disagree");
    require(address.nPort == nExpected, "the port is not read like atoi");
    return 0;
}
