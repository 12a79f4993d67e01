#if defined(__APPLE__)

#include "core/platform/SuspendedSpawn.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include <cerrno>

#include "core/platform/Eintr.h"
#include "core/platform/FileUtil.h"
#include "core/platform/ScopedFD.h"
#include "core/platform/SpawnSupport.h"

namespace korvelin::platform {

SuspendedSpawnResult spawnSuspended(const SuspendedSpawnRequest& request) {
  std::vector<std::string> argvStrings{request.path};
  argvStrings.insert(argvStrings.end(), request.arguments.begin(), request.arguments.end());
  std::vector<std::string> envStrings = request.environment;
  auto argv = execPointers(argvStrings);
  auto envp = execPointers(envStrings);

  SpawnFileActions actions;
  if (!actions.ready)
    return {-1, "could not initialize posix_spawn"};
  SpawnAttributes attributes;
  if (!attributes.ready)
    return {-1, "could not initialize posix_spawn attributes"};

  ScopedFD devNull(retryOnEintr([] { return ::open("/dev/null", O_RDWR | O_CLOEXEC); }));
  if (!devNull)
    return {-1, "could not open /dev/null"};
  for (int target = 0; target <= 2; ++target) {
    int rc = posix_spawn_file_actions_adddup2(&actions.value, devNull.get(), target);
    if (rc != 0)
      return {-1, "could not configure standard-stream isolation: " + errorText(rc)};
  }
  if (posix_spawnattr_setflags(&attributes.value,
                               POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_START_SUSPENDED) != 0 ||
      posix_spawnattr_setpgroup(&attributes.value, 0) != 0)
    return {-1, "could not configure process group"};

  pid_t pid = 0;
  int rc = posix_spawn(&pid, request.path.c_str(), &actions.value, &attributes.value, argv.data(),
                       envp.data());
  if (rc != 0)
    return {-1, errorText(rc)};
  return {pid, {}};
}

int resumeSuspended(std::int32_t pid) {
  if (::kill(pid, SIGCONT) != 0)
    return errno;
  return 0;
}

}  // namespace korvelin::platform

#endif  // __APPLE__
