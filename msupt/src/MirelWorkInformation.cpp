#include "MirelWorkInformation.hpp"

namespace MirelSupport {

MirelWorkInformation::MirelWorkInformation() {}

MirelWorkInformation::~MirelWorkInformation() {}

}  // namespace MirelSupport
