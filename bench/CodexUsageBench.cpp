// What the usage client adds to reading Codex's limits: the time from
// starting a session to its first snapshot, against the same `codex
// app-server` started and spoken to over a bare pipe (the same three lines,
// read until the answer), both against the loopback usage backend. And the
// host's CPU while a session idles for 30 s between polls: a session that
// waits in poll costs next to nothing; a busy loop would show here.
// Tearing the child down is left out of both timings.

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include <benchmark/benchmark.h>

#include "bench/ChildrenCpu.h"
#include "core/codex/CodexUsageAppServerClient.h"
#include "tests/support/CatalogFixtures.h"
#include "tests/support/CodexProfile.h"
#include "tests/support/CodexUsageSupport.h"
#include "tests/support/RealXray.h"

namespace {

using namespace korvelin;
using namespace std::chrono_literals;

struct SignedInProfile {
  testing::UsageBackendMock backend;
  testing::CodexProfile profile;
  std::optional<std::string> codex;

  SignedInProfile() {
    std::string reason;
    codex = testing::realCodexPath(reason);
    ::mkdir(profile.codexHome().c_str(), 0700);
    testing::signInToUsageBackend(
        profile.codexHome(),
        "http://127.0.0.1:" + std::to_string(backend.port()) + "/backend-api/");
  }

  std::unique_ptr<CodexUsageEventStream> start() const {
    CodexUsageAppServerClient client(
        profile.paths.baseDirectory(), profile.temp.path(), 5.0,
        [](const CodexInstallation& installation, const std::string&) { return installation; });
    client.hostEnvironment = std::vector<std::string>{"PATH=/usr/bin:/bin"};
    return client.events(testing::codexInstallation(*codex), profile.paths,
                         ProfileProxyConfiguration(ProfileProxyScheme::http, "127.0.0.1", 9));
  }
};

void barePipe(benchmark::State& state) {
  SignedInProfile fixture;
  if (!fixture.codex)
    return state.SkipWithError("real Codex CLI unavailable");
  const auto& paths = fixture.profile.paths;
  const std::string environment[] = {
      "PATH=/usr/bin:/bin", "HOME=" + paths.home(), "CODEX_HOME=" + paths.codexHome(),
      "HTTP_PROXY=http://127.0.0.1:9", "NO_PROXY=localhost,127.0.0.1,::1"};
  const std::string request =
      R"({"method":"initialize","id":1,"params":{"clientInfo":{"name":"korvelin","title":"Korvelin","version":"0.1.0"}}})"
      "\n"
      R"({"method":"initialized","params":{}})"
      "\n"
      R"({"method":"account/rateLimits/read","id":2})"
      "\n";
  bench::ChildrenCpu children(state);
  for (auto _ : state) {
    int in[2], out[2];
    if (::pipe(in) != 0 || ::pipe(out) != 0)
      return state.SkipWithError("pipe");
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::dup2(in[0], 0);
      ::dup2(out[1], 1);
      ::dup2(::open("/dev/null", O_WRONLY), 2);  // drained and dropped by the client too
      ::close(in[1]);
      ::close(out[0]);
      std::vector<char*> envp;
      for (const auto& entry : environment)
        envp.push_back(const_cast<char*>(entry.c_str()));
      envp.push_back(nullptr);
      char* const argv[] = {const_cast<char*>(fixture.codex->c_str()),
                            const_cast<char*>("app-server"), nullptr};
      ::execve(fixture.codex->c_str(), argv, envp.data());
      ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    [[maybe_unused]] auto written = ::write(in[1], request.data(), request.size());
    std::string received;
    char buffer[65536];
    while (received.find("\"id\":2") == std::string::npos) {
      const auto n = ::read(out[0], buffer, sizeof buffer);
      if (n <= 0)
        break;
      received.append(buffer, static_cast<std::size_t>(n));
    }
    state.PauseTiming();
    ::close(in[1]);
    ::close(out[0]);
    ::kill(pid, SIGTERM);
    int status;
    ::waitpid(pid, &status, 0);
    state.ResumeTiming();
  }
}
BENCHMARK(barePipe)
    ->Name("CodexUsage/baseline:bare pipe")
    ->MeasureProcessCPUTime()
    ->UseRealTime()
    ->Iterations(10);

void firstSnapshot(benchmark::State& state) {
  SignedInProfile fixture;
  if (!fixture.codex)
    return state.SkipWithError("real Codex CLI unavailable");
  bench::ChildrenCpu children(state);
  for (auto _ : state) {
    auto stream = fixture.start();
    const auto event = stream->next(30s);
    if (!event || !event->snapshot)
      return state.SkipWithError("no snapshot");
    state.PauseTiming();
    stream.reset();  // stops and reaps the child
    state.ResumeTiming();
  }
}
BENCHMARK(firstSnapshot)
    ->Name("CodexUsage/firstSnapshot")
    ->MeasureProcessCPUTime()
    ->UseRealTime()
    ->Iterations(10);

double processCpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  auto toSeconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
  return toSeconds(usage.ru_utime) + toSeconds(usage.ru_stime);
}

// 30 s of monitoring after the first snapshot: six polls at the shortest
// interval. The counter is this process's CPU in those 30 s.
void idleMonitoring(benchmark::State& state) {
  SignedInProfile fixture;
  if (!fixture.codex)
    return state.SkipWithError("real Codex CLI unavailable");
  for (auto _ : state) {
    auto stream = fixture.start();
    if (!stream->next(30s))
      return state.SkipWithError("no snapshot");
    const double before = processCpuSeconds();
    int snapshots = 0;
    const auto end = std::chrono::steady_clock::now() + 30s;
    while (std::chrono::steady_clock::now() < end)
      if (stream->next(
              std::chrono::ceil<std::chrono::milliseconds>(end - std::chrono::steady_clock::now())))
        ++snapshots;
    state.counters["hostCPU_ms_per_30s"] = (processCpuSeconds() - before) * 1000;
    state.counters["snapshots"] = snapshots;
  }
}
BENCHMARK(idleMonitoring)
    ->Name("CodexUsageIdle/30s")
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kSecond);

}  // namespace
