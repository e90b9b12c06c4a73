// System calls counted in this process: the benchmark program defines the socket, descriptor
// and wait calls itself, counts each and passes it on to the C library, so that every call the
// library, its peers and the baselines make is counted as it is made, on every thread. Memory
// calls and futex waits are not counted (no transport makes them).
//
// A count costs one increment of a counter of the calling thread. Threads: any.
#ifndef MNET_BENCH_SYSCALL_COUNT_HPP
#define MNET_BENCH_SYSCALL_COUNT_HPP

namespace mnetbench {

// The calls made so far by all threads, ended ones included.
long systemCallsSoFar();

}  // namespace mnetbench

#endif
