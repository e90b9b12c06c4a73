// The library's module object and its start-up and shut-down hooks.
//
// g_ModuleData, the only Module, is built while the library loads and attaches once
// (MNETInitWinsock, then MNETInitSSL); it is destroyed when the library unloads or the process
// ends and then detaches once: the proxy dependent registry is destroyed, then MNETFinitSSL and
// MNETFinitWinsock run. Both run on the loading or unloading thread; no other thread may use
// the registry while the library unloads.
#ifndef MODULE_ATTACH_HPP
#define MODULE_ATTACH_HPP

#include "MnetExport.hpp"
#include "ModuleData.hpp"

class MNET_API Module : public MirelSupport::ModuleData {
public:
    // Attaches when bAttach is true.
    explicit Module(bool bAttach);
    // Detaches when this object made the last attach.
    virtual ~Module();

    virtual void attach();
    // Writes "mnet::Module::detach: entering" and "...: exiting" around the teardown (level 9).
    virtual void detach();

private:
    // A copy would detach the library a second time when destroyed.
    Module(const Module&);
    Module& operator=(const Module&);
};

MNET_API extern Module g_ModuleData;

namespace MirelNet {

// Hooks kept for the platforms that need a socket or SSL library set up per process; they do
// nothing here. MNETInitWinsock always returns true.
MNET_API bool MNETInitWinsock();
MNET_API void MNETFinitWinsock();
MNET_API void MNETInitSSL();
MNET_API void MNETFinitSSL();

}  // namespace MirelNet

#endif
