// A typed request/response service over TCP, or with the argument "pipe" over a local pipe: a
// server thread hands out each client as a connection, and both sides exchange typed values,
// acknowledge and error messages. Over a pipe the server also names who called: the user and
// process the system gives for the client's connection (TCP carries no such name).
//
// The "calculator" service of this example speaks this protocol:
//   handshake  the client sends "calculator" CR LF; the server answers the byte '+'
//   request    string operation, int count, then count ints
//   reply      ACK (00 01 00 00) and the result as a long, or
//              ERROR (00 01 FF FF) and a string saying why
// The client connection runs the handshake itself when a service name is set; the server
// reads the name with getLine and answers with put.
// Neither side trusts the other to keep going: the server bounds each client it serves, and
// the client bounds its wait for an answer (setTimeout); past the time-out an operation fails
// with code 110 (ETIMEDOUT) instead of waiting for ever. The last request goes to a service
// that accepts and never answers, to show that failure.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "MirelPipeConnection.hpp"
#include "MirelPipeServer.hpp"
#include "MirelServerSocket.hpp"
#include "MirelSocketConnection.hpp"

using MirelNet::MirelConnection;
using MirelNet::MirelIPCServer;
using MirelNet::MirelPipeConnection;
using MirelNet::MirelPipeServer;
using MirelNet::MirelServerSocket;
using MirelNet::MirelSocketConnection;
using MirelSupport::MirelException;
using MirelSupport::MirelSmartPointer;
using MirelSupport::MirelString;

namespace {

// Answers one client: handshake, one request, one reply. *pbNamed: the caller was named.
void answer(MirelConnection& client, bool* pbNamed) {
    char szService[64];
    int nError = 0;
    if (!client.getLine(szService, sizeof szService, nError) ||
        std::strcmp(szService, "calculator") != 0) {
        return;  // not our service: dropping the connection refuses it
    }
    char cYes = '+';
    client.put(&cYes, 1);
    // Who called, as the system saw the client connect: a service may decide on it.
    int nPid = 0;
    unsigned int nUid = 0;
    unsigned int nGid = 0;
    MirelPipeConnection* pPipe = dynamic_cast<MirelPipeConnection*>(&client);
    if (pPipe && pPipe->getPeerCredentials(nPid, nUid, nGid)) {
        std::printf("server: a call from user %u, group %u, process %d\n", nUid, nGid, nPid);
        *pbNamed = true;
    }

    MirelString sOperation = client.receiveString();
    int nCount = client.receiveInt();
    long nSum = 0;
    for (int i = 0; i < nCount; ++i) {
        nSum += client.receiveInt();
    }
    if (sOperation == "sum") {
        client.transferACK();
        client.transfer(nSum);
    } else {
        client.transferError();
        client.transfer(MirelString("unknown operation '" + sOperation + "'"));
    }
}

// The server thread: one client after another until the main thread stops it.
struct ServerThread {
    MirelSmartPointer<MirelServerSocket> spServer;
    MirelSmartPointer<MirelPipeServer> spPipeServer;  // instead of spServer, over a pipe
    std::atomic<bool> bFailed{false};
    std::atomic<int> nFailureCode{0};
    std::atomic<bool> bStopping{false};
    bool bCallerNamed = false;  // by the server thread, read after it ended

    void run() { serve(); }

    // From another thread. shutDown() wakes a thread blocked in waitForClient, and every wait
    // after it returns empty at once (close() would let the next wait open the server again).
    void stop() {
        bStopping = true;
        spServer ? spServer->shutDown() : spPipeServer->shutDown();
    }

