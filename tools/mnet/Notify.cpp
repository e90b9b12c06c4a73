// mnet notify: one callback message through a proxy dependent.
#include <cstdio>
#include <exception>

#include "Commands.hpp"
#include "MirelProxyDependent.hpp"
#include "Report.hpp"

using MirelNet::MirelProxyDependent;
using MirelSupport::MirelException;
using MirelSupport::MirelNotification;
using MirelSupport::MirelSmartPointer;

namespace mnettool {

int runNotify(const NotifyOptions& options) {
    MirelSmartPointer<MirelProxyDependent> spProxy(
        new MirelProxyDependent(options.sAddress, options.nHandle));
    try {
        spProxy->remoteNotify(MirelNotification(options.nId));
    } catch (const MirelException& e) {
        std::fprintf(stderr, "mnet notify: %s: %s\n", options.sAddress.c_str(),
                     describeFailure(e.getText(), e.getCode()).c_str());
        return 1;
    }
    return 0;
}

}  // namespace mnettool
