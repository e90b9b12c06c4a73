#include "internal/ServerGate.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "MirelLogging.hpp"
#include "MirelPipeServer.hpp"
#include "MirelServerSocket.hpp"
#include "internal/HostLookup.hpp"
#include "internal/CallerWait.hpp"
#include "internal/StreamIo.hpp"

namespace MirelNet {
namespace detail {

ServerGate::ServerGate() : m_nVisits(0), m_bShut(false), m_nWaitTimeoutMs(0), m_pCallerWait(0) {}

ServerGate::~ServerGate() {}

int ServerGate::newCell(ListenCell** ppCell) {
    *ppCell = 0;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        return errno;
    }
    ListenCell* pCell = new ListenCell;
    pCell->fd = -1;
    pCell->wake[0] = fds[0];
    pCell->wake[1] = fds[1];
    pCell->waiting = false;
    pCell->closing = false;
    pCell->announced = false;
    *ppCell = pCell;
    return 0;
}

void ServerGate::freeCell(ListenCell* pCell) {
    if (pCell) {
        closeFd(pCell->fd);
        closeFd(pCell->wake[0]);
        closeFd(pCell->wake[1]);
        delete pCell;
    }
}

bool ServerGate::isOpen(void* const& pSlot) {
    std::lock_guard<std::mutex> guard(m_mutex);
    return pSlot != 0;
}

bool ServerGate::publish(void*& pSlot, ListenCell* pCell) {
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        if (pSlot == 0 && !m_bShut) {
            pSlot = pCell;
            return true;
        }
    }
    freeCell(pCell);
    return false;
}

ListenCell* ServerGate::begin(void*& pSlot, WaitSteps& steps, MirelString& sExceptionMessage,
                              int& nErrorCode) {
    if (isShut()) {
        return 0;
    }
    try {
        steps.open();
    } catch (const MirelException& e) {
        sExceptionMessage = e.getText();
        nErrorCode = e.getCode();
        return 0;
    }
    return enter(pSlot);
}

ListenCell* ServerGate::enter(void*& pSlot) {
    std::lock_guard<std::mutex> guard(m_mutex);
    ListenCell* pCell = m_bShut ? 0 : static_cast<ListenCell*>(pSlot);
    if (pCell) {
        pCell->waiting = true;
    }
    return pCell;
}

ServerGate::WaitResult ServerGate::await(ListenCell* pCell, int* pError, int nTimeoutMs,
                                         CallerWait* pCaller) {
    for (;;) {
        pollfd fds[2];
        fds[0].fd = pCell->wake[0];
        fds[0].events = POLLIN;
        fds[0].revents = 0;
        fds[1].fd = pCell->fd;
        fds[1].events = POLLIN;
        fds[1].revents = 0;
        bool bCallerReady = false;
        int rc = CallerWait::poll(pCaller, fds, 2, nTimeoutMs, &bCallerReady);
        if (rc < 0) {
            *pError = errno;
            return FAILED;
        }
        if (fds[0].revents != 0 || (bCallerReady && fds[1].revents == 0)) {
            return CLOSED;
        }
        return rc == 0 ? TIMED_OUT : READY;
    }
}

ServerGate::WaitResult ServerGate::pause(ListenCell* pCell, int nPauseMs, CallerWait* pCaller) {
    pollfd wake;
    wake.fd = pCell->wake[0];
    wake.events = POLLIN;
    wake.revents = 0;
    // A signal shortens the pause; the caller retries anyway.
    bool bCallerReady = false;
    if (CallerWait::poll(pCaller, &wake, 1, nPauseMs, &bCallerReady) < 0) {
        return READY;
    }
    return wake.revents != 0 || bCallerReady ? CLOSED : READY;
}

bool ServerGate::leave(ListenCell* pCell) {
    std::lock_guard<std::mutex> guard(m_mutex);
    pCell->waiting = false;
    if (pCell->closing) {
        freeCell(pCell);
        return true;
    }
    return false;
}

ServerGate::CloseResult ServerGate::close(void*& pSlot) {
    ListenCell* pFree = 0;
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        ListenCell* pCell = static_cast<ListenCell*>(pSlot);
        if (pCell == 0) {
            return WAS_CLOSED;
        }
        pSlot = 0;
        if (pCell->waiting) {
            pCell->closing = true;
            int nSignal = 0;
            posix::write(pCell->wake[1], &nSignal, sizeof nSignal);
        } else {
            pFree = pCell;
        }
    }
    freeCell(pFree);
    return pFree ? RELEASED : SIGNALLED;
}

void ServerGate::shut() {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_bShut = true;
}

bool ServerGate::isShut() {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_bShut;
}

ServerGate::Visit::Visit(ServerGate& gate) : m_gate(gate) {
    std::lock_guard<std::mutex> guard(m_gate.m_mutex);
    ++m_gate.m_nVisits;
}

ServerGate::Visit::~Visit() {
    std::lock_guard<std::mutex> guard(m_gate.m_mutex);
    if (--m_gate.m_nVisits == 0) {
        m_gate.m_idle.notify_all();
    }
}

FailureBurst::FailureBurst(const char* pszRecordHead, const char* pszRecordTail)
    : m_pszHead(pszRecordHead),
      m_pszTail(pszRecordTail),
      m_nError(0),
      m_nCount(0),
      m_pause(1, 100) {}

FailureBurst::~FailureBurst() {
    flush();
}

int FailureBurst::record(int nError) {
    const std::chrono::seconds kReportInterval(10);
    std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now();
    if (nError != m_nError || now - m_start >= kReportInterval) {
        flush();
        m_nError = nError;
        m_start = now;
    }
    ++m_nCount;
    return m_pause.next();
}

void FailureBurst::flush() {
    if (m_nCount > 0) {
        MIREL_LOG(1) << m_pszHead << m_nError << m_pszTail << " (count " << m_nCount << ")"
                     << MirelSupport::endrecord;
    }
    m_nCount = 0;
}

void ServerGate::waitIdle() {
    std::unique_lock<std::mutex> guard(m_mutex);
    m_idle.wait(guard, [this] { return m_nVisits == 0; });
}

MirelString InetWaitSteps::identify(bool bIdentify, const char* pszLogHead) const {
    MirelString sName;
    if (bIdentify && nameOfAddress(m_peer, &sName, 0)) {
        MIREL_LOG(5) << pszLogHead << sName << ":" << m_peer.port() << MirelSupport::endrecord;
    }
    return sName;
}

ServerGate* ServerAccess::gateOf(MirelIPCServer& server) {
    if (MirelServerSocket* pSocket = dynamic_cast<MirelServerSocket*>(&server)) {
        return pSocket->m_pGate;
    }
    if (MirelPipeServer* pPipe = dynamic_cast<MirelPipeServer*>(&server)) {
        return pPipe->m_pGate;
    }
    return 0;
}

MirelSmartPointer<MirelConnection> waitForClientWatching(MirelIPCServer& server, CallerWait& wait) {
    // The gate holds the caller's wait for this one call; only this thread waits on it.
    struct Watch {
        ServerGate* pGate;
        Watch(ServerGate* pG, CallerWait& wait) : pGate(pG) {
            if (pGate) {
                pGate->watch(&wait);
            }
        }
        ~Watch() {
            if (pGate) {
                pGate->watch(0);
            }
        }
    } watch(ServerAccess::gateOf(server), wait);
    wait.reset();
    return server.waitForClient(false);
}

}  // namespace detail
}  // namespace MirelNet
