// mnet notify: one callback message through a proxy dependent.
#include <cstdio>
#include <exception>
#include <string>

#include "Commands.hpp"
#include "MirelConnection.hpp"
#include "MirelProxyDependent.hpp"
#include "Report.hpp"

using MirelNet::MirelProxyDependent;
using MirelSupport::MirelException;
using MirelSupport::MirelNotification;
using MirelSupport::MirelSmartPointer;

namespace mnettool {

namespace {

// Sends one string as the content instead of the notification's id.
class StringProxy : public MirelProxyDependent {
public:
    StringProxy(const std::string& sAddress, long nHandle, const std::string& sText)
        : MirelProxyDependent(sAddress, nHandle), m_sText(sText) {}

protected:
    void addContent(MirelNet::MirelConnection& client, const MirelNotification&) override {
        client.transfer(MirelSupport::MirelString(m_sText));
    }

private:
    std::string m_sText;
};

}  // namespace

int runNotify(const NotifyOptions& options) {
    MirelSmartPointer<MirelProxyDependent> spProxy(
        options.bString ? new StringProxy(options.sAddress, options.nHandle, options.sText)
                        : new MirelProxyDependent(options.sAddress, options.nHandle));
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
