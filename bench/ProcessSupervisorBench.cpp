// What a supervised start costs beyond starting a process: `start` of a
// trivial program (lease, launch log, suspended spawn, identity capture,
// resume) against a bare fork + exec + waitpid of the same program. The two
// lease fsyncs are required by the format; they are measured on their own.
// The ratio to hold is CPU time with the children's: the exec of the program
// runs in the child, and so does what the suspended spawn does before it.

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include "bench/ChildrenCpu.h"
#include "core/base/CoreError.h"
#include "core/process/ProcessSupervisor.h"
#include "core/profile/ProfilePaths.h"
#include "tests/support/TempDir.h"

namespace {

using namespace korvelin;

void baselineForkExecWait(benchmark::State& state) {
  char* const argv[] = {const_cast<char*>("/bin/true"), nullptr};
  char* const envp[] = {nullptr};
  bench::ChildrenCpu children(state);
  for (auto _ : state) {
    pid_t pid = ::fork();
    if (pid == 0) {
      ::execve("/bin/true", argv, envp);
      ::_exit(127);
    }
    int status;
    ::waitpid(pid, &status, 0);
  }
}
BENCHMARK(baselineForkExecWait)
    ->Name("Supervisor/baseline:fork+exec+waitpid")
    ->MeasureProcessCPUTime()
    ->UseRealTime();

void supervisedStart(benchmark::State& state) {
  testing::ScopedTempDir dir;
  ::chmod(dir.path().c_str(), 0700);
  const Uuid id = Uuid::random();
  ProfilePaths paths(id, dir.path());
  ProfilePreparer(dir.path()).prepare(paths);
  ProcessSupervisor supervisor;
  const ProcessLaunchPlan plan{"/bin/true", {}, {}, paths, std::nullopt};
  bench::ChildrenCpu children(state);
  for (auto _ : state) {
    try {
      auto run = supervisor.start(id, plan, nullptr, nullptr);
      state.PauseTiming();
      for (auto status = supervisor.status(id, paths);
           status && status->state != ProcessRunState::managedGroupStoppedAwaitingConfirmation;
           status = supervisor.status(id, paths))
        ::usleep(100);
      supervisor.confirmCompletion(id, run.runID, paths);
      state.ResumeTiming();
    } catch (const KorvelinCoreError& e) {
      state.SkipWithError(e.what());
      break;
    }
  }
}
BENCHMARK(supervisedStart)->Name("Supervisor/start")->MeasureProcessCPUTime()->UseRealTime();

// The two durable lease lines: write + fsync of a small line, twice.
void leaseFsyncs(benchmark::State& state) {
  testing::ScopedTempDir dir;
  int fd = ::open(dir.child("lease").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  const std::string line(300, 'x');
  for (auto _ : state) {
    for (int i = 0; i < 2; ++i) {
      benchmark::DoNotOptimize(::pwrite(fd, line.data(), line.size(), 0));
      ::fsync(fd);
    }
  }
  ::close(fd);
}
BENCHMARK(leaseFsyncs)->Name("Supervisor/two lease fsyncs")->MeasureProcessCPUTime()->UseRealTime();

}  // namespace
