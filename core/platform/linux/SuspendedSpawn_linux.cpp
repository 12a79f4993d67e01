#if defined(__linux__)

#include "core/platform/SuspendedSpawn.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "core/base/CoreError.h"
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
enum ChildStep : int { kStepGroup = 1, kStepStreams, kStepTrace, kStepExec };

// Runs in the child between fork and exec: async-signal-safe calls only.
[[noreturn]] void runChild(int devNull, int statusPipe, char* path, char* const* argv,
                           char* const* envp) {
  auto failed = [statusPipe](int step) {
    ChildFailure failure{step, errno};
    [[maybe_unused]] ssize_t ignored = ::write(statusPipe, &failure, sizeof failure);
    ::_exit(127);
  };
  if (::setpgid(0, 0) != 0) failed(kStepGroup);

  sigset_t none;
  ::sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  struct sigaction defaults = {};
  defaults.sa_handler = SIG_DFL;
  for (int signo = 1; signo < NSIG; ++signo)
    if (signo != SIGKILL && signo != SIGSTOP) ::sigaction(signo, &defaults, nullptr);

  for (int target = 0; target <= 2; ++target)
    if (::dup2(devNull, target) < 0) failed(kStepStreams);
  // Everything else the host had open stays with the host. The status pipe
  // is close-on-exec and closes itself when the exec succeeds.
  if (statusPipe > 3) ::close_range(3, static_cast<unsigned>(statusPipe) - 1, 0);
  ::close_range(static_cast<unsigned>(statusPipe) + 1, ~0U, 0);

  if (::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) failed(kStepTrace);
  ::execve(path, argv, envp);
  failed(kStepExec);
  ::_exit(127);  // not reached
}

std::string describe(const ChildFailure& failure) {
  const std::string text = errorText(failure.error);
  switch (failure.step) {
    case kStepGroup: return "could not configure process group";
    case kStepStreams: return "could not configure standard-stream isolation: " + text;
    case kStepTrace: return "could not start the process suspended (ptrace refused): " + text;
    default: return text;
  }
}

void reap(pid_t pid) {
  int status;
  retryOnEintr([&] { return ::waitpid(pid, &status, 0); });
}

}  // namespace

std::int32_t spawnSuspended(const SuspendedSpawnRequest& request) {
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
  if (!devNull) throw KorvelinCoreError::processLaunchFailed("could not open /dev/null");
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0)
    throw KorvelinCoreError::processLaunchFailed("could not create the launch status pipe: " +
                                                 errorText(errno));
  ScopedFD statusRead(pipeFds[0]);
  ScopedFD statusWrite(pipeFds[1]);

  const pid_t pid = ::fork();
  if (pid < 0) throw KorvelinCoreError::processLaunchFailed(errorText(errno));
  if (pid == 0) runChild(devNull.get(), statusWrite.get(), path.data(), argv.data(), envp.data());

  statusWrite.reset();
  ChildFailure failure{};
  const long got = readFull(statusRead.get(), &failure, sizeof failure);
  if (got == static_cast<long>(sizeof failure)) {
    reap(pid);
    throw KorvelinCoreError::processLaunchFailed(describe(failure));
  }

  // The exec succeeded: the child stops with SIGTRAP before its first
  // instruction, because it asked to be traced.
  int status = 0;
  const pid_t waited = retryOnEintr([&] { return ::waitpid(pid, &status, 0); });
  if (waited != pid) {
    const std::string detail = "could not wait for the suspended process: " + errorText(errno);
    ::kill(pid, SIGKILL);
    reap(pid);
    throw KorvelinCoreError::processLaunchFailed(detail);
  }
  if (!WIFSTOPPED(status))
    throw KorvelinCoreError::processLaunchFailed("the process exited before it could be verified");
  // A tracee is let go when its tracer dies. If this process dies before the
  // child was verified and resumed, the child must die too, never run.
  if (::ptrace(PTRACE_SETOPTIONS, pid, nullptr, reinterpret_cast<void*>(PTRACE_O_EXITKILL)) != 0) {
    const std::string detail =
        "could not start the process suspended (ptrace refused): " + errorText(errno);
    ::kill(pid, SIGKILL);
    reap(pid);
    throw KorvelinCoreError::processLaunchFailed(detail);
  }
  return pid;
}

int resumeSuspended(std::int32_t pid) {
  if (::ptrace(PTRACE_DETACH, pid, nullptr, nullptr) != 0) return errno;
  return 0;
}

}  // namespace korvelin::platform

#endif  // __linux__
