#include "BenchSupport.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

#include "SyscallCount.hpp"

namespace mnetbench {

Options& options() {
    static Options s_options;
    return s_options;
}

long scaled(long n, long nSmoke) {
    return options().bSmoke ? nSmoke : n;
}

namespace {

std::vector<void (*)()>& registrars() {
    static std::vector<void (*)()> s_registrars;
    return s_registrars;
}

std::vector<Comparison>& comparisons() {
    static std::vector<Comparison> s_comparisons;
    return s_comparisons;
}

struct Result {
    bool bError = false;
    std::string sError;
    std::map<std::string, double> counters;
};

// Runs of each benchmark name, in the order they ran (one per round).
std::map<std::string, std::vector<Result> >& results() {
    static std::map<std::string, std::vector<Result> > s_results;
    return s_results;
}

// The console output as usual, and every run kept for the table.
class CollectingReporter : public benchmark::ConsoleReporter {
public:
    // Colours only on a terminal.
    CollectingReporter() : benchmark::ConsoleReporter(::isatty(1) ? OO_Defaults : OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        benchmark::ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration) {
                continue;
            }
            Result result;
            result.bError = run.error_occurred;
            result.sError = run.error_message;
            for (const auto& counter : run.counters) {
                result.counters[counter.first] = counter.second.value;
            }
            results()[run.run_name.function_name].push_back(result);
        }
    }
};

