#include "core/platform/Spawn.h"

#include <fcntl.h>
#include <signal.h>

#include <cerrno>

#include "core/platform/Paths.h"
#include "core/platform/SpawnSupport.h"

namespace korvelin::platform {

namespace {

int prepare(SpawnAttributes& attributes,
            SpawnFileActions& actions,
            int standardInput,
            int standardOutput,
            int standardError,
            bool newSession) {
  if (!attributes.ready || !actions.ready)
    return ENOMEM;
  sigset_t all, none;
  sigfillset(&all);
  sigemptyset(&none);
  const std::string nullDevice(kNullDevice);
  // Each standard stream is the descriptor given, or the null device.
  const auto stream = [&](int fd, int target, int flags) {
    return fd >= 0 ? posix_spawn_file_actions_adddup2(&actions.value, fd, target)
                   : posix_spawn_file_actions_addopen(&actions.value, target, nullDevice.c_str(),
                                                      flags, 0);
  };
  int status;
  const short flags = static_cast<short>(POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK |
                                         (newSession ? POSIX_SPAWN_SETSID : 0));
  if ((status = posix_spawnattr_setflags(&attributes.value, flags)) != 0 ||
      (status = posix_spawnattr_setsigdefault(&attributes.value, &all)) != 0 ||
      (status = posix_spawnattr_setsigmask(&attributes.value, &none)) != 0 ||
      (status = stream(standardInput, 0, O_RDONLY)) != 0 ||
      (status = stream(standardOutput, 1, O_WRONLY)) != 0 ||
      (status = stream(standardError, 2, O_WRONLY)) != 0)
    return status;
  return inheritOnlyStandardStreams(attributes, actions);
}

}  // namespace

pid_t spawnWithInput(const std::string& path,
                     const std::vector<std::string>& arguments,
                     const std::vector<std::string>& environment,
                     int standardInput) {
  return spawnWithStreams(path, arguments, environment, standardInput, -1);
}

pid_t spawnWithStreams(const std::string& path,
                       const std::vector<std::string>& arguments,
                       const std::vector<std::string>& environment,
                       int standardInput,
                       int standardOutput,
                       bool newSession,
                       bool endWithParent,
                       int standardError) {
  std::vector<std::string> argv = arguments;
  std::vector<std::string> envp = environment;
  auto argvPointers = execPointers(argv);
  auto envpPointers = execPointers(envp);
  pid_t pid;
  int status = endWithParent ? spawnEndingWithParent(path.c_str(), argvPointers.data(),
                                                     envpPointers.data(), standardInput,
                                                     standardOutput, standardError, newSession, pid)
                             : ENOTSUP;
  if (status == ENOTSUP) {
    SpawnAttributes attributes;
    SpawnFileActions actions;
    status = prepare(attributes, actions, standardInput, standardOutput, standardError, newSession);
    if (status == 0)
      status = posix_spawn(&pid, path.c_str(), &actions.value, &attributes.value,
                           argvPointers.data(), envpPointers.data());
  }
  if (status == 0)
    return pid;
  errno = status;
  return -1;
}

}  // namespace korvelin::platform
