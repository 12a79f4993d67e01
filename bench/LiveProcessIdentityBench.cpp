// What a liveness check costs: `capture` and `isCurrent` (the guardian calls
// it every 200 ms for its attached controller) against a bare kill(pid, 0).

#include <signal.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include "core/process/LiveProcessIdentity.h"

namespace {

void baselineKill0(benchmark::State& state) {
  const pid_t pid = ::getpid();
  for (auto _ : state)
    benchmark::DoNotOptimize(::kill(pid, 0));
}
BENCHMARK(baselineKill0)->Name("Identity/baseline:kill0")->MeasureProcessCPUTime();

void capture(benchmark::State& state) {
  const pid_t pid = ::getpid();
  for (auto _ : state)
    benchmark::DoNotOptimize(korvelin::LiveProcessIdentity::capture(pid));
}
BENCHMARK(capture)->Name("Identity/capture")->MeasureProcessCPUTime();

void isCurrent(benchmark::State& state) {
  const auto identity = *korvelin::LiveProcessIdentity::capture(::getpid());
  for (auto _ : state)
    benchmark::DoNotOptimize(identity.isCurrent());
}
BENCHMARK(isCurrent)->Name("Identity/isCurrent")->MeasureProcessCPUTime();

void liveArguments(benchmark::State& state) {
  const pid_t pid = ::getpid();
  for (auto _ : state)
    benchmark::DoNotOptimize(korvelin::liveArguments(pid));
}
BENCHMARK(liveArguments)->Name("Identity/liveArguments")->MeasureProcessCPUTime();

}  // namespace