double median(std::vector<double> values) {
    if (values.empty()) {
        return NAN;
    }
    std::sort(values.begin(), values.end());
    std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::vector<double> counterValues(const std::vector<Result>& runs, const std::string& sKey) {
    std::vector<double> values;
    for (const Result& r : runs) {
        auto it = r.counters.find(sKey);
        if (!r.bError && it != r.counters.end()) {
            values.push_back(it->second);
        }
    }
    return values;
}

// 3 significant digits with k/M suffixes for rates.
std::string rateText(double d) {
    char sz[32];
    if (std::isnan(d)) {
        return "n/a";
    }
    if (d >= 1e6) {
        std::snprintf(sz, sizeof sz, "%.3g M ", d / 1e6);
    } else if (d >= 1e3) {
        std::snprintf(sz, sizeof sz, "%.3g k ", d / 1e3);
    } else {
        std::snprintf(sz, sizeof sz, "%.3g ", d);
    }
    return sz;
}

std::string microText(double dUs) {
    char sz[32];
    if (std::isnan(dUs)) {
        return "n/a";
    }
    if (dUs >= 1000) {
        std::snprintf(sz, sizeof sz, "%.3g ms", dUs / 1000);
    } else {
        std::snprintf(sz, sizeof sz, "%.3g µs", dUs);
    }
    return sz;
}

std::string numberText(double d) {
    char sz[32];
    if (std::isnan(d)) {
        return "n/a";
    }
    if (d == std::floor(d) && std::fabs(d) < 1e12) {
        std::snprintf(sz, sizeof sz, "%.0f", d);
    } else {
        std::snprintf(sz, sizeof sz, "%.3g", d);
    }
    return sz;
}

std::string cell(const Comparison& c, const std::string& sName) {
    if (sName.empty()) {
        return "—";
    }
    auto it = results().find(sName);
    if (it == results().end() || it->second.empty()) {
        return "not run";
    }
    const std::vector<Result>& runs = it->second;
    for (const Result& r : runs) {
        if (r.bError) {
            return "error: " + r.sError;
        }
    }
    std::ostringstream out;
    if (c.kind == VALUE) {
        bool bFirst = true;
        for (const auto& value : c.values) {
            char sz[128];
            std::string sNumber = numberText(median(counterValues(runs, value.first)));
            std::snprintf(sz, sizeof sz, value.second.c_str(), sNumber.c_str());
            out << (bFirst ? "" : ", ") << sz;
            bFirst = false;
        }
        return out.str();
    }
    out << rateText(median(counterValues(runs, "items_per_second"))) << c.sUnit;
    if (c.kind == LATENCY) {
        std::vector<double> maxima = counterValues(runs, "max_us");
        double dMax = maxima.empty() ? NAN : *std::max_element(maxima.begin(), maxima.end());
        out << "; p50 " << microText(median(counterValues(runs, "p50_us"))) << ", p99 "
            << microText(median(counterValues(runs, "p99_us"))) << ", max " << microText(dMax);
    }
    std::vector<double> lost = counterValues(runs, "lost");
    double dLost = 0;
    for (double d : lost) {
        dLost += d;
    }
    if (dLost > 0) {
        out << "; " << numberText(dLost) << " lost";
    }
    return out.str();
}

// Median over rounds of the system calls per item, one decimal; "—" for none.
std::string callsText(const std::string& sName) {
    auto it = results().find(sName);
    if (sName.empty() || it == results().end()) {
        return "—";
    }
    double dCalls = median(counterValues(it->second, "calls_per_item"));
    if (std::isnan(dCalls)) {
        return "—";
    }
    char sz[32];
    std::snprintf(sz, sizeof sz, "%.1f", dCalls);
    return sz;
}

// Median over rounds of library rate / baseline rate, paired round by round.
double ratio(const Comparison& c) {
    if (c.kind == VALUE || c.sMnet.empty() || c.sBase.empty()) {
        return NAN;
    }
    const char* pszKey = c.bRatioOnMedian ? "p50_us" : "items_per_second";
    std::vector<double> mnet = counterValues(results()[c.sMnet], pszKey);
    std::vector<double> base = counterValues(results()[c.sBase], pszKey);
    std::vector<double> ratios;
    for (std::size_t i = 0; i < mnet.size() && i < base.size(); ++i) {
        if (base[i] > 0 && mnet[i] > 0) {
            ratios.push_back(c.bRatioOnMedian ? base[i] / mnet[i] : mnet[i] / base[i]);
        }
    }
    return median(ratios);
}

void writeTable(std::ostream& out, const char* pszTitle) {
    out << "## " << pszTitle << "\n";
    std::string sSection;
    for (const Comparison& c : comparisons()) {
        if (results().find(c.sMnet) == results().end() &&
            results().find(c.sBase) == results().end()) {
            continue;  // filtered out
        }
        if (c.sSection != sSection) {
            sSection = c.sSection;
            out << "\n### " << sSection << "\n\n";
            out << "| Measure | libmnet | baseline | ratio | calls per item (libmnet / baseline) "
                   "| target | |\n";
            out << "|---|---|---|---|---|---|---|\n";
        }
        double dRatio = ratio(c);
        char szRatio[32] = "—";
        if (!std::isnan(dRatio)) {
            std::snprintf(szRatio, sizeof szRatio, c.bRatioOnMedian ? "%.2f (p50)" : "%.2f",
                          dRatio);
        }
        char szTarget[32] = "context";
        std::string sVerdict;
        if (c.dTarget > 0) {
            std::snprintf(szTarget, sizeof szTarget, "≥ %.2g", c.dTarget);
            sVerdict = std::isnan(dRatio) ? "?" : (dRatio >= c.dTarget ? "met" : "**not met**");
        }
        std::string sBase = c.sBase.empty() ? "—" : cell(c, c.sBase);
        if (!c.sBaseLabel.empty()) {
            sBase = c.sBaseLabel + ": " + sBase;
        }
        std::string sLabel = c.sLabel;
        if (!c.sNote.empty()) {
            sLabel += " (" + c.sNote + ")";
        }
        std::string sCalls = callsText(c.sMnet) + " / " + callsText(c.sBase);
        if (sCalls == "— / —") {
            sCalls = "—";
        }
        out << "| " << sLabel << " | " << cell(c, c.sMnet) << " | " << sBase << " | " << szRatio
            << " | " << sCalls << " | " << szTarget << " | " << sVerdict << " |\n";
    }
    out << "\n";
}

std::atomic<int> g_nNameCounter(0);

}  // namespace

