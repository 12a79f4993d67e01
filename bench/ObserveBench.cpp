// What the activity journal and re-adoption cost. An append is one durable
// line: against opening the file, writing the line and fsync-ing it, the
// difference is the price of the checked directory opens, the owner, mode
// and ACL checks and the lock. Re-adoption is measured against the identity
// capture it cannot avoid.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include "core/activity/ProfileActivityJournal.h"
#include "core/activity/ProfileRuntimeObserver.h"
#include "core/process/LaunchLease.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"

namespace {

using namespace korvelin;

struct Profile {
  testing::ScopedTempDir temp;
  ProfilePaths paths{Uuid::random(), temp.path()};

  Profile() {
    ::chmod(temp.path().c_str(), 0700);
    ProfilePreparer(temp.path()).prepare(paths);
  }
};

ProfileActivityEvent event(const Profile& profile) {
  return {.profileID = profile.paths.profileID(),
          .kind = ProfileActivityKind::proxyConnectionAvailable,
          .proxyName = "Office",
          .detail = "SOCKS5 port 41000 answers"};
}

void baselineWriteFsync(benchmark::State& state) {
  Profile profile;
  const std::string path = profile.paths.logs() + "/baseline.jsonl";
  const std::string line = activityEventJSON(event(profile)) + "\n";
  for (auto _ : state) {
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    benchmark::DoNotOptimize(::write(fd, line.data(), line.size()));
    ::fsync(fd);
    ::close(fd);
  }
}
BENCHMARK(baselineWriteFsync)
    ->Name("Journal/baseline:open+write+fsync")
    ->MeasureProcessCPUTime()
    ->UseRealTime();

void append(benchmark::State& state) {
  Profile profile;
  const auto sample = event(profile);
  for (auto _ : state)
    ProfileActivityJournal().append(sample, profile.paths);
}
BENCHMARK(append)->Name("Journal/append")->MeasureProcessCPUTime()->UseRealTime();

// A process that stays put with a data directory argument: a shell waiting
// on its standard input.
struct RunningProfile : Profile {
  testing::Subprocess shell{
      {"/bin/sh", "-c", "read line", "sh", "--user-data-dir=" + paths.userData()},
      {.keepStdinOpen = true, .newProcessGroup = true}};
  LiveProcessIdentity identity = *LiveProcessIdentity::capture(shell.pid());

  RunningProfile() {
    const Uuid run = Uuid::random();
    const std::string lease =
        leaseJSON(run, 1, std::nullopt, std::nullopt, "starting", std::nullopt) + "\n" +
        leaseJSON(run, 1, shell.pid(), shell.pid(), "running", identity) + "\n";
    int fd = ::open(paths.leaseFile().c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    benchmark::DoNotOptimize(::write(fd, lease.data(), lease.size()));
    ::close(fd);
  }
};

void baselineCapture(benchmark::State& state) {
  RunningProfile profile;
  for (auto _ : state)
    benchmark::DoNotOptimize(LiveProcessIdentity::capture(profile.shell.pid()));
}
BENCHMARK(baselineCapture)->Name("Observe/baseline:capture")->MeasureProcessCPUTime();

void observeWithRoute(benchmark::State& state) {
  RunningProfile profile;
  for (auto _ : state)
    benchmark::DoNotOptimize(
        ProfileRuntimeObserver().observeWithRoute(profile.paths, profile.identity.executable));
}
BENCHMARK(observeWithRoute)->Name("Observe/observeWithRoute")->MeasureProcessCPUTime();

}  // namespace
