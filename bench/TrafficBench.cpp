// What one traffic observation costs on a profile's process tree of 1, 64
// and 512 processes, against one scan of the process table (the kernel's
// listing of every process, which each snapshot of the tree reads once).
// Without a connection to find, an observation walks the tree twice and
// reads every process's descriptors and socket tables once.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include <benchmark/benchmark.h>

#include "core/activity/ProfileTrafficObserver.h"

namespace {

using namespace korvelin;

// A root in its own process group with up to 100 children, the rest of the
// `total` processes spread over them as grandchildren; all wait for a signal.
class ProcessTree {
 public:
  explicit ProcessTree(int total) {
    root_ = ::fork();
    if (root_ == 0) {
      ::setpgid(0, 0);
      const int remaining = total - 1, direct = std::min(remaining, 100),
                extra = remaining - direct;
      for (int i = 0; i < direct; ++i) {
        if (::fork() != 0)
          continue;
        const int mine = extra / direct + (i < extra % direct ? 1 : 0);
        for (int j = 0; j < mine; ++j)
          if (::fork() == 0)
            break;
        for (;;)
          ::pause();
      }
      for (;;)
        ::pause();
    }
    ::setpgid(root_, root_);
    // Complete once every process is there.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (size() != total && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ~ProcessTree() {
    ::kill(-root_, SIGKILL);
    ::waitpid(root_, nullptr, 0);
  }

  pid_t root() const { return root_; }

 private:
  int size() const {
    const auto table = platform::processParents(1 << 22);
    if (!table)
      return 0;
    std::vector<pid_t> tree{root_};
    for (std::size_t i = 0; i < tree.size(); ++i)
      for (const auto& [pid, parent] : *table)
        if (parent == tree[i])
          tree.push_back(pid);
    return static_cast<int>(tree.size());
  }

  pid_t root_;
};

void baselineProcessScan(benchmark::State& state) {
  for (auto _ : state)
    benchmark::DoNotOptimize(platform::processParents(1 << 22));
}
BENCHMARK(baselineProcessScan)
    ->Name("Traffic/baseline:procScan")
    ->MeasureProcessCPUTime()
    ->UseRealTime();

void observe(benchmark::State& state) {
  const ProcessTree tree(static_cast<int>(state.range(0)));
  const auto root = LiveProcessIdentity::capture(tree.root());
  const auto engine = LiveProcessIdentity::capture(::getpid());
  if (!root || !engine) {
    state.SkipWithError("the tree's root or this process cannot be identified");
    return;
  }
  const ProfileTrafficObservationContext context{
      Uuid::random(), *root, *engine,
      ProfileProxyConfiguration(ProfileProxyScheme::socks5, "127.0.0.1", 9), Uuid::random()};
  const ProfileTrafficObserver observer;
  if (observer.observe(context) != std::optional(false)) {
    state.SkipWithError("the tree was not observed whole");
    return;
  }
  for (auto _ : state)
    benchmark::DoNotOptimize(observer.observe(context));
}
BENCHMARK(observe)
    ->Name("Traffic/observe")
    ->Arg(1)
    ->Arg(64)
    ->Arg(512)
    ->MeasureProcessCPUTime()
    ->UseRealTime();

}  // namespace
