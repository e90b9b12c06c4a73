#include "MirelSocketConnection.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cerrno>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "MirelLogging.hpp"
#include "MirelServerSocket.hpp"
#include "internal/Posix.hpp"
#include "internal/StreamIo.hpp"
#include "internal/WriteSpan.hpp"

namespace MirelNet {

using MirelSupport::endrecord;

namespace {

const char* const kSocketCreationFailed =
    "MirelSocketConnection::establish: socket creation failed.";
const char* const kHostNotFound = "MirelSocketConnection::establish: could not find host.";
const char* const kConnectFailed = "MirelSocketConnection::establish: connection request failed.";

MirelString decimal(int nValue) {
    char szText[16];
    std::snprintf(szText, sizeof szText, "%d", nValue);
    return szText;
}

// The addresses to connect to, in the resolver's order, with their level-7 records. 0, or the
// code that goes with "could not find host.".
int resolveRemote(const MirelString& sRemoteName, bool bIdentify, int nPort,
                  detail::Destination* pDestination) {
    if (bIdentify && detail::isNumericHost(sRemoteName)) {
        MIREL_LOG(7) << "MirelSocketConnection::establish: using "
                     << "gethostbyaddr." << endrecord;
    }
    int nError =
        detail::resolveDestination(sRemoteName, nPort, SOCK_STREAM, bIdentify, pDestination);
    if (nError == 0 && bIdentify && !pDestination->bEntry) {
        nError = pDestination->nReverseError;
    }
    if (nError != 0) {
        return nError;
    }
    if (pDestination->bEntry) {
        MIREL_LOG(7) << "MirelSocketConnection::establish: connecting"
                     << " to: " << detail::hostForPort(pDestination->sOfficialName) << ":" << nPort
                     << endrecord;
    }
    return 0;
}

void setNoDelay(int nFd) {
    int nOn = 1;
    ::setsockopt(nFd, IPPROTO_TCP, TCP_NODELAY, &nOn, sizeof nOn);
}

// Cells that takeSocket took away with bytes still unread, waiting for the connection that
// wraps their descriptor (the accepted form's constructor). A cell is known by its descriptor
// and the socket's identity (device and inode, unique while the socket is open), so a
// descriptor that was closed and handed out again never gets another socket's bytes.
class Handoff {
public:
    static Handoff& instance() {
        static Handoff* s_pHandoff = new Handoff;  // never destroyed: no exit-time order
        return *s_pHandoff;
    }
    void put(void* pCell) {
        Entry entry = {pCell, 0, 0};
        if (!identify(detail::cellFd(pCell), &entry)) {
            detail::releaseCell(pCell);  // not a socket any more: nothing to carry
            return;
        }
        std::lock_guard<std::mutex> guard(m_mutex);
        purge();
        if (m_entries.size() == kMostEntries) {
            detail::releaseCell(m_entries.front().pCell);
            m_entries.erase(m_entries.begin());
        }
        m_entries.push_back(entry);
        m_bAny = true;
    }
    // The cell waiting for nFd, or null; costs nothing while none waits.
    void* take(int nFd) {
        if (!m_bAny.load(std::memory_order_acquire)) {
            return 0;
        }
        std::lock_guard<std::mutex> guard(m_mutex);
        purge();
        Entry wanted = {0, 0, 0};
        void* pCell = 0;
        if (identify(nFd, &wanted)) {
            for (std::size_t i = 0; i < m_entries.size(); ++i) {
                const Entry& entry = m_entries[i];
                if (detail::cellFd(entry.pCell) == nFd && entry.nDevice == wanted.nDevice &&
                    entry.nInode == wanted.nInode) {
                    pCell = entry.pCell;
                    m_entries.erase(m_entries.begin() + static_cast<std::ptrdiff_t>(i));
                    break;
                }
            }
        }
        m_bAny = !m_entries.empty();
        return pCell;
    }

private:
    struct Entry {
        void* pCell;
        unsigned long long nDevice;
        unsigned long long nInode;
    };
    static const std::size_t kMostEntries = 64;

