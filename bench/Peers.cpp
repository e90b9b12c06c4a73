#include "Peers.hpp"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <memory>

#include "BenchSupport.hpp"
#include "MirelPipeConnection.hpp"
#include "MirelPipeServer.hpp"
#include "MirelServerSocket.hpp"
#include "MirelSocketConnection.hpp"

namespace mnetbench {

using MirelNet::MirelConnection;
using MirelSupport::MirelException;
using MirelSupport::MirelSmartPointer;

const char* transportName(Transport transport) {
    return transport == TCP ? "tcp" : "pipe";
}

namespace {

// A TCP port on 127.0.0.1 that was free a moment ago.
int freePort() {
    int nPort = 0;
    int nFd = rawTcpListen(&nPort, 1);
    if (nFd >= 0) {
        ::close(nFd);
    }
    return nFd >= 0 ? nPort : -1;
}

}  // namespace

MnetPeers::MnetPeers(Transport transport, const std::function<void(MirelConnection&)>& serve)
    : m_pTcpServer(0) {
    try {
        if (transport == TCP) {
            int nPort = freePort();
            m_pTcpServer = new MirelNet::MirelServerSocket(nPort, 5, "127.0.0.1");
            m_spServer = m_pTcpServer;
            m_spClient = new MirelNet::MirelSocketConnection("127.0.0.1", nPort, false, false);
        } else {
            if (!sharedServiceDirUsable()) {
                m_sError = "the shared-service directory is missing";
                return;
            }
            std::string sName = uniqueName("mnetbench");
            m_spServer = new MirelNet::MirelPipeServer(sName);
            m_spClient = new MirelNet::MirelPipeConnection(sName);
        }
    } catch (const MirelException& e) {
        m_sError = e.getText();
        return;
    }
    MirelSmartPointer<MirelNet::MirelIPCServer> spServer = m_spServer;
    std::shared_ptr<std::atomic<bool> > pEnded = std::make_shared<std::atomic<bool> >(false);
    m_thread = std::thread([spServer, serve, pEnded]() {
        try {
            MirelSmartPointer<MirelConnection> spConnection = spServer->waitForClient(false);
            if (spConnection) {
                serve(*spConnection);
            }
        } catch (const MirelException&) {
        }
        *pEnded = true;
    });
    // waitForInit has no time-out; a server that cannot open must not hang the benchmark.
    if (m_pTcpServer != 0) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!m_pTcpServer->isInitialized() && !*pEnded &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        if (!m_pTcpServer->isInitialized()) {
            m_sError = "the server did not open";
            m_spServer->close();
            join();
            return;
        }
    }
    try {
        m_spClient->establish();
    } catch (const MirelException& e) {
        m_sError = e.getText();
        m_spServer->close();
        join();
    }
}

MnetPeers::~MnetPeers() {
    if (m_spClient) {
        m_spClient->disconnect();
    }
    if (m_spServer) {
        m_spServer->close();
    }
    join();
}

void MnetPeers::join() {
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

RawPeers::RawPeers(Transport transport, bool bNoDelay, const std::function<void(int)>& serve)
    : m_nListen(-1), m_nClient(-1) {
    int nPort = 0;
    if (transport == TCP) {
        m_nListen = rawTcpListen(&nPort, 5);
    } else if (sharedServiceDirUsable()) {
        m_sPath = std::string(kSharedServiceDir) + uniqueName("mnetbenchraw");
        m_nListen = rawUnixListen(m_sPath, 5);
    }
    if (m_nListen < 0) {
        m_sError = "cannot listen";
        return;
    }
    int nListen = m_nListen;
    m_thread = std::thread([nListen, bNoDelay, serve]() {
        int nFd;
        do {
            nFd = ::accept4(nListen, 0, 0, SOCK_CLOEXEC);
        } while (nFd < 0 && errno == EINTR);
        if (nFd < 0) {
            return;
        }
        if (bNoDelay) {
            int nOn = 1;
            ::setsockopt(nFd, IPPROTO_TCP, TCP_NODELAY, &nOn, sizeof nOn);
        }
        serve(nFd);
        ::close(nFd);
    });
    m_nClient = transport == TCP ? rawTcpConnect(nPort, bNoDelay) : rawUnixConnect(m_sPath);
    if (m_nClient < 0) {
        m_sError = "cannot connect";
        ::shutdown(m_nListen, SHUT_RDWR);
        join();
    }
}

RawPeers::~RawPeers() {
    if (m_nClient >= 0) {
        ::close(m_nClient);
    }
    if (m_nListen >= 0) {
        ::shutdown(m_nListen, SHUT_RDWR);
    }
    join();
    if (m_nListen >= 0) {
        ::close(m_nListen);
    }
    if (!m_sPath.empty()) {
        ::unlink(m_sPath.c_str());
    }
}

void RawPeers::join() {
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

}  // namespace mnetbench