namespace {

// fn, and the system calls it made (setting up and tearing down included) per item processed.
BenchFn countingCalls(const BenchFn& fn) {
    return [fn](benchmark::State& state) {
        long nBefore = systemCallsSoFar();
        fn(state);
        long nCalls = systemCallsSoFar() - nBefore;
        if (state.items_processed() > 0) {
            state.counters["calls_per_item"] =
                static_cast<double>(nCalls) / static_cast<double>(state.items_processed());
        }
    };
}

}  // namespace

void compare(const Comparison& comparison, const BenchFn& mnetFn, const BenchFn& baseFn,
             const std::function<void(benchmark::internal::Benchmark*)>& configure) {
    comparisons().push_back(comparison);
    int nRounds = options().bSmoke || comparison.bOnce ? 1 : std::max(1, options().nRounds);
    for (int i = 0; i < nRounds; ++i) {
        if (!comparison.sMnet.empty() && mnetFn) {
            configure(
                benchmark::RegisterBenchmark(comparison.sMnet.c_str(), countingCalls(mnetFn)));
        }
        if (!comparison.sBase.empty() && baseFn) {
            configure(
                benchmark::RegisterBenchmark(comparison.sBase.c_str(), countingCalls(baseFn)));
        }
    }
}

Registrar::Registrar(void (*pfnRegister)()) {
    registrars().push_back(pfnRegister);
}

namespace {

std::map<std::string, int (*)(const std::string&)>& childModes() {
    static std::map<std::string, int (*)(const std::string&)> s_modes;
    return s_modes;
}

}  // namespace

ChildMode::ChildMode(const char* pszName, int (*pfn)(const std::string&)) {
    childModes()[pszName] = pfn;
}

int runChild(const std::string& sName, const std::string& sArg) {
    auto it = childModes().find(sName);
    return it == childModes().end() ? -1 : it->second(sArg);
}

void registerAll() {
    for (auto pfn : registrars()) {
        pfn();
    }
}

int runAndReport(const char* pszTitle) {
    CollectingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    bool bFailed = false;
    for (const auto& entry : results()) {
        for (const Result& r : entry.second) {
            bFailed = bFailed || r.bError;
        }
    }
    if (options().sTablePath.empty()) {
        writeTable(std::cout, pszTitle);
    } else {
        std::ofstream file(options().sTablePath.c_str());
        writeTable(file, pszTitle);
        if (!file) {
            std::cerr << "cannot write " << options().sTablePath << "\n";
            return 1;
        }
    }
    return bFailed ? 1 : 0;
}

void Latencies::report(benchmark::State& state) {
    if (m_values.empty()) {
        return;
    }
    std::vector<double> sorted(m_values);
    std::sort(sorted.begin(), sorted.end());
    auto at = [&sorted](double q) {
        std::size_t i = static_cast<std::size_t>(std::ceil(q * static_cast<double>(sorted.size())));
        return sorted[std::min(sorted.size() - 1, i == 0 ? 0 : i - 1)];
    };
    state.counters["p50_us"] = at(0.50);
    state.counters["p99_us"] = at(0.99);
    state.counters["max_us"] = sorted.back();
}

void Signal::set() {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_bSet = true;
    m_cond.notify_all();
}

void Signal::reset() {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_bSet = false;
}

bool Signal::wait(int nTimeoutMs) {
    std::unique_lock<std::mutex> guard(m_mutex);
    return m_cond.wait_for(guard, std::chrono::milliseconds(nTimeoutMs), [this] { return m_bSet; });
}

const char* const kSharedServiceDir = "/opt/mirel/pelnix/var/lib/corvane/shrsvc/";

std::string uniqueName(const std::string& sPrefix) {
    char sz[64];
    std::snprintf(sz, sizeof sz, "%dx%d", static_cast<int>(::getpid()),
                  g_nNameCounter.fetch_add(1));
    return sPrefix + sz;
}