    static bool identify(int nFd, Entry* pEntry) {
        struct stat info;
        if (nFd < 0 || ::fstat(nFd, &info) != 0 || !S_ISSOCK(info.st_mode)) {
            return false;
        }
        pEntry->nDevice = static_cast<unsigned long long>(info.st_dev);
        pEntry->nInode = static_cast<unsigned long long>(info.st_ino);
        return true;
    }
    // Drops the cells whose descriptor was closed or now names another socket.
    void purge() {
        for (std::size_t i = m_entries.size(); i-- > 0;) {
            Entry now = {0, 0, 0};
            const Entry& entry = m_entries[i];
            if (!identify(detail::cellFd(entry.pCell), &now) || now.nDevice != entry.nDevice ||
                now.nInode != entry.nInode) {
                detail::releaseCell(m_entries[i].pCell);
                m_entries.erase(m_entries.begin() + static_cast<std::ptrdiff_t>(i));
            }
        }
    }

    std::mutex m_mutex;  // guards m_entries
    std::vector<Entry> m_entries;
    std::atomic<bool> m_bAny{false};
};

}  // namespace

MirelSocketConnection::MirelSocketConnection(const MirelString& sRemoteName, int nPort, bool bRaw,
                                             bool bIdentify)
    : MirelConnection(true, bRaw, sRemoteName),
      m_pClient(0),
      m_nPort(nPort),
      m_bIdentify(bIdentify),
      m_pSourceServer(0) {}

MirelSocketConnection::MirelSocketConnection(int client, const MirelString& sRemoteName,
                                             MirelServerSocket* pServer, bool bClientConnection)
    : MirelConnection(bClientConnection, sRemoteName),
      m_pClient(0),
      m_nPort(0),
      m_bIdentify(false),
      m_pSourceServer(pServer) {
    // A descriptor that takeSocket took from a connection comes with the bytes that connection
    // had received and nobody read.
    m_pClient = client >= 0 ? Handoff::instance().take(client) : 0;
    if (m_pClient == 0) {
        // Every TCP cell switches Nagle's algorithm off before its second send (StreamIo.hpp).
        detail::openCell(m_pClient, client, setNoDelay);
    }
    detail::markAccepted(m_pClient);
    // The port is taken now: the server may be destroyed while this connection lives on.
    m_sPortName = decimal(pServer ? pServer->getPort() : 0);
    m_bConnected = true;
}

MirelSocketConnection::~MirelSocketConnection() {
    MirelSocketConnection::disconnect();
    detail::freeCell(m_pClient);
}

void MirelSocketConnection::disconnect() {
    detail::closeCell(m_pClient);
    cleanup();
}

int MirelSocketConnection::establishImpl(MirelString& sExceptionMessage) {
    // An open socket counts as established: the handshake below runs through the primitives
    // before the connected flag is set. Connected without a socket: taken over (takeSocket),
    // unless a time-out closed the socket, which disconnects.
    if (detail::cellFd(m_pClient) >= 0 || detail::droppedAccepted(m_pClient)) {
        return 0;
    }
    if (m_bConnected) {
        if (!detail::takeDropped(m_pClient)) {
            return 0;
        }
        cleanup();
    }
    // A port outside 0-65535 would wrap to its low 16 bits: another service.
    if (m_nPort < 0 || m_nPort > 65535) {
        sExceptionMessage = kConnectFailed;
        return EINVAL;
    }
    detail::Destination destination;
    int nError = resolveRemote(m_sRemoteName, m_bIdentify, m_nPort, &destination);
    if (nError != 0) {
        sExceptionMessage = kHostNotFound;
        return nError;
    }
    // A name with several addresses: each in the resolver's order, within one deadline.
    int nConnect = 0;
    for (std::size_t i = 0; i < destination.addresses.size(); ++i) {
        const detail::SocketAddress& address = destination.addresses[i];
        int nFd = detail::posix::socket(address.family(), SOCK_STREAM);
        if (nFd < 0) {
            sExceptionMessage = kSocketCreationFailed;
            return errno;
        }
        detail::openCell(m_pClient, nFd, setNoDelay);
        nConnect = detail::posix::connect(nFd, address, detail::establishMsLeft(m_pClient));
        bool bTimeLeft = detail::establishMsLeft(m_pClient) != 0;
        if (nConnect == 0 || i + 1 == destination.addresses.size() || !bTimeLeft) {
            break;
        }
        detail::dropSocket(m_pClient);
    }
    try {
        nError = detail::finishConnect(*this, m_pClient, nConnect);
    } catch (const MirelException& e) {
        sExceptionMessage = e.getText();  // a refused handshake: code 0
        return 0;
    }
    if (nError != 0) {
        sExceptionMessage = kConnectFailed;
        return nError;
    }
    m_bConnected = true;
    initialize();
    return 0;
}

long MirelSocketConnection::transfer(const char* buf, long bufLen, long* error) {
    int nEstablished =
        detail::establishedCell(m_pClient, *this, &MirelSocketConnection::establishImpl);
    return detail::streamSend(this, nEstablished, m_pClient, buf, bufLen, error);
}

long MirelSocketConnection::receive(char* bufPtr, long toRead, long* error, bool bWaitForAll) {
    int nEstablished =
        detail::establishedCell(m_pClient, *this, &MirelSocketConnection::establishImpl);
    return detail::streamReceive(this, nEstablished, m_pClient, bufPtr, toRead, error, bWaitForAll);
}

bool MirelSocketConnection::peekBytes(void* pBuffer, int& nSize, int& nErrorCode) {
    int nEstablished =
        detail::establishedCell(m_pClient, *this, &MirelSocketConnection::establishImpl);
    return detail::streamPeek(this, nEstablished, m_pClient, pBuffer, nSize, nErrorCode);
}

MirelString MirelSocketConnection::getServerName() {
    m_sServerName.clear();
    if (detail::cellFd(m_pClient) >= 0) {
        detail::SocketAddress address;
        socklen_t* pnLength = 0;
        sockaddr* pAddress = address.clearedFor(&pnLength);
        if (::getsockname(detail::cellFd(m_pClient), pAddress, pnLength) == 0) {
            m_sServerName = detail::addressText(address);
        }
    }
    return m_sServerName;
}

MirelString MirelSocketConnection::getPortName() {
    if (m_pSourceServer == 0) {
        m_sPortName = decimal(0);
    }
    return m_sPortName;
}

int MirelSocketConnection::takeSocket(MirelSocketConnection& connection) {
    void* pCell = connection.m_pClient;
    int nFd = detail::cellFd(pCell);
    if (nFd < 0) {
        return nFd;  // no socket: the connection keeps its cell (and its time-out)
    }
    connection.m_pClient = 0;
    detail::StreamCell* pStream = static_cast<detail::StreamCell*>(pCell);
    // What the connection's write span gathered leaves first, while it still owns the socket.
    detail::WriteSpan::sendBeforeRelease(pStream);
    if (pStream->buffered() > 0) {
        Handoff::instance().put(pCell);  // the bytes go with the descriptor
    } else {
        detail::releaseCell(pCell);  // the descriptor stays open for the new owner
    }
    return nFd;
}

void MirelSocketConnection::takeSocket(MirelSocketConnection& from, MirelSocketConnection& to) {
    if (detail::cellFd(from.m_pClient) < 0) {
        return;
    }
    // The whole cell moves, with the bytes that from has received but nobody has read yet;
    // what from's write span gathered leaves first, while from still owns the socket.
    detail::WriteSpan::sendBeforeRelease(static_cast<detail::StreamCell*>(from.m_pClient));
    if (detail::cellFd(to.m_pClient) == detail::cellFd(from.m_pClient)) {
        detail::releaseCell(to.m_pClient);
    } else {
        detail::freeCell(to.m_pClient);
    }
    to.m_pClient = from.m_pClient;
    from.m_pClient = 0;
}

void* MirelSocketConnection::getSocket() {
    return detail::openCellOrNull(m_pClient);
}

void MirelSocketConnection::setTimeout(int nMilliseconds) {
    detail::setCellTimeout(m_pClient, nMilliseconds);
}

int MirelSocketConnection::getTimeout() const {
    return detail::cellTimeout(m_pClient);
}

}  // namespace MirelNet
