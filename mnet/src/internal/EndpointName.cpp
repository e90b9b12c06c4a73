#include "internal/EndpointName.hpp"

namespace MirelNet {
namespace detail {

bool isSafeEndpointName(const MirelSupport::MirelString& sName) {
    if (!sName.empty() && sName[0] == '/') {
        return false;
    }
    if (sName.find('\0') != MirelSupport::MirelString::npos) {
        return false;
    }
    std::size_t nStart = 0;
    for (;;) {
        std::size_t nEnd = sName.find('/', nStart);
        std::size_t nLength =
            (nEnd == MirelSupport::MirelString::npos ? sName.size() : nEnd) - nStart;
        if (nLength == 2 && sName.compare(nStart, 2, "..") == 0) {
            return false;
        }
        if (nEnd == MirelSupport::MirelString::npos) {
            return true;
        }
        nStart = nEnd + 1;
    }
}

}  // namespace detail
}  // namespace MirelNet
