// The counted calls. Each definition here takes the place of the C library's for the whole
// program (libmnet included: the program exports them), counts, and calls the C library's own,
// found with dlsym(RTLD_NEXT).
#undef _FORTIFY_SOURCE  // the fortified inline forms of read and recv would clash with ours
#include "SyscallCount.hpp"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <mutex>
#include <vector>

namespace mnetbench {
namespace {

// One counter per thread, never freed, so that the calls of ended threads still count.
struct Counter {
    std::atomic<long> nCalls{0};
};

std::mutex g_countersLock;  // guards g_counters
std::vector<Counter*> g_counters;
thread_local Counter* t_pCounter = nullptr;

void count() {
    Counter* pCounter = t_pCounter;
    if (pCounter == nullptr) {
        pCounter = new Counter;
        std::lock_guard<std::mutex> guard(g_countersLock);
        g_counters.push_back(pCounter);
        t_pCounter = pCounter;
    }
    pCounter->nCalls.store(pCounter->nCalls.load(std::memory_order_relaxed) + 1,
                           std::memory_order_relaxed);
}

template <class F>
F next(const char* pszName) {
    return reinterpret_cast<F>(::dlsym(RTLD_NEXT, pszName));
}

}  // namespace

long systemCallsSoFar() {
    std::lock_guard<std::mutex> guard(g_countersLock);
    long nTotal = 0;
    for (const Counter* pCounter : g_counters) {
        nTotal += pCounter->nCalls.load(std::memory_order_relaxed);
    }
    return nTotal;
}

}  // namespace mnetbench

// The program is built with hidden symbols; these must be seen by the libraries it loads.
#define MNET_VISIBLE __attribute__((visibility("default")))

// Counts the call, then makes it through the C library's definition of the same name.
#define MNET_COUNTED(ret, name, params, args)         \
    MNET_VISIBLE ret name params {                    \
        using Fn = ret(*) params;                     \
        static Fn s_pfn = mnetbench::next<Fn>(#name); \
        mnetbench::count();                           \
        return s_pfn args;                            \
    }
#define MNET_COUNTED_NOTHROW(ret, name, params, args) \
    MNET_VISIBLE ret name params noexcept {           \
        using Fn = ret(*) params;                     \
        static Fn s_pfn = mnetbench::next<Fn>(#name); \
        mnetbench::count();                           \
        return s_pfn args;                            \
    }

extern "C" {
MNET_COUNTED_NOTHROW(int, socket, (int d, int t, int p), (d, t, p))
MNET_COUNTED(int, connect, (int fd, const sockaddr* a, socklen_t n), (fd, a, n))
MNET_COUNTED(int, accept, (int fd, sockaddr* a, socklen_t* n), (fd, a, n))
MNET_COUNTED(int, accept4, (int fd, sockaddr* a, socklen_t* n, int f), (fd, a, n, f))
MNET_COUNTED_NOTHROW(int, bind, (int fd, const sockaddr* a, socklen_t n), (fd, a, n))
MNET_COUNTED_NOTHROW(int, listen, (int fd, int n), (fd, n))
MNET_COUNTED(ssize_t, send, (int fd, const void* p, size_t n, int f), (fd, p, n, f))
MNET_COUNTED(ssize_t, sendto,
             (int fd, const void* p, size_t n, int f, const sockaddr* a, socklen_t l),
             (fd, p, n, f, a, l))
MNET_COUNTED(ssize_t, sendmsg, (int fd, const msghdr* m, int f), (fd, m, f))
MNET_COUNTED(ssize_t, recv, (int fd, void* p, size_t n, int f), (fd, p, n, f))
MNET_COUNTED(ssize_t, recvfrom, (int fd, void* p, size_t n, int f, sockaddr* a, socklen_t* l),
             (fd, p, n, f, a, l))
MNET_COUNTED(ssize_t, recvmsg, (int fd, msghdr* m, int f), (fd, m, f))
MNET_COUNTED(ssize_t, read, (int fd, void* p, size_t n), (fd, p, n))
MNET_COUNTED(ssize_t, write, (int fd, const void* p, size_t n), (fd, p, n))
MNET_COUNTED(int, poll, (pollfd * p, nfds_t n, int t), (p, n, t))
MNET_COUNTED(int, ppoll, (pollfd * p, nfds_t n, const timespec* t, const sigset_t* m), (p, n, t, m))
MNET_COUNTED(int, epoll_wait, (int fd, epoll_event* e, int n, int t), (fd, e, n, t))
MNET_COUNTED_NOTHROW(int, setsockopt, (int fd, int l, int o, const void* v, socklen_t n),
                     (fd, l, o, v, n))
MNET_COUNTED_NOTHROW(int, getsockopt, (int fd, int l, int o, void* v, socklen_t* n),
                     (fd, l, o, v, n))
MNET_COUNTED_NOTHROW(int, getsockname, (int fd, sockaddr* a, socklen_t* n), (fd, a, n))
MNET_COUNTED_NOTHROW(int, shutdown, (int fd, int h), (fd, h))
MNET_COUNTED(int, close, (int fd), (fd))

// Variadic: every command that takes an argument takes one of pointer size or less.
MNET_VISIBLE int fcntl(int fd, int cmd, ...) {
    using Fn = int (*)(int, int, ...);
    static Fn s_pfn = mnetbench::next<Fn>("fcntl");
    va_list args;
    va_start(args, cmd);
    void* pArg = va_arg(args, void*);
    va_end(args);
    mnetbench::count();
    return s_pfn(fd, cmd, pArg);
}
}
