// Internal: one deadline for the whole exchange of a notification, connecting and sending. Not
// installed.
//
// remoteNotify holds an ExchangeDeadline while it connects and writes. The pipe and TCP
// connections that the thread establishes meanwhile bound their blocking connect and sends by
// the time left (SO_SNDTIMEO, one call: on Linux it bounds a blocking connect of TCP and local
// stream sockets too), and report a call cut short by it as ETIMEDOUT (110). Without a
// deadline nothing changes: a connection used directly keeps its blocking connect and sends.
//
// Threads: the deadline belongs to the thread that holds it; nothing is shared.
#ifndef MNET_INTERNAL_EXCHANGE_DEADLINE_HPP
#define MNET_INTERNAL_EXCHANGE_DEADLINE_HPP

#include <chrono>

namespace MirelNet {
namespace detail {

class ExchangeDeadline {
public:
    // The default deadline of one notification.
    static const int kDefaultMs = 5000;
    // The longest MIREL_NOTIFY_TIMEOUT_MS taken.
    static const int kLongestMs = 600000;

    // Starts the deadline for the calling thread; the previous one comes back when it goes.
    explicit ExchangeDeadline(int nTimeoutMs);
    ~ExchangeDeadline();

    // The deadline of one notification: MIREL_NOTIFY_TIMEOUT_MS when it is a whole number of
    // milliseconds from 1 to kLongestMs, else kDefaultMs (a bad value is logged once, level 1).
    static int notifyTimeoutMs();

    // For establishImpl, right after the socket was made: bounds its blocking calls by the
    // time left. False, and nothing done, when the thread has no deadline.
    static bool bound(int nFd);
    // After a successful connect that took a noticeable share of the time: shortens the bound
    // to what is left, so that the sends end by the deadline too.
    static void tighten(int nFd);
    // What a failed connect or send on nFd reports: ETIMEDOUT where the bound cut the call
    // short (EINPROGRESS, EAGAIN), nError otherwise.
    static int failure(int nFd, int nError);
    // After a partial send on nFd: true to send the rest (the bound shortened to the time
    // left), false when the deadline has passed. Always true for a socket not bounded.
    static bool sendOn(int nFd);
    // Milliseconds left for a wait on nFd; -1 when it is not bounded.
    static int msLeft(int nFd);
    // The deadline has come.
    bool passed() const { return std::chrono::steady_clock::now() >= m_deadline; }

private:
    ExchangeDeadline(const ExchangeDeadline&);
    ExchangeDeadline& operator=(const ExchangeDeadline&);

    static ExchangeDeadline* boundOn(int nFd);
    bool apply(int nFd);

    ExchangeDeadline* m_pPrevious;
    std::chrono::steady_clock::time_point m_deadline;
    int m_nFd;  // the socket bounded last; -1 before
    std::chrono::steady_clock::time_point m_boundAt;
};

}  // namespace detail
}  // namespace MirelNet

#endif
