// The CPU time of the child processes a benchmark starts and reaps. The
// library's CPU clock counts only this process; where part of the measured
// work runs in a child (a spawned program, a guardian and its engine), a
// benchmark declares one of these before its loop and the reporter adds the
// children's time to the process's. The kernel adds a child's time when it
// is reaped, so only children reaped before the benchmark returns count.

#pragma once

#include <sys/resource.h>

#include <benchmark/benchmark.h>

namespace korvelin::bench {

inline constexpr const char* kChildrenCpuCounter = "childrenCPU_s";

class ChildrenCpu {
 public:
  explicit ChildrenCpu(benchmark::State& state) : state_(state), start_(seconds()) {}
  ~ChildrenCpu() {
    state_.counters[kChildrenCpuCounter] =
        benchmark::Counter(seconds() - start_, benchmark::Counter::kAvgIterations);
  }
  ChildrenCpu(const ChildrenCpu&) = delete;
  ChildrenCpu& operator=(const ChildrenCpu&) = delete;

 private:
  static double seconds() {
    rusage usage{};
    ::getrusage(RUSAGE_CHILDREN, &usage);
    auto toSeconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    return toSeconds(usage.ru_utime) + toSeconds(usage.ru_stime);
  }

  benchmark::State& state_;
  double start_;
};

}  // namespace korvelin::bench
