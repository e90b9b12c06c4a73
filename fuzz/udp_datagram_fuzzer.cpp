// The UDP server's way from a datagram to a connection: each input is sent as one datagram to
// a UDP server on 127.0.0.1, received with waitForClient on this thread (the datagram is
// queued before the wait starts, so the wait returns at once), and the connection handed out
// is read with typed reads, checked against a model as in buffer_reads_fuzzer.
//
// The server (receive buffer kReceiveBuffer bytes) is made once, on a port found free, and
// stays open. The datagram is the input itself; when bit 6 of byte 0 is set it is the input
// repeated to more than kReceiveBuffer bytes, and the connection must hold only the first
// kReceiveBuffer of them. Byte 0 also holds the number of reads (low 6 bits); the next bytes
// select one read each (low 3 bits: receiveInt, receiveShort, receiveLong, receiveString, get,
// peekBytes, receive, disconnect; bits 3 to 6 a size for the last four, bit 7 receive's
// bWaitForAll). The connection's first bytes are these selecting bytes: they are taken with
// get and compared, then the reads run on the rest.
//
// An empty input is an empty datagram: the wait must return an empty pointer and not throw.
// A connection must be a buffer connection holding the datagram's bytes, marked local, with an
// empty remote name. Any difference aborts, and so does any exception not expected.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "MirelBufferConnection.hpp"
#include "MirelException.hpp"
#include "MirelUDPServerSocket.hpp"
#include "ReadModel.hpp"

