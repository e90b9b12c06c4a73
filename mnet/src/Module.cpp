#include "ModuleAttach.hpp"

#include "MirelLogging.hpp"
#include "MirelProxyDependentContainer.hpp"

using MirelSupport::endrecord;

Module g_ModuleData(true);

Module::Module(bool bAttach) : ModuleData(bAttach) {
    if (isAttachEnabled()) {
        if (getAttachCount() == 0) {
            Module::attach();
        }
        addAttachCount(1);
    }
}

Module::~Module() {
    if (isAttachEnabled() && getAttachCount() > 0 && addAttachCount(-1) == 0) {
        Module::detach();
    }
}

void Module::attach() {
    MirelNet::MNETInitWinsock();
    MirelNet::MNETInitSSL();
}

void Module::detach() {
    MIREL_LOG(9) << "mnet::Module::detach: entering" << endrecord;
    MirelNet::MirelProxyDependentContainer::deleteInstance();
    MirelNet::MNETFinitSSL();
    MirelNet::MNETFinitWinsock();
    MIREL_LOG(9) << "mnet::Module::detach: exiting" << endrecord;
}

namespace MirelNet {

bool MNETInitWinsock() {
    return true;
}

void MNETFinitWinsock() {}

void MNETInitSSL() {}

void MNETFinitSSL() {}

}  // namespace MirelNet
