// The library's side of the protocol test: a client of the services that tests/protocol/peer.py
// offers on 127.0.0.1:PORT. Prints one line per exchange for the test to compare.
//   protocol_client PORT
#include <cstdio>
#include <cstdlib>

#include "MirelSocketConnection.hpp"

using MirelNet::MirelSocketConnection;
using MirelSupport::MirelException;
using MirelSupport::MirelSmartPointer;
using MirelSupport::MirelString;

namespace {

MirelSmartPointer<MirelSocketConnection> connectTo(int nPort, const char* pszService) {
    MirelSmartPointer<MirelSocketConnection> spClient(
        new MirelSocketConnection("127.0.0.1", nPort, false, false));
    spClient->setServiceName(pszService);
    return spClient;
}

void askSum(int nPort, const char* pszOperation) {
    MirelSmartPointer<MirelSocketConnection> spClient = connectTo(nPort, "calculator");
    spClient->transfer(MirelString(pszOperation));
    spClient->transfer(3);
    for (int nValue : {1, 2, -4}) {
        spClient->transfer(nValue);
    }
    short nKind = spClient->receiveShort();
    short nStatus = spClient->receiveShort();
    if (nKind == 1 && nStatus == 0) {
        std::printf("%s ack %ld\n", pszOperation, spClient->receiveLong());
    } else {
        std::printf("%s reply %d %d %s\n", pszOperation, nKind, nStatus,
                    spClient->receiveString().c_str());
    }
}

void exchangeTypes(int nPort) {
    MirelSmartPointer<MirelSocketConnection> spClient = connectTo(nPort, "types");
    spClient->transfer(-2);
    spClient->transfer(static_cast<short>(-3));
    spClient->transfer(true);
    spClient->transfer(MirelString("h\xc3\xa9llo"));
    spClient->transfer(-7L);
    std::printf("%s\n", spClient->receiveString().c_str());
    int nInt = spClient->receiveInt();
    short nShort = spClient->receiveShort();
    short nBool = spClient->receiveShort();
    MirelString sText = spClient->receiveString();
    long nLong = spClient->receiveLong();
    std::printf("back int=%d short=%d bool=%d string=%s long=%ld\n", nInt, nShort, nBool,
                sText.c_str(), nLong);
}

void refused(int nPort) {
    MirelSmartPointer<MirelSocketConnection> spClient = connectTo(nPort, "nosuch");
    try {
        spClient->transfer(1);
        std::printf("nosuch accepted\n");
    } catch (const MirelException& e) {
        std::printf("nosuch refused %d %s\n", e.getCode(), e.getText().c_str());
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: protocol_client PORT\n");
        return 2;
    }
    int nPort = std::atoi(argv[1]);
    try {
        askSum(nPort, "sum");
        askSum(nPort, "product");
        exchangeTypes(nPort);
        refused(nPort);
    } catch (const MirelException& e) {
        std::printf("failed %d %s\n", e.getCode(), e.getText().c_str());
        return 1;
    }
    return 0;
}
