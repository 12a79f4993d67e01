#if defined(__linux__)

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "core/platform/Eintr.h"
#include "core/platform/FileUtil.h"
#include "core/platform/Paths.h"
#include "core/platform/ScopedFD.h"
#include "core/platform/SpawnSupport.h"

namespace korvelin::platform {

namespace {

// A descriptor the child's dup2 onto 0, 1 or 2 cannot overwrite.
ScopedFD aboveStandardStreams(int fd) {
  ScopedFD owned(fd);
  if (fd < 0 || fd > 2)
    return owned;
  return ScopedFD(::fcntl(fd, F_DUPFD_CLOEXEC, 3));
}

// Runs in the child between fork and exec: async-signal-safe calls only. A
// failed step writes its errno to `statusPipe`, which closes itself at exec.
[[noreturn]] void runChild(const char* path,
                           char* const* argv,
                           char* const* envp,
                           int standardInput,
                           int standardOutput,
                           int standardError,
                           bool newSession,
                           pid_t parent,
                           int nullDevice,
                           int statusPipe) {
  auto fail = [statusPipe] {
    const int error = errno;
    [[maybe_unused]] ssize_t ignored = ::write(statusPipe, &error, sizeof error);
    ::_exit(127);
  };
  if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0)
    fail();
  // The parent may have died before the request above took effect; then
  // nothing would ever deliver the signal, so run nothing.
  if (::getppid() != parent)
    ::_exit(127);
  if (newSession && ::setsid() < 0)
    fail();

  restoreDefaultSignals();

  if (::dup2(standardInput >= 0 ? standardInput : nullDevice, 0) < 0 ||
      ::dup2(standardOutput >= 0 ? standardOutput : nullDevice, 1) < 0 ||
      ::dup2(standardError >= 0 ? standardError : nullDevice, 2) < 0)
    fail();
  ::close_range(3, static_cast<unsigned>(statusPipe) - 1, 0);
  ::close_range(static_cast<unsigned>(statusPipe) + 1, ~0U, 0);
  ::execve(path, argv, envp);
  fail();
  ::_exit(127);  // not reached
}

}  // namespace

int inheritOnlyStandardStreams(SpawnAttributes&, SpawnFileActions& actions) {
  return posix_spawn_file_actions_addclosefrom_np(&actions.value, 3);
}

int spawnEndingWithParent(const char* path,
                          char* const* argv,
                          char* const* envp,
                          int standardInput,
                          int standardOutput,
                          int standardError,
                          bool newSession,
                          pid_t& pid) {
  const std::string nullPath(kNullDevice);
  ScopedFD nullDevice = aboveStandardStreams(
      retryOnEintr([&] { return ::open(nullPath.c_str(), O_RDWR | O_CLOEXEC); }));
  if (!nullDevice)
    return errno;
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0)
    return errno;
  ScopedFD statusRead(pipeFds[0]);
  ScopedFD statusWrite = aboveStandardStreams(pipeFds[1]);
  if (!statusWrite)
    return errno;

  const pid_t parent = ::getpid();
  const pid_t child = ::fork();
  if (child < 0)
    return errno;
  if (child == 0)
    runChild(path, argv, envp, standardInput, standardOutput, standardError, newSession, parent,
             nullDevice.get(), statusWrite.get());
  statusWrite.reset();

  // End of file: the exec succeeded. An errno: the child exits on its own.
  int error = 0;
  if (readFull(statusRead.get(), &error, sizeof error) == static_cast<long>(sizeof error)) {
    int status;
    retryOnEintr([&] { return ::waitpid(child, &status, 0); });
    return error != 0 ? error : ECHILD;
  }
  pid = child;
  return 0;
}

}  // namespace korvelin::platform

#endif  // __linux__
