// A client built against an installed copy: writes typed values into a buffer connection and
// reads them back.
#include <cstdio>

#include "MirelBufferConnection.hpp"

int main() {
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
