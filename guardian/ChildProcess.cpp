#include "guardian/ChildProcess.h"

#include <signal.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "core/platform/Eintr.h"
#include "core/platform/Spawn.h"

namespace korvelin::guardian {

namespace {

using platform::retryOnEintr;

constexpr auto kTerminationGrace = std::chrono::seconds(2);
constexpr auto kTerminationPoll = std::chrono::milliseconds(10);

}  // namespace

bool ChildProcess::launch(const std::string& path, const std::vector<std::string>& arguments,
                          const std::vector<std::string>& environment, int standardInput) {
  std::vector<std::string> argv = {path};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  const pid_t pid = platform::spawnWithInput(path, argv, environment, standardInput);
  if (pid < 0) return false;
  pid_ = pid;
  reaped_ = false;
  return true;
}

bool ChildProcess::isRunning() {
  if (pid_ <= 0 || reaped_) return false;
  int status;
  const pid_t done = retryOnEintr([&] { return ::waitpid(pid_, &status, WNOHANG); });
  if (done == pid_ || (done < 0 && errno == ECHILD)) reaped_ = true;
  return !reaped_;
}

void ChildProcess::terminate() {
  if (isRunning()) ::kill(pid_, SIGTERM);
}

void ChildProcess::waitUntilExit() {
  if (pid_ <= 0 || reaped_) return;
  int status;
  retryOnEintr([&] { return ::waitpid(pid_, &status, 0); });
  reaped_ = true;
}

void ChildProcess::terminateAndReap() {
  if (!isRunning()) {
    waitUntilExit();
    return;
  }
  terminate();
  const auto start = std::chrono::steady_clock::now();
  while (isRunning() && std::chrono::steady_clock::now() - start < kTerminationGrace)
    std::this_thread::sleep_for(kTerminationPoll);
  // Not yet reaped, so the pid still names our child.
  if (isRunning()) ::kill(pid_, SIGKILL);
  waitUntilExit();
}

}  // namespace korvelin::guardian
