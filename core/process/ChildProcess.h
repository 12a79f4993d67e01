#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace korvelin {

// A helper child (Xray under the guardian, the guardian under the sidecar
// supervisor, lsof, curl). The child is reaped exactly once, by `isRunning`
// or `waitUntilExit`, so its pid cannot be reused by a stranger while this
// object may still signal it. Destroying the object neither signals nor
// reaps: whoever owns the child decides when it ends.
class ChildProcess {
 public:
  ChildProcess() = default;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts `path` with `arguments` after the program name, exactly
  // `environment`, standard input from `standardInput`, standard output to
  // `standardOutput` and standard error to `standardError` (-1: the null
  // device) and no other descriptor; with `newSession`, in a session of its
  // own. With `endWithParent` the system kills the child once the calling
  // thread ends, however it ends (where it can; see platform/Spawn.h). False
  // (errno set) when it could not be started.
  bool launch(const std::string& path,
              const std::vector<std::string>& arguments,
              const std::vector<std::string>& environment,
              int standardInput,
              int standardOutput = -1,
              bool newSession = false,
              bool endWithParent = false,
              int standardError = -1);

  pid_t pid() const { return pid_; }

  // True until the child has exited; reaps it when it has.
  bool isRunning();
  // SIGTERM.
  void terminate();
  void waitUntilExit();

  // SIGTERM, up to `grace` for the child to go (polled every 10 ms), then
  // SIGKILL; returns once the child is reaped. Waits only for a child that
  // is still running.
  void terminateAndReap(std::chrono::milliseconds grace = std::chrono::seconds(2));

  // Polls `isRunning` every `interval` until the child exits or `timeout`
  // passes; true when it exited.
  bool waitForExit(std::chrono::milliseconds timeout, std::chrono::milliseconds interval);

  // The raw wait status once reaped.
  std::optional<int> waitStatus() const { return status_; }

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
  std::optional<int> status_;
};

}  // namespace korvelin
