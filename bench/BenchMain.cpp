// Entry point of a benchmark program. Options of our own, before Google Benchmark's:
//   --smoke            a few iterations of each benchmark (seconds in all), one round
//   --rounds=N         library/baseline pairs per comparison (default 5)
//   --table=FILE       write the Markdown results section to FILE instead of standard output
//   --child=NAME ARG   internal: a measurement that needs a fresh process
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "BenchSupport.hpp"

#ifndef MNET_BENCH_TITLE
#define MNET_BENCH_TITLE "libmnet benchmarks"
#endif

int main(int argc, char** argv) {
    mnetbench::Options& options = mnetbench::options();
    char szSelf[4096];
    ssize_t nSelf = ::readlink("/proc/self/exe", szSelf, sizeof szSelf - 1);
    options.sSelf =
        nSelf > 0 ? std::string(szSelf, static_cast<std::size_t>(nSelf)) : std::string(argv[0]);
    int nKept = 1;
    for (int i = 1; i < argc; ++i) {
        const char* pszArg = argv[i];
        if (std::strcmp(pszArg, "--smoke") == 0) {
            options.bSmoke = true;
        } else if (std::strncmp(pszArg, "--rounds=", 9) == 0) {
            options.nRounds = std::atoi(pszArg + 9);
        } else if (std::strncmp(pszArg, "--table=", 8) == 0) {
            options.sTablePath = pszArg + 8;
        } else if (std::strncmp(pszArg, "--child=", 8) == 0) {
            return mnetbench::runChild(pszArg + 8, i + 1 < argc ? argv[i + 1] : "");
        } else {
            argv[nKept++] = argv[i];
        }
    }
    argc = nKept;
    mnetbench::registerAll();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 2;
    }
    return mnetbench::runAndReport(MNET_BENCH_TITLE);
}
