// What going through the host costs a launch: `korvelin run` of /bin/true
// sent to a running host (which supervises it and reports its end) against
// the same `korvelin run` supervising it in its own process
// (--no-host-start, no host), in the same run. Both include starting the
// korvelin client itself; the host's own CPU is not in either figure (it is
// neither this process nor its child), so compare wall times.

#include <signal.h>
#include <sys/stat.h>

#include <benchmark/benchmark.h>

#include "core/base/Uuid.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"

namespace {

using namespace korvelin;

std::vector<std::string> runTrue(const std::string& base, bool noHostStart) {
  std::vector<std::string> argv{testing::korvelinPath(), "--base", base};
  if (noHostStart)
    argv.push_back("--no-host-start");
  for (const char* word : {"run", "0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0", "--", "/bin/true"})
    argv.push_back(word);
  return argv;
}

void baselineRunInProcess(benchmark::State& state) {
  testing::ScopedTempDir base;
  ::chmod(base.path().c_str(), 0700);
  for (auto _ : state) {
    if (testing::run(runTrue(base.path(), true)).exitCode != 0)
      state.SkipWithError("korvelin run failed");
  }
}
BENCHMARK(baselineRunInProcess)->Name("HostLaunch/baseline:run in process")->UseRealTime();

void runThroughHost(benchmark::State& state) {
  testing::ScopedTempDir base;
  ::chmod(base.path().c_str(), 0700);
  testing::run({testing::korvelinPath(), "--base", base.path(), "host"});
  for (auto _ : state) {
    if (testing::run(runTrue(base.path(), false)).exitCode != 0)
      state.SkipWithError("korvelin run through the host failed");
  }
  auto ps = testing::run({testing::korvelinPath(), "--base", base.path(), "ps", "--json"});
  const auto at = ps.output.find("\"host\": ");
  if (at != std::string::npos)
    ::kill(std::stoi(ps.output.substr(at + 8)), SIGTERM);
}
BENCHMARK(runThroughHost)->Name("HostLaunch/run through the host")->UseRealTime();

}  // namespace
