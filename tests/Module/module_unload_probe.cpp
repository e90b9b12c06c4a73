// Loaded by module_unload_check with dlopen, so that the checking program itself never links
// libmnet.
#include "MirelLogging.hpp"
#include "MirelProxyDependentContainer.hpp"

using MirelNet::MirelProxyDependent;
using MirelNet::MirelProxyDependentContainer;

namespace {

// Writes a record when it is destroyed. Its code lives in this module, so it may only be
// destroyed while this module is mapped: see mnetProbeFillWithTracedProxies.
class TracedProxy : public MirelProxyDependent {
public:
    explicit TracedProxy(long hDependent) : MirelProxyDependent("pipe:traced", hDependent) {}
    ~TracedProxy() {
        MIREL_LOG(9) << "module_unload_probe: proxy released" << MirelSupport::endrecord;
    }
};

}  // namespace

// Registers nCount plain proxies, whose code is all in libmnet, so the registry may outlive
// this module. Returns the registry's size.
extern "C" __attribute__((visibility("default"))) int mnetProbeFillRegistry(int nCount) {
    MirelProxyDependentContainer& registry = MirelProxyDependentContainer::getInstance();
    for (int i = 0; i < nCount; ++i) {
        registry.add(MirelSupport::MirelSmartPointer<MirelProxyDependent>(
            new MirelProxyDependent("pipe:probe", i)));
    }
    return registry.size();
}

// Registers nCount proxies that log their destruction. The caller must unload libmnet in the
// same dlclose as this module (close libmnet's own handle first), so that the registry goes
// while this module's code is still mapped. Returns the registry's size.
extern "C" __attribute__((visibility("default"))) int mnetProbeFillWithTracedProxies(int nCount) {
    MirelProxyDependentContainer& registry = MirelProxyDependentContainer::getInstance();
    for (int i = 0; i < nCount; ++i) {
        registry.add(MirelSupport::MirelSmartPointer<MirelProxyDependent>(new TracedProxy(i)));
    }
    return registry.size();
}