bool sharedServiceDirUsable() {
    struct stat info;
    return ::stat(kSharedServiceDir, &info) == 0 && S_ISDIR(info.st_mode) &&
           ::access(kSharedServiceDir, W_OK | X_OK) == 0;
}

namespace {

sockaddr_in loopback(int nPort) {
    sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(nPort));
    return address;
}

int bindLoopback(int nType, int* pnPort) {
    int nFd = ::socket(AF_INET, nType | SOCK_CLOEXEC, 0);
    if (nFd < 0) {
        return -1;
    }
    sockaddr_in address = loopback(0);
    socklen_t nLength = sizeof address;
    if (::bind(nFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(nFd, reinterpret_cast<sockaddr*>(&address), &nLength) != 0) {
        ::close(nFd);
        return -1;
    }
    *pnPort = ntohs(address.sin_port);
    return nFd;
}

bool unixAddress(const std::string& sPath, sockaddr_un* pAddress) {
    std::memset(pAddress, 0, sizeof *pAddress);
    pAddress->sun_family = AF_UNIX;
    if (sPath.size() >= sizeof pAddress->sun_path) {
        return false;
    }
    std::memcpy(pAddress->sun_path, sPath.c_str(), sPath.size());
    return true;
}

}  // namespace

int rawTcpListen(int* pnPort, int nBacklog) {
    int nFd = bindLoopback(SOCK_STREAM, pnPort);
    if (nFd >= 0 && ::listen(nFd, nBacklog) != 0) {
        ::close(nFd);
        return -1;
    }
    return nFd;
}

int rawTcpConnect(int nPort, bool bNoDelay) {
    int nFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (nFd < 0) {
        return -1;
    }
    if (bNoDelay) {
        int nOn = 1;
        ::setsockopt(nFd, IPPROTO_TCP, TCP_NODELAY, &nOn, sizeof nOn);
    }
    sockaddr_in address = loopback(nPort);
    if (::connect(nFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(nFd);
        return -1;
    }
    return nFd;
}

int rawUdpBind(int* pnPort) {
    return bindLoopback(SOCK_DGRAM, pnPort);
}

int rawUnixListen(const std::string& sPath, int nBacklog) {
    sockaddr_un address;
    if (!unixAddress(sPath, &address)) {
        return -1;
    }
    ::unlink(sPath.c_str());
    int nFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (nFd < 0) {
        return -1;
    }
    if (::bind(nFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(nFd, nBacklog) != 0) {
        ::close(nFd);
        return -1;
    }
    return nFd;
}

int rawUnixConnect(const std::string& sPath) {
    sockaddr_un address;
    if (!unixAddress(sPath, &address)) {
        return -1;
    }
    int nFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (nFd < 0) {
        return -1;
    }
    if (::connect(nFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(nFd);
        return -1;
    }
    return nFd;
}

bool sendAll(int nFd, const void* pData, std::size_t nSize) {
    const char* p = static_cast<const char*>(pData);
    while (nSize > 0) {
        ssize_t n = ::send(nFd, p, nSize, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        p += n;
        nSize -= static_cast<std::size_t>(n);
    }
    return true;
}

bool recvAll(int nFd, void* pData, std::size_t nSize) {
    char* p = static_cast<char*>(pData);
    while (nSize > 0) {
        ssize_t n = ::recv(nFd, p, nSize, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        p += n;
        nSize -= static_cast<std::size_t>(n);
    }
    return true;
}

long residentKib() {
    std::ifstream status("/proc/self/status");
    std::string sLine;
    while (std::getline(status, sLine)) {
        if (sLine.compare(0, 6, "VmRSS:") == 0) {
            return std::atol(sLine.c_str() + 6);
        }
    }
    return -1;
}

long minorFaults() {
    rusage usage;
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_minflt;
}

}  // namespace mnetbench
