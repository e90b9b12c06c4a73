// A client built against an installed copy: writes typed values into a buffer connection and
// reads them back, and checks that the library it runs with is the one its headers describe.
#include <cstdio>
#include <cstring>

#include "MirelBufferConnection.hpp"
#include "MnetVersion.hpp"

int main() {
    if (std::strcmp(MirelNet::getLibraryVersion(), MNET_VERSION_STRING) != 0) {
        std::printf("headers of %s, library %s\n", MNET_VERSION_STRING,
                    MirelNet::getLibraryVersion());
        return 1;
    }
    MirelSupport::MirelSmartPointer<MirelNet::MirelBufferConnection> spBuffer(
        new MirelNet::MirelBufferConnection());
    spBuffer->transfer(42);
    spBuffer->transfer(static_cast<short>(-7));
    spBuffer->transfer(MirelSupport::MirelString("installed"));
    spBuffer->transferACK();
    int nInt = spBuffer->receiveInt();
    short nShort = spBuffer->receiveShort();
    MirelSupport::MirelString sText = spBuffer->receiveString();
    short nAck1 = spBuffer->receiveShort();
    short nAck2 = spBuffer->receiveShort();
    if (nInt != 42 || nShort != -7 || sText != "installed" || nAck1 != 1 || nAck2 != 0) {
        std::printf("mismatch\n");
        return 1;
    }
    try {
        spBuffer->receiveInt();
        return 1;
    } catch (const MirelSupport::MirelException& e) {
        std::printf("ok: %s (%d)\n", e.getText().c_str(), e.getCode());
    }
    return 0;
}
