// A host that dies at a chosen point of a launch, for crash tests:
//   supervisor-host BASE PROFILE-UUID POINT PROGRAM [ARGS...]
// POINT is "before-spawn" (killed after the lease's first line is durable,
// before the child exists), "suspended" (killed while the child is stopped
// before its first instruction) or "after-start" (prints the root pid, then
// waits to be killed). The profile's tree is prepared first.

#include <signal.h>
#include <unistd.h>

#include <iostream>
#include <string>

#include "core/process/ProcessSupervisor.h"
#include "core/profile/ProfilePaths.h"

int main(int argc, char** argv) {
  using namespace korvelin;
  if (argc < 5)
    return 2;
  const std::string base = argv[1];
  const auto id = Uuid::parse(argv[2]);
  const std::string point = argv[3];
  if (!id)
    return 2;
  ProfilePaths paths(*id, base);
  ProfilePreparer(base).prepare(paths);
  ProcessLaunchPlan plan{
      argv[4], std::vector<std::string>(argv + 5, argv + argc), {}, paths, std::nullopt};
  auto die = [] { ::raise(SIGKILL); };
  ProcessSupervisor supervisor;
  auto snapshot = supervisor.start(
      *id, plan,
      [&] {
        if (point == "before-spawn")
          die();
      },
      [&](std::int32_t) {
        if (point == "suspended")
          die();
      });
  std::cout << snapshot.rootPID << std::endl;
  for (;;)
    ::pause();
}
