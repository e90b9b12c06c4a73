#include "internal/ExchangeDeadline.hpp"

#include <sys/socket.h>
#include <sys/time.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "MirelLogging.hpp"

namespace MirelNet {
namespace detail {

namespace {

thread_local ExchangeDeadline* t_pDeadline = 0;

// A connect that took longer than this has used enough of the time to shorten the bound for
// the sends; a faster one (the usual case) costs no second call.
const std::chrono::milliseconds kTightenAfter(10);

// A whole number of milliseconds from 1 to nLongest, digits only; -1 for anything else.
int parseMs(const char* pszText, int nLongest) {
    std::size_t nLength = std::strlen(pszText);
    if (nLength == 0 || nLength > 9) {
        return -1;
    }
    long nValue = 0;
    for (const char* p = pszText; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') {
            return -1;
        }
        nValue = nValue * 10 + (*p - '0');
    }
    return nValue >= 1 && nValue <= nLongest ? static_cast<int>(nValue) : -1;
}

}  // namespace

ExchangeDeadline::ExchangeDeadline(int nTimeoutMs)
    : m_pPrevious(t_pDeadline),
      m_deadline(std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs)),
      m_nFd(-1) {
    t_pDeadline = this;
}

ExchangeDeadline::~ExchangeDeadline() {
    t_pDeadline = m_pPrevious;
}

int ExchangeDeadline::notifyTimeoutMs() {
    static std::atomic<bool> s_bReported(false);
    const char* pszValue = std::getenv("MIREL_NOTIFY_TIMEOUT_MS");
    if (pszValue == 0) {
        return kDefaultMs;
    }
    int nMs = parseMs(pszValue, kLongestMs);
    if (nMs > 0) {
        return nMs;
    }
    if (!s_bReported.exchange(true)) {
        MIREL_LOG(1) << "MirelProxyDependent::remoteNotify: MIREL_NOTIFY_TIMEOUT_MS=\"" << pszValue
                     << "\" is not a number of milliseconds from 1 to " << kLongestMs << ", using "
                     << kDefaultMs << MirelSupport::endrecord;
    }
    return kDefaultMs;
}

bool ExchangeDeadline::apply(int nFd) {
    std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now();
    long long nLeftUs =
        std::chrono::duration_cast<std::chrono::microseconds>(m_deadline - now).count();
    // A bound of zero would mean no bound at all: what has run out gets the shortest one.
    if (nLeftUs < 1000) {
        nLeftUs = 1000;
    }
    timeval timeout;
    timeout.tv_sec = static_cast<time_t>(nLeftUs / 1000000);
    timeout.tv_usec = static_cast<suseconds_t>(nLeftUs % 1000000);
    m_nFd = nFd;
    m_boundAt = now;
    return ::setsockopt(nFd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout) == 0;
}

ExchangeDeadline* ExchangeDeadline::boundOn(int nFd) {
    ExchangeDeadline* pDeadline = t_pDeadline;
    return pDeadline != 0 && nFd >= 0 && pDeadline->m_nFd == nFd ? pDeadline : 0;
}

bool ExchangeDeadline::bound(int nFd) {
    return t_pDeadline != 0 && nFd >= 0 && t_pDeadline->apply(nFd);
}

void ExchangeDeadline::tighten(int nFd) {
    ExchangeDeadline* pDeadline = boundOn(nFd);
    if (pDeadline != 0 &&
        std::chrono::steady_clock::now() - pDeadline->m_boundAt >= kTightenAfter) {
        pDeadline->apply(nFd);
    }
}

int ExchangeDeadline::failure(int nFd, int nError) {
    if ((nError == EINPROGRESS || nError == EAGAIN || nError == EWOULDBLOCK) && boundOn(nFd)) {
        return ETIMEDOUT;
    }
    return nError;
}

bool ExchangeDeadline::sendOn(int nFd) {
    ExchangeDeadline* pDeadline = boundOn(nFd);
    if (pDeadline == 0) {
        return true;
    }
    if (std::chrono::steady_clock::now() >= pDeadline->m_deadline) {
        return false;
    }
    pDeadline->apply(nFd);
    return true;
}

int ExchangeDeadline::msLeft(int nFd) {
    ExchangeDeadline* pDeadline = boundOn(nFd);
    if (pDeadline == 0) {
        return -1;
    }
    long long nMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                        pDeadline->m_deadline - std::chrono::steady_clock::now())
                        .count();
    return nMs > 0 ? static_cast<int>(nMs) : 0;
}

}  // namespace detail
}  // namespace MirelNet