    void serve() {
        while (!bStopping) {
            MirelSmartPointer<MirelConnection> spClient;
            try {
                // Opens the server if it is closed; empty when close() woke it.
                MirelIPCServer* pServer = spServer ? static_cast<MirelIPCServer*>(spServer)
                                                   : static_cast<MirelIPCServer*>(spPipeServer);
                spClient = pServer->waitForClient(false);
            } catch (const MirelException& e) {
                nFailureCode = e.getCode();  // could not open: 98 when the port is taken
                bFailed = true;
                return;
            }
            if (!spClient) {
                return;
            }
            // A client that stalls holds this thread for two seconds at most. The TCP server
            // hands out socket connections, the pipe server pipe connections.
            MirelConnection* pClient = spClient;
            if (MirelSocketConnection* pSocket = dynamic_cast<MirelSocketConnection*>(pClient)) {
                pSocket->setTimeout(2000);
            } else if (MirelPipeConnection* pPipe = dynamic_cast<MirelPipeConnection*>(pClient)) {
                pPipe->setTimeout(2000);
            }
            try {
                answer(*spClient, &bCallerNamed);
            } catch (const MirelException& e) {
                std::fprintf(stderr, "server: %s (code %d)\n", e.getText().c_str(), e.getCode());
            }
        }  // the reference goes here, which closes the client's connection
    }
};

// A socket bound to a port on 127.0.0.1 that the system picked (*pnPort); -1 on failure.
int boundLoopbackSocket(int* pnPort) {
    int nFd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t nLength = sizeof address;
    int nPort = -1;
    if (nFd >= 0 && ::bind(nFd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(nFd, reinterpret_cast<sockaddr*>(&address), &nLength) == 0) {
        nPort = ntohs(address.sin_port);
    }
    *pnPort = nPort;
    if (nPort < 0 && nFd >= 0) {
        ::close(nFd);
        nFd = -1;
    }
    return nFd;
}

// A port on 127.0.0.1 that nobody used a moment ago. A real service has its port configured.
int freeLoopbackPort() {
    int nPort = -1;
    int nFd = boundLoopbackSocket(&nPort);
    if (nFd >= 0) {
        ::close(nFd);
    }
    return nPort;
}

// A service that takes the connection and never answers: a client with a time-out gives up
// after it with 110. True when it did.
bool askSilentService() {
    int nPort = -1;
    int nFd = boundLoopbackSocket(&nPort);
    if (nFd < 0 || ::listen(nFd, 4) != 0) {
        return false;
    }
    MirelSmartPointer<MirelSocketConnection> spClient(
        new MirelSocketConnection("127.0.0.1", nPort, false, false));
    spClient->setServiceName("calculator");
    spClient->setTimeout(300);
    int nCode = 0;
    try {
        spClient->transfer(MirelString("sum"));  // the handshake's '+' never comes
    } catch (const MirelException& e) {
        std::printf("silent service -> %s (code %d)\n", e.getText().c_str(), e.getCode());
        nCode = e.getCode();
    }
    ::close(nFd);
    return nCode == ETIMEDOUT;
}

// Waits up to five seconds for the server to listen or to give up.
bool waitUntilListening(ServerThread& server) {
    for (int i = 0; i < 5000; ++i) {
        if (server.spServer->isInitialized()) {
            return true;
        }
        if (server.bFailed) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

// One request on its own connection, to the TCP port nPort or the pipe sPipe (when not
// empty). False when the reply was not the expected one.
bool ask(int nPort, const MirelString& sPipe, const MirelString& sOperation, const int* pValues,
         int nCount) {
    // Connecting with the handshake, and each operation after it, ends within two seconds.
    MirelSmartPointer<MirelConnection> spClient;
    if (sPipe.empty()) {
        MirelSmartPointer<MirelSocketConnection> spSocket(
            new MirelSocketConnection("127.0.0.1", nPort, false, false));
        spSocket->setTimeout(2000);
        spClient = spSocket.operator->();
    } else {
        MirelSmartPointer<MirelPipeConnection> spPipe(new MirelPipeConnection(sPipe));
        spPipe->setTimeout(2000);
        spClient = spPipe.operator->();
    }
    spClient->setServiceName("calculator");
    // The first typed operation connects and runs the handshake.
    spClient->transfer(sOperation);
    spClient->transfer(nCount);
    for (int i = 0; i < nCount; ++i) {
        spClient->transfer(pValues[i]);
    }
    short nKind = spClient->receiveShort();    // 1 for both ACK and ERROR
    short nStatus = spClient->receiveShort();  // 0 for ACK, -1 for ERROR
    if (nKind == 1 && nStatus == 0) {
        std::printf("%s -> %ld\n", sOperation.c_str(), spClient->receiveLong());
        return true;
    }
    if (nKind == 1 && nStatus == -1) {
        std::printf("%s -> error: %s\n", sOperation.c_str(), spClient->receiveString().c_str());
        return true;
    }
    std::fprintf(stderr, "unexpected reply %d %d\n", nKind, nStatus);
    return false;
}

// The calculator on a pipe endpoint of its own in the shared-service directory.
int runOverPipe() {
    char szName[32];
    std::snprintf(szName, sizeof szName, "calculator%d", static_cast<int>(::getpid()));
    ServerThread server;
    try {
        server.spPipeServer = new MirelPipeServer(szName);  // opens now, or throws why not
    } catch (const MirelException& e) {
        std::fprintf(stderr, "the server did not start: %s (code %d)\n", e.getText().c_str(),
                     e.getCode());
        return 1;
    }
    std::thread thread(&ServerThread::run, &server);
    std::printf("calculator listening on pipe:%s\n", szName);
    bool bOk = false;
    try {
        const int values[] = {1, 2, 39};
        bOk = ask(0, szName, "sum", values, 3);
    } catch (const MirelException& e) {
        std::fprintf(stderr, "client: %s (code %d)\n", e.getText().c_str(), e.getCode());
    }
    server.stop();
    thread.join();
    return bOk && server.bCallerNamed ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "pipe") == 0) {
        return runOverPipe();
    }
    ServerThread server;
    std::thread thread;
    int nPort = -1;
    // Another program may take the port between our look and the server's bind: try again.
    for (int nAttempt = 0; nAttempt < 5 && !thread.joinable(); ++nAttempt) {
        nPort = freeLoopbackPort();
        server.bFailed = false;
        server.bStopping = false;
        server.spServer = new MirelServerSocket(nPort, 16, "127.0.0.1");
        thread = std::thread(&ServerThread::run, &server);
        if (!waitUntilListening(server)) {
            server.stop();
            thread.join();
            if (server.nFailureCode != 98) {
                std::fprintf(stderr, "the server did not start (code %d)\n",
                             server.nFailureCode.load());
                return 1;
            }
        }
    }
    if (!thread.joinable()) {
        std::fprintf(stderr, "no free port found\n");
        return 1;
    }
    std::printf("calculator listening on 127.0.0.1:%d\n", nPort);

    bool bOk = false;
    try {
        const int values[] = {1, 2, 39};
        bOk = ask(nPort, "", "sum", values, 3) && ask(nPort, "", "product", values, 3) &&
              askSilentService();
    } catch (const MirelException& e) {
        std::fprintf(stderr, "client: %s (code %d)\n", e.getText().c_str(), e.getCode());
    }

    server.stop();
    thread.join();
    return bOk ? 0 : 1;
}
