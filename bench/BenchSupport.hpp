// Helpers shared by the benchmarks: options, the registry of benchmark groups, the results
// table, latency records, raw-socket peers and a plain event for the baselines.
//
// Each benchmark registers a pair (libmnet, baseline) under one comparison; the pair is
// registered once per round, library first, so both sides of a round run one after the other
// in the same process under the same load. The table reports the median over rounds of each
// side and the median of the per-round ratios.
#ifndef MNET_BENCH_SUPPORT_HPP
#define MNET_BENCH_SUPPORT_HPP

#include <benchmark/benchmark.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace mnetbench {

struct Options {
    bool bSmoke = false;     // a few iterations of everything, seconds in all
    int nRounds = 5;         // library/baseline pairs per comparison
    std::string sTablePath;  // where the Markdown section goes (empty: standard output)
    std::string sSelf;       // this program, for the child measurements
};

Options& options();
// n in a full run, nSmoke in a smoke run.
long scaled(long n, long nSmoke);

// One measured side: a benchmark name and how to read its result.
enum Kind {
    RATE,     // items per second, higher is better
    LATENCY,  // rate plus p50/p99/max latency of each item
    VALUE     // plain numbers reported by counters, no ratio
};

// A line of the results table comparing libmnet with its baseline.
struct Comparison {
    std::string sSection;  // "2. Stream of values"
    std::string sLabel;    // "TCP, 1,000,000 ints"
    std::string sUnit;     // "values/s"
    Kind kind;
    double dTarget;          // least acceptable ratio; 0: context only
    std::string sMnet;       // benchmark name of the library side
    std::string sBase;       // benchmark name of the baseline side ("" for none)
    std::string sBaseLabel;  // what the baseline is
    std::string sNote;
    bool bOnce = false;  // one round only (a slow context line)
    // The ratio compares rates (libmnet / baseline), or with bRatioOnMedian median latencies
    // (baseline / libmnet, so that higher is better either way).
    bool bRatioOnMedian = false;
    // VALUE lines: the counters shown, in order, each as a format with one %s for the value.
    std::vector<std::pair<std::string, std::string> > values;
};

typedef std::function<void(benchmark::State&)> BenchFn;

// Declares a comparison and registers its two sides, once per round. sBase and baseFn may be
// empty for a library-only line; sMnet and mnetFn may be empty for a context-only line.
void compare(const Comparison& comparison, const BenchFn& mnetFn, const BenchFn& baseFn,
             const std::function<void(benchmark::internal::Benchmark*)>& configure);

// Benchmark files add their registration function at static initialisation.
struct Registrar {
    explicit Registrar(void (*pfnRegister)());
};
void registerAll();

// Runs the benchmarks and writes the Markdown section. Returns the exit code for main.
int runAndReport(const char* pszTitle);

// Per-item latencies in microseconds; sets p50_us, p99_us and max_us on the state.
class Latencies {
public:
    explicit Latencies(std::size_t nReserve) { m_values.reserve(nReserve); }
    void add(std::chrono::steady_clock::duration d) {
        m_values.push_back(std::chrono::duration<double, std::micro>(d).count());
    }
    void report(benchmark::State& state);

private:
    std::vector<double> m_values;
};

// A plain manual-reset event for the baselines.
class Signal {
public:
    void set();
    void reset();
    // True when set within nTimeoutMs.
    bool wait(int nTimeoutMs);

private:
    std::mutex m_mutex;
    std::condition_variable m_cond;
    bool m_bSet = false;
};

// A name no other process uses at the same time ("<prefix><pid>x<n>").
std::string uniqueName(const std::string& sPrefix);
extern const char* const kSharedServiceDir;
bool sharedServiceDirUsable();

// Raw sockets. Listeners bind 127.0.0.1 with a port chosen by the system.
int rawTcpListen(int* pnPort, int nBacklog);
int rawTcpConnect(int nPort, bool bNoDelay);
int rawUdpBind(int* pnPort);
int rawUnixListen(const std::string& sPath, int nBacklog);
int rawUnixConnect(const std::string& sPath);
// Whole-buffer send and receive, retrying on EINTR; false when the peer went away.
bool sendAll(int nFd, const void* pData, std::size_t nSize);
bool recvAll(int nFd, void* pData, std::size_t nSize);

// Child modes: the program run as "<self> --child=<name> <arg>" runs fn(arg) and exits with
// its result, for measurements that need a fresh process.
struct ChildMode {
    ChildMode(const char* pszName, int (*pfn)(const std::string&));
};
// Runs the child named sName; -1 when there is none.
int runChild(const std::string& sName, const std::string& sArg);

// Resident set size of this process in KiB (VmRSS of /proc/self/status).
long residentKib();
long minorFaults();

}  // namespace mnetbench

#endif
