#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace korvelin::guardian {

// The one child the guardian runs. The child is reaped exactly once, by
// `isRunning` or `waitUntilExit`, so its pid cannot be reused by a stranger
// while this object may still signal it.
class ChildProcess {
 public:
  ChildProcess() = default;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts `path` with `arguments` after the program name, exactly
  // `environment`, standard input from `standardInput`, standard output and
  // error on the null device and no other descriptor. False (errno set) when
  // it could not be started.
  bool launch(const std::string& path, const std::vector<std::string>& arguments,
              const std::vector<std::string>& environment, int standardInput);

  pid_t pid() const { return pid_; }

  // True until the child has exited; reaps it when it has.
  bool isRunning();
  // SIGTERM.
  void terminate();
  void waitUntilExit();

  // SIGTERM, up to 2 s for the child to go (polled every 10 ms), then
  // SIGKILL; returns once the child is reaped. Waits only for a child that
  // is still running.
  void terminateAndReap();

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
};

}  // namespace korvelin::guardian
