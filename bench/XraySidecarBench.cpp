// Where the time of a guarded sidecar start goes (stand-in engine, loopback
// echo server as the egress probe's target): the guardian's start up to its
// READY line (including the durable record written before it), the listener
// checks (lsof), the egress probes (curl), the readiness loop's sleeps, and
// what is left: the library's own work. Counters are milliseconds per start;
// "attempts" is how many readiness rounds a start needed.

#include <signal.h>
#include <sys/stat.h>

#include <chrono>

#include <benchmark/benchmark.h>

#include "core/proxy/VLESSConnection.h"
#include "core/proxy/XraySidecarSupervisor.h"
#include "demo/LoopbackEchoServer.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"

namespace {

using namespace korvelin;
using Clock = std::chrono::steady_clock;

double millisecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

void guardedStart(benchmark::State& state) {
  ::signal(SIGPIPE, SIG_IGN);
  testing::ScopedTempDir dir;
  ::chmod(dir.path().c_str(), 0700);
  const Uuid id = Uuid::random();
  ProfilePaths paths(id, dir.path());
  ProfilePreparer(dir.path()).prepare(paths);
  demo::LoopbackEchoServer echo;
  const VLESSRealityConfiguration configuration(
      "vless://b831381d-6324-4d53-ad4f-8cda48b30811@127.0.0.1:443?type=tcp&security=reality"
      "&pbk=SbVKOEMjK0sIlbwg4akyBg5mL5KZwwB-ed4eEE7YnRc&sid=6ba85179e30d4fc2&sni=www.example.com"
      "&fp=chrome&flow=xtls-rprx-vision");

  Clock::time_point begin;
  std::optional<Clock::time_point> firstCheck;
  double listener = 0, probe = 0, toReady = 0, sleeps = 0, overhead = 0, attempts = 0, total = 0;
  XraySidecarSupervisor sidecar(
      [] { return testing::testProgramPath("standin-xray"); },
      [&](std::uint16_t port, double limit) {
        const auto t = Clock::now();
        auto text = XraySidecarSupervisor::curlEgressProbe(port, echo.url(), limit);
        probe += millisecondsSince(t);
        return text;
      },
      [&](std::int32_t pid, std::uint16_t port) {
        if (!firstCheck)
          firstCheck = Clock::now();
        ++attempts;
        const auto t = Clock::now();
        const bool listening = XraySidecarSupervisor::lsofListenerVerifier(pid, port);
        listener += millisecondsSince(t);
        return listening;
      },
      [] { return testing::guardianPath(); });
  sidecar.initializeManagedProfile(paths);

  for (auto _ : state) {
    firstCheck.reset();
    const double listenerBefore = listener, probeBefore = probe, attemptsBefore = attempts;
    begin = Clock::now();
    const auto handle = sidecar.start(id, Uuid::random(), configuration, paths);
    const double whole = millisecondsSince(begin);
    const double ready = std::chrono::duration<double, std::milli>(*firstCheck - begin).count();
    const double rounds = attempts - attemptsBefore;
    const double slept = (rounds - 1) * 150.0;
    total += whole;
    toReady += ready;
    sleeps += slept;
    overhead += whole - ready - (listener - listenerBefore) - (probe - probeBefore) - slept;
    state.PauseTiming();
    sidecar.stop(id, handle.generation);
    state.ResumeTiming();
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["total_ms"] = total / n;
  state.counters["ready_ms"] = toReady / n;
  state.counters["listener_ms"] = listener / n;
  state.counters["probe_ms"] = probe / n;
  state.counters["sleep_ms"] = sleeps / n;
  state.counters["overhead_ms"] = overhead / n;
  state.counters["overhead_share"] = overhead / total;
  state.counters["attempts"] = attempts / n;
}
BENCHMARK(guardedStart)
    ->Name("Sidecar/guarded start")
    ->MeasureProcessCPUTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(20)
    ->UseRealTime();

}  // namespace
