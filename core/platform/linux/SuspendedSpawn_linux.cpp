#if defined(__linux__)

#include "core/platform/SuspendedSpawn.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>

#include "core/platform/Eintr.h"
#include "core/platform/FileUtil.h"
#include "core/platform/ScopedFD.h"
#include "core/platform/SpawnSupport.h"

namespace korvelin::platform {

namespace {

// What the child reports through the status pipe when a step before or at
// exec fails: the step and the errno.
struct ChildFailure {
  int step;
  int error;
};
enum ChildStep : int { kStepGroup = 1, kStepStreams, kStepExec };

// Runs in the child between fork and exec: async-signal-safe calls only.
// The child waits on `release` before it execs: the parent writes one byte
// once it traces the child with PTRACE_O_EXITKILL. If the parent dies first,
// the pipe reaches its end and the child exits without running anything; if
// it dies later, the kernel kills the child. So no program ever runs that the
// parent did not see to its exec stop.
[[noreturn]] void runChild(int devNull,
                           int statusPipe,
                           int release,
                           char* path,
                           char* const* argv,
                           char* const* envp) {
  auto failed = [statusPipe](int step) {
    ChildFailure failure{step, errno};
    [[maybe_unused]] ssize_t ignored = ::write(statusPipe, &failure, sizeof failure);
    ::_exit(127);
  };
  if (::setpgid(0, 0) != 0)
    failed(kStepGroup);

  restoreDefaultSignals();

  for (int target = 0; target <= 2; ++target)
    if (::dup2(devNull, target) < 0)
      failed(kStepStreams);
  // Everything else the host had open stays with the host, the write end of
  // `release` included. The status pipe is close-on-exec and closes itself
  // when the exec succeeds.
  const int keep[] = {std::min(statusPipe, release), std::max(statusPipe, release)};
  ::close_range(3, static_cast<unsigned>(keep[0]) - 1, 0);
  if (keep[1] > keep[0] + 1)
    ::close_range(static_cast<unsigned>(keep[0]) + 1, static_cast<unsigned>(keep[1]) - 1, 0);
  ::close_range(static_cast<unsigned>(keep[1]) + 1, ~0U, 0);

  char go = 0;
  ssize_t got;
  do {
    got = ::read(release, &go, 1);
  } while (got < 0 && errno == EINTR);
  if (got != 1)
    ::_exit(127);  // the parent is gone or gave up: run nothing
  ::close(release);
  ::execve(path, argv, envp);
  failed(kStepExec);
  ::_exit(127);  // not reached
}

std::string describe(const ChildFailure& failure) {
  const std::string text = errorText(failure.error);
  switch (failure.step) {
    case kStepGroup:
      return "could not configure process group";
    case kStepStreams:
      return "could not configure standard-stream isolation: " + text;
    default:
      return text;
  }
}

void reap(pid_t pid) {
  int status;
  retryOnEintr([&] { return ::waitpid(pid, &status, 0); });
}

// Kills a child that never ran and collects it.
void killAndReap(pid_t pid) {
  ::kill(pid, SIGKILL);
  reap(pid);
}

// Kills a child that never ran and reports why.
SuspendedSpawnResult abandon(pid_t pid, const std::string& step) {
  SuspendedSpawnResult result{-1, step + ": " + errorText(errno)};
  killAndReap(pid);
  return result;
}

}  // namespace

SuspendedSpawnResult spawnSuspended(const SuspendedSpawnRequest& request) {
  // Everything the child needs is built before the fork.
  std::vector<std::string> argvStrings;
  argvStrings.reserve(request.arguments.size() + 1);
  argvStrings.push_back(request.path);
  argvStrings.insert(argvStrings.end(), request.arguments.begin(), request.arguments.end());
  std::vector<std::string> envStrings = request.environment;
  std::string path = request.path;
  auto argv = execPointers(argvStrings);
  auto envp = execPointers(envStrings);

  ScopedFD devNull(retryOnEintr([] { return ::open("/dev/null", O_RDWR | O_CLOEXEC); }));
  if (!devNull)
    return {-1, "could not open /dev/null"};
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0)
    return {-1, "could not create the launch status pipe: " + errorText(errno)};
  ScopedFD statusRead(pipeFds[0]);
  ScopedFD statusWrite(pipeFds[1]);
  if (::pipe2(pipeFds, O_CLOEXEC) != 0)
    return {-1, "could not create the launch release pipe: " + errorText(errno)};
  ScopedFD releaseRead(pipeFds[0]);
  ScopedFD releaseWrite(pipeFds[1]);

  const pid_t pid = ::fork();
  if (pid < 0)
    return {-1, errorText(errno)};
  if (pid == 0)
    runChild(devNull.get(), statusWrite.get(), releaseRead.get(), path.data(), argv.data(),
             envp.data());
  statusWrite.reset();
  releaseRead.reset();

  // Traced from here on, and killed with this process should it die before
  // the child is resumed; the exec itself stops the child before the new
  // program's first instruction.
  const long options = PTRACE_O_EXITKILL | PTRACE_O_TRACEEXEC;
  if (::ptrace(PTRACE_SEIZE, pid, nullptr, reinterpret_cast<void*>(options)) != 0)
    return abandon(pid, "could not start the process suspended (ptrace refused)");
  if (!writeFull(releaseWrite.get(), "g"))
    return abandon(pid, "could not release the suspended process");
  releaseWrite.reset();

  for (;;) {
    int status = 0;
    const pid_t waited = retryOnEintr([&] { return ::waitpid(pid, &status, __WALL); });
    if (waited != pid)
      return abandon(pid, "could not wait for the suspended process");
    if (WIFEXITED(status) || WIFSIGNALED(status)) {
      // A failed step reported itself before the child exited.
      ChildFailure failure{};
      if (readFull(statusRead.get(), &failure, sizeof failure) == static_cast<long>(sizeof failure))
        return {-1, describe(failure)};
      return {-1, "the process exited before it could be verified"};
    }
    if (!WIFSTOPPED(status))
      continue;
    if (status >> 8 == (SIGTRAP | (PTRACE_EVENT_EXEC << 8)))
      return {pid, {}};
    // Any other stop before the exec (a signal sent to the new group, a
    // group stop) is passed on unchanged; event stops carry no signal.
    const int signal = (status >> 16) != 0 ? 0 : WSTOPSIG(status);
    if (::ptrace(PTRACE_CONT, pid, nullptr, reinterpret_cast<void*>(static_cast<long>(signal))) !=
            0 &&
        errno != ESRCH)
      return abandon(pid, "could not start the process suspended (ptrace refused)");
  }
}

int resumeSuspended(std::int32_t pid) {
  if (::ptrace(PTRACE_DETACH, pid, nullptr, nullptr) != 0)
    return errno;
  return 0;
}

}  // namespace korvelin::platform

#endif  // __linux__
