// Connected peers for the stream and request/response benchmarks: a library server with a
// connected library client, or a raw listener with a connected raw client, the serving side
// running a given function on its own thread.
#ifndef MNET_BENCH_PEERS_HPP
#define MNET_BENCH_PEERS_HPP

#include <functional>
#include <string>
#include <thread>

#include "MirelConnection.hpp"
#include "MirelIPCServer.hpp"

namespace MirelNet {
class MirelServerSocket;
}

namespace mnetbench {

enum Transport { TCP, PIPE };

const char* transportName(Transport transport);

// MirelServerSocket (127.0.0.1, a port that was free a moment ago) or MirelPipeServer (a
// unique endpoint name), and a MirelSocketConnection or MirelPipeConnection connected to it.
// The accepted connection is handed to serve on the serving thread.
class MnetPeers {
public:
    MnetPeers(Transport transport, const std::function<void(MirelNet::MirelConnection&)>& serve);
    ~MnetPeers();

    // Empty when both sides are connected; otherwise what failed.
    const std::string& error() const { return m_sError; }
    MirelNet::MirelConnection& client() { return *m_spClient; }
    // Waits until serve has returned.
    void join();

private:
    MnetPeers(const MnetPeers&);
    MnetPeers& operator=(const MnetPeers&);

    MirelSupport::MirelSmartPointer<MirelNet::MirelIPCServer> m_spServer;
    MirelNet::MirelServerSocket* m_pTcpServer;  // the server when it is a TCP one
    MirelSupport::MirelSmartPointer<MirelNet::MirelConnection> m_spClient;
    std::thread m_thread;
    std::string m_sError;
};

// The same with raw sockets: a listener on 127.0.0.1 (port chosen by the system) or on a
// socket file in the shared-service directory, with the library's socket options (TCP_NODELAY
// on both ends when bNoDelay).
class RawPeers {
public:
    RawPeers(Transport transport, bool bNoDelay, const std::function<void(int)>& serve);
    ~RawPeers();

    const std::string& error() const { return m_sError; }
    int client() const { return m_nClient; }
    void join();

private:
    RawPeers(const RawPeers&);
    RawPeers& operator=(const RawPeers&);

    int m_nListen;
    int m_nClient;
    std::string m_sPath;
    std::thread m_thread;
    std::string m_sError;
};

}  // namespace mnetbench

#endif
