// What putting the managed block into a Codex profile's config.toml and
// taking it out again costs, against the least any durable replacement of
// the same bytes costs: a temporary file written and synced, renamed over
// the file, the directory synced, once for each of the two contents. The
// transaction adds the journal (its own file, sync and link), the exchange
// and its checks, re-reads, recovery's directory listing and more directory
// syncs. Each benchmark reports the fsync calls it makes per iteration (all
// fsync calls of the process are counted: the binary wraps fsync).

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include <benchmark/benchmark.h>

#include "core/codex/CodexMCPConfigBlock.h"
#include "core/codex/CodexMCPConfigProvisioner.h"
#include "tests/support/CodexProfile.h"

std::atomic<long> codexBenchFsyncs{0};

extern "C" int __real_fsync(int fd);
extern "C" int __wrap_fsync(int fd) {
  codexBenchFsyncs.fetch_add(1, std::memory_order_relaxed);
  return __real_fsync(fd);
}

namespace {

using korvelin::CodexMCPConfigProvisioner;
using korvelin::Uuid;

const std::string kUser = std::string(4000, '#') + "\nmodel = \"o3\"\n";
constexpr std::string_view kCapability = "cap-0123456789abcdef0123456789abcdef";

void durableWrite(const std::string& directory, const std::string& bytes) {
  const std::string temp = directory + "/.bench.tmp";
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  benchmark::DoNotOptimize(::write(fd, bytes.data(), bytes.size()));
  ::fsync(fd);
  ::close(fd);
  ::rename(temp.c_str(), (directory + "/config.toml").c_str());
  const int dir = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ::fsync(dir);
  ::close(dir);
}

void reportFsyncs(benchmark::State& state, long before) {
  state.counters["fsyncs"] = static_cast<double>(codexBenchFsyncs.load() - before) /
                             static_cast<double>(state.iterations());
}

void baselineDurableWrites(benchmark::State& state) {
  korvelin::testing::CodexProfile profile;
  profile.writeConfig(kUser);
  const std::string installed = korvelin::codexmcp::addingManagedBlock(
      kUser, korvelin::codexmcp::managedBlock(Uuid::random(), 47123, kCapability));
  const long before = codexBenchFsyncs.load();
  for (auto _ : state) {
    durableWrite(profile.codexHome(), installed);
    durableWrite(profile.codexHome(), kUser);
  }
  reportFsyncs(state, before);
}
BENCHMARK(baselineDurableWrites)
    ->Name("CodexMCPConfig/baseline:2 durable writes")
    ->MeasureProcessCPUTime();

void installAndRemove(benchmark::State& state) {
  korvelin::testing::CodexProfile profile;
  profile.writeConfig(kUser);
  CodexMCPConfigProvisioner provisioner;
  const long before = codexBenchFsyncs.load();
  for (auto _ : state)
    provisioner.remove(profile.paths,
                       provisioner.install(profile.paths, Uuid::random(), 47123, kCapability));
  reportFsyncs(state, before);
}
BENCHMARK(installAndRemove)->Name("CodexMCPConfig/install+remove")->MeasureProcessCPUTime();

void reconcileWithNothingToDo(benchmark::State& state) {
  korvelin::testing::CodexProfile profile;
  profile.writeConfig(kUser);
  CodexMCPConfigProvisioner provisioner;
  const long before = codexBenchFsyncs.load();
  for (auto _ : state)
    provisioner.reconcile(profile.paths);
  reportFsyncs(state, before);
}
BENCHMARK(reconcileWithNothingToDo)
    ->Name("CodexMCPConfig/reconcile (nothing to do)->MeasureProcessCPUTime()");

}  // namespace
