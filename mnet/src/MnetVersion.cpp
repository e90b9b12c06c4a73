#include "MnetVersion.hpp"

namespace MirelNet {

const char* getLibraryVersion() {
    return MNET_VERSION_STRING;
}

}  // namespace MirelNet
