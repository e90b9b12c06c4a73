/// \file
/// The library's module object and its start-up and shut-down hooks.
///
/// g_ModuleData, the only Module, is built while the library loads and attaches once
/// (MNETInitWinsock, then MNETInitSSL); it is destroyed when the library unloads or the process
/// ends and then detaches once: the proxy dependent registry is destroyed, then MNETFinitSSL and
/// MNETFinitWinsock run. Both run on the loading or unloading thread; no other thread may use
/// the registry while the library unloads.
#ifndef MODULE_ATTACH_HPP
#define MODULE_ATTACH_HPP

#include "MnetExport.hpp"
#include "ModuleData.hpp"

/// libmnet's module object; g_ModuleData is its one instance.
class MNET_API Module : public MirelSupport::ModuleData {
public:
    /// Attaches when bAttach is true.
    explicit Module(bool bAttach);
    /// Detaches when this object made the last attach.
    virtual ~Module();

    /// Runs the start-up hooks once.
    virtual void attach();
    /// Writes "mnet::Module::detach: entering" and "...: exiting" around the teardown (level 9).
    virtual void detach();

private:
    /// A copy would detach the library a second time when destroyed.
    Module(const Module&);
    Module& operator=(const Module&);
};

/// The one Module of the library, built at load and destroyed at unload.
MNET_API extern Module g_ModuleData;

namespace MirelNet {

/// Hooks kept for the platforms that need a socket or SSL library set up per process; they do
/// nothing here. MNETInitWinsock always returns true.
MNET_API bool MNETInitWinsock();
/// Does nothing.
MNET_API void MNETFinitWinsock();
/// Does nothing.
MNET_API void MNETInitSSL();
/// Does nothing.
MNET_API void MNETFinitSSL();

}  // namespace MirelNet

#endif
