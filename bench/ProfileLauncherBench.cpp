// What a launch of a catalogued profile costs beyond the supervised start
// it ends in: `launch` + `stop` of a Chrome profile without a proxy (the
// catalogue read, the tree prepared, the bundle inspected, the plan, the
// bundle inspected again before the spawn and the suspended child's code
// checked) against `start` + `stop` of the same program through the process
// supervisor alone. CPU with the children's, as for the supervisor.

#include <sys/stat.h>

#include <benchmark/benchmark.h>

#include "bench/ChildrenCpu.h"
#include "core/apps/BundleInspector.h"
#include "core/base/CoreError.h"
#include "core/launch/ProfileLauncher.h"
#include "core/process/ProcessSupervisor.h"
#include "core/profile/ProfileRepository.h"
#include "tests/support/BundleFixtures.h"
#include "tests/support/TempDir.h"

namespace {

using namespace korvelin;

constexpr const char* kNoDefault = "/nonexistent/korvelin-default-base";

struct ChromeProfile {
  testing::ScopedTempDir base;
  testing::BundleFixtures bundles;
  AppProfile profile;

  ChromeProfile() {
    ::chmod(base.path().c_str(), 0700);
    const auto& chrome = managedApplication(ManagedApplicationSupport::chromeAdapterIdentifier);
    const auto installation =
        makeBundleInspector(chrome.adapterIdentifier)
            ->inspect(bundles.make(testing::BundleFixtures::layoutFor(chrome)));
    profile = ProfileRepository(base.path(), kNoDefault)
                  .create({.id = Uuid::random(), .name = "Bench"}, installation);
  }
};

void baselineSupervisedStartStop(benchmark::State& state) {
  ChromeProfile chrome;
  const ProfilePaths paths(chrome.profile.id, chrome.base.path());
  const std::string executable =
      chrome.profile.application.bundlePath + "/Contents/MacOS/Google Chrome";
  ProcessSupervisor supervisor;
  const ProcessLaunchPlan plan{executable, {}, {}, paths, std::nullopt};
  bench::ChildrenCpu children(state);
  for (auto _ : state) {
    try {
      auto run = supervisor.start(chrome.profile.id, plan, nullptr, nullptr);
      supervisor.stop(chrome.profile.id, paths, 10);
      supervisor.confirmCompletion(chrome.profile.id, run.runID, paths);
    } catch (const KorvelinCoreError& e) {
      state.SkipWithError(e.what());
      break;
    }
  }
}
BENCHMARK(baselineSupervisedStartStop)
    ->Name("Launch/baseline:supervised start+stop")
    ->MeasureProcessCPUTime()
    ->UseRealTime();

void launchAndStop(benchmark::State& state) {
  ChromeProfile chrome;
  ProcessSupervisor processes;
  XraySidecarSupervisor sidecars(nullptr, nullptr, nullptr, nullptr);
  ProfileLauncher launcher(chrome.base.path(), kNoDefault, processes, sidecars);
  bench::ChildrenCpu children(state);
  for (auto _ : state) {
    try {
      launcher.stop(launcher.launch(chrome.profile.id), 10);
    } catch (const KorvelinCoreError& e) {
      state.SkipWithError(e.what());
      break;
    }
  }
}
BENCHMARK(launchAndStop)->Name("Launch/launch+stop")->MeasureProcessCPUTime()->UseRealTime();

}  // namespace
