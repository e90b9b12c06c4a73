#include "internal/CallerWait.hpp"

#include <poll.h>

#include <algorithm>
#include <climits>

#include "internal/Posix.hpp"

namespace MirelNet {
namespace detail {

int msUntil(std::chrono::steady_clock::time_point deadline) {
    std::chrono::steady_clock::duration left = deadline - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) {
        return 0;
    }
    long long nMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(left + std::chrono::milliseconds(1))
            .count();
    return static_cast<int>(std::min<long long>(nMs, INT_MAX));
}

CallerWait::CallerWait() : m_fds(kServerSlots), m_bDeadline(false), m_bEnded(false) {}

void CallerWait::clear() {
    m_fds.resize(kServerSlots);
    m_bDeadline = false;
    m_bEnded = false;
}

std::size_t CallerWait::add(int nFd, bool bData) {
    pollfd entry;
    entry.fd = nFd;
    entry.events = static_cast<short>(bData ? POLLIN | POLLRDHUP : POLLRDHUP);
    entry.revents = 0;
    m_fds.push_back(entry);
    return m_fds.size() - kServerSlots - 1;
}

void CallerWait::endBy(std::chrono::steady_clock::time_point deadline) {
    if (!m_bDeadline || deadline < m_deadline) {
        m_deadline = deadline;
        m_bDeadline = true;
    }
}

void CallerWait::reset() {
    for (pollfd& entry : m_fds) {
        entry.revents = 0;
    }
    m_bEnded = false;
}

int CallerWait::poll(CallerWait* pWait, pollfd* pServer, std::size_t nServer, int nTimeoutMs,
                     bool* pbCallerReady) {
    *pbCallerReady = false;
    if (pWait == 0) {
        return posix::poll(pServer, nServer, nTimeoutMs);
    }
    std::vector<pollfd>& fds = pWait->m_fds;
    for (std::size_t i = 0; i < kServerSlots; ++i) {
        if (i < nServer) {
            fds[i] = pServer[i];
        } else {
            fds[i].fd = -1;  // poll skips it
            fds[i].events = 0;
        }
        fds[i].revents = 0;
    }
    if (pWait->m_bDeadline) {
        int nLeftMs = msUntil(pWait->m_deadline);
        nTimeoutMs = nTimeoutMs < 0 ? nLeftMs : std::min(nTimeoutMs, nLeftMs);
    }
    int rc = posix::poll(fds.data(), fds.size(), nTimeoutMs);
    for (std::size_t i = 0; i < nServer; ++i) {
        pServer[i].revents = fds[i].revents;
    }
    if (rc < 0) {
        return rc;
    }
    bool bReady = pWait->m_bDeadline && std::chrono::steady_clock::now() >= pWait->m_deadline;
    for (std::size_t i = kServerSlots; i < fds.size() && !bReady; ++i) {
        bReady = fds[i].revents != 0;
    }
    pWait->m_bEnded = pWait->m_bEnded || bReady;
    *pbCallerReady = bReady;
    return rc;
}

}  // namespace detail
}  // namespace MirelNet
