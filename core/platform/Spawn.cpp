#include "core/platform/Spawn.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>

#include <cerrno>

#include "core/platform/Paths.h"
#include "core/platform/SpawnAttributes.h"

namespace korvelin::platform {

namespace {

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> result;
  for (auto& s : strings) result.push_back(s.data());
  result.push_back(nullptr);
  return result;
}

// posix_spawn's attribute and file-action objects, released on every path.
struct SpawnSetup {
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_t actions;
  bool hasAttributes = false;
  bool hasActions = false;

  ~SpawnSetup() {
    if (hasActions) posix_spawn_file_actions_destroy(&actions);
    if (hasAttributes) posix_spawnattr_destroy(&attributes);
  }
};

int prepare(SpawnSetup& setup, int standardInput) {
  int status = posix_spawnattr_init(&setup.attributes);
  if (status != 0) return status;
  setup.hasAttributes = true;
  if ((status = posix_spawn_file_actions_init(&setup.actions)) != 0) return status;
  setup.hasActions = true;

  sigset_t all, none;
  sigfillset(&all);
  sigemptyset(&none);
  const std::string nullDevice(kNullDevice);
  if ((status = posix_spawnattr_setflags(&setup.attributes,
                                         POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK)) != 0 ||
      (status = posix_spawnattr_setsigdefault(&setup.attributes, &all)) != 0 ||
      (status = posix_spawnattr_setsigmask(&setup.attributes, &none)) != 0 ||
      (status = posix_spawn_file_actions_adddup2(&setup.actions, standardInput, 0)) != 0 ||
      (status = posix_spawn_file_actions_addopen(&setup.actions, 1, nullDevice.c_str(), O_WRONLY,
                                                 0)) != 0 ||
      (status = posix_spawn_file_actions_adddup2(&setup.actions, 1, 2)) != 0)
    return status;
  return detail::inheritOnlyStandardStreams(setup.attributes, setup.actions);
}

}  // namespace

pid_t spawnWithInput(const std::string& path, const std::vector<std::string>& arguments,
                     const std::vector<std::string>& environment, int standardInput) {
  SpawnSetup setup;
  int status = prepare(setup, standardInput);
  if (status == 0) {
    std::vector<std::string> argv = arguments;
    std::vector<std::string> envp = environment;
    auto argvPointers = pointers(argv);
    auto envpPointers = pointers(envp);
    pid_t pid;
    status = posix_spawn(&pid, path.c_str(), &setup.actions, &setup.attributes,
                         argvPointers.data(), envpPointers.data());
    if (status == 0) return pid;
  }
  errno = status;
  return -1;
}

}  // namespace korvelin::platform
