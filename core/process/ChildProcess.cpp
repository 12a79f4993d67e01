#include "core/process/ChildProcess.h"

#include <signal.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "core/platform/Eintr.h"
#include "core/platform/Spawn.h"

namespace korvelin {

namespace {

using platform::retryOnEintr;

constexpr auto kTerminationPoll = std::chrono::milliseconds(10);

}  // namespace

bool ChildProcess::launch(const std::string& path,
                          const std::vector<std::string>& arguments,
                          const std::vector<std::string>& environment,
                          int standardInput,
                          int standardOutput,
                          bool newSession,
                          bool endWithParent,
                          int standardError) {
  std::vector<std::string> argv = {path};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  const pid_t pid =
      platform::spawnWithStreams(path, argv, environment, standardInput, standardOutput, newSession,
                                 endWithParent, standardError);
  if (pid < 0)
    return false;
  pid_ = pid;
  reaped_ = false;
  status_.reset();
  return true;
}

bool ChildProcess::isRunning() {
  if (pid_ <= 0 || reaped_)
    return false;
  int status;
  const pid_t done = retryOnEintr([&] { return ::waitpid(pid_, &status, WNOHANG); });
  if (done == pid_)
    status_ = status;
  if (done == pid_ || (done < 0 && errno == ECHILD))
    reaped_ = true;
  return !reaped_;
}

void ChildProcess::terminate() {
  if (isRunning())
    ::kill(pid_, SIGTERM);
}

void ChildProcess::waitUntilExit() {
  if (pid_ <= 0 || reaped_)
    return;
  int status;
  if (retryOnEintr([&] { return ::waitpid(pid_, &status, 0); }) == pid_)
    status_ = status;
  reaped_ = true;
}

bool ChildProcess::waitForExit(std::chrono::milliseconds timeout,
                               std::chrono::milliseconds interval) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (isRunning()) {
    if (std::chrono::steady_clock::now() >= deadline)
      return false;
    std::this_thread::sleep_for(interval);
  }
  return true;
}

void ChildProcess::terminateAndReap(std::chrono::milliseconds grace) {
  if (!isRunning()) {
    waitUntilExit();
    return;
  }
  terminate();
  waitForExit(grace, kTerminationPoll);
  // Not yet reaped, so the pid still names our child.
  if (isRunning())
    ::kill(pid_, SIGKILL);
  waitUntilExit();
}

}  // namespace korvelin