namespace {

using namespace fuzzmodel;

using MirelNet::MirelBufferConnection;
using MirelNet::MirelConnection;
using MirelNet::MirelUDPServerSocket;
using MirelSupport::MirelException;
using MirelSupport::MirelSmartPointer;
using MirelSupport::MirelString;

const unsigned int kReceiveBuffer = 4096;
// The server with its opening made callable, so that it can be opened before the first
// datagram is sent (a datagram sent to a closed port is lost).
class FuzzUDPServer : public MirelUDPServerSocket {
public:
    explicit FuzzUDPServer(int nPort)
        : MirelUDPServerSocket(nPort, MirelString("127.0.0.1"), kReceiveBuffer) {}
    void open() { init(); }
};

FuzzUDPServer* g_pServer = 0;  // lives as long as the process
int g_nClient = -1;            // the sending socket
sockaddr_in g_serverAddress;

// A port that was free a moment ago on 127.0.0.1.
int freePort() {
    int nFd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    require(nFd >= 0, "no socket to find a free port");
    sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    require(::bind(nFd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0,
            "bind to port 0 failed");
    socklen_t nLength = sizeof address;
    require(::getsockname(nFd, reinterpret_cast<sockaddr*>(&address), &nLength) == 0,
            "getsockname failed");
    ::close(nFd);
    return ntohs(address.sin_port);
}

void openServer() {
    for (int nAttempt = 0; nAttempt < 50; ++nAttempt) {
        int nPort = freePort();
        FuzzUDPServer* pServer = new FuzzUDPServer(nPort);
        pServer->addRef();
        try {
            pServer->open();
        } catch (const MirelException& e) {
            pServer->release();
            require(e.getCode() == EADDRINUSE, "the UDP server did not open");
            continue;  // taken meanwhile by someone else: another one
        }
        g_pServer = pServer;
        std::memset(&g_serverAddress, 0, sizeof g_serverAddress);
        g_serverAddress.sin_family = AF_INET;
        g_serverAddress.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        g_serverAddress.sin_port = htons(static_cast<std::uint16_t>(nPort));
        return;
    }
    require(false, "no free port for the UDP server");
}

// Sends one datagram and takes it from the server.
MirelSmartPointer<MirelConnection> roundTrip(const std::vector<unsigned char>& datagram) {
    ssize_t nSent =
        ::sendto(g_nClient, datagram.data(), datagram.size(), 0,
                 reinterpret_cast<const sockaddr*>(&g_serverAddress), sizeof g_serverAddress);
    require(nSent == static_cast<ssize_t>(datagram.size()),
            "sendto did not send the whole datagram");
    try {
        return g_pServer->waitForClient(false);
    } catch (const MirelException& e) {
        std::fprintf(stderr, "waitForClient threw: %s (%d)\n", e.getText().c_str(), e.getCode());
        std::abort();
    }
}

// The connection handed out for a datagram: a buffer connection holding exactly nExpected
// bytes of it, marked local, with an empty remote name.
MirelBufferConnection& checkConnection(MirelSmartPointer<MirelConnection>& spConnection,
                                       const std::vector<unsigned char>& datagram,
                                       std::size_t nExpected) {
    require(spConnection, "a datagram gave no connection");
    MirelBufferConnection* pBuffer =
        dynamic_cast<MirelBufferConnection*>(static_cast<MirelConnection*>(spConnection));
    require(pBuffer != 0, "the connection is not a buffer connection");
    require(pBuffer->size() == static_cast<int>(nExpected),
            "the connection holds the wrong number of bytes");
    require(std::memcmp(pBuffer->buf(), datagram.data(), nExpected) == 0,
            "the connection holds the wrong bytes");
    require(pBuffer->getLocalAccess(), "a datagram from 127.0.0.1 is not marked local");
    require(pBuffer->getRemoteName().empty(), "an unidentified sender has a remote name");
    require(spConnection->refCount() == 1, "the server kept a reference to the connection");
    return *pBuffer;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzProgramName() = "udp_datagram_fuzzer";
    g_nClient = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    require(g_nClient >= 0, "no client socket");
    openServer();

    // Once: a datagram longer than the receive buffer arrives cut to it, and an empty one
    // gives an empty pointer.
    std::vector<unsigned char> longDatagram(kReceiveBuffer + 904);
    for (std::size_t i = 0; i < longDatagram.size(); ++i) {
        longDatagram[i] = static_cast<unsigned char>(i * 7 + 3);
    }
    MirelSmartPointer<MirelConnection> spConnection = roundTrip(longDatagram);
    checkConnection(spConnection, longDatagram, kReceiveBuffer);
    spConnection = roundTrip(std::vector<unsigned char>());
    require(!spConnection, "an empty datagram gave a connection");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t nSize) {
    std::vector<unsigned char> datagram(pData, pData + nSize);
    if (nSize > 0 && (pData[0] & 0x40) != 0) {
        datagram.resize(kReceiveBuffer + 1 + nSize % 256);
        for (std::size_t i = nSize; i < datagram.size(); ++i) {
            datagram[i] = pData[i % nSize];
        }
    }
    MirelSmartPointer<MirelConnection> spConnection = roundTrip(datagram);
    if (nSize == 0) {
        require(!spConnection, "an empty datagram gave a connection");
        return 0;
    }
    Model model;
    model.data.assign(datagram.begin(),
                      datagram.begin() + std::min<std::size_t>(datagram.size(), kReceiveBuffer));
    model.nPos = 0;
    model.bWritten = true;  // a datagram connection always holds its bytes
    MirelConnection& connection = checkConnection(spConnection, datagram, model.data.size());

    std::size_t nOps = std::min<std::size_t>(pData[0] & 0x3F, nSize - 1);
    const std::uint8_t* pOps = pData + 1;
    try {
        get(connection, model, static_cast<int>(1 + nOps));
        runReadOps(connection, model, pOps, nOps);
    } catch (const MirelException& e) {
        std::fprintf(stderr, "unexpected MirelException: %s (%d)\n", e.getText().c_str(),
                     e.getCode());
        std::abort();
    }

    // The rest of the datagram, and nothing more.
    std::vector<char> rest(model.left() + 1);
    long nError = -1;
    long nCount = connection.receive(rest.data(), static_cast<long>(rest.size()), &nError, true);
    require(nError == 0, "final receive reported an error");
    require(nCount == static_cast<long>(model.left()), "final receive count is wrong");
    require(model.matches(rest.data(), static_cast<std::size_t>(nCount)),
            "final receive bytes are wrong");
    return 0;
}
