#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/platform/ScopedFD.h"

namespace korvelin::testing {

struct SubprocessOptions {
  std::string standardInput;     // written then closed (unless keepStdinOpen)
  bool keepStdinOpen = false;    // leave the pipe open; close with closeStdin()
  bool newProcessGroup = false;  // setpgid(0, 0) in the child
  std::optional<std::vector<std::string>> environment;  // default: inherit
  // When set, standard output and error go to this file (created or
  // truncated) instead of pipes: a long-running child that logs a line per
  // connection would otherwise block once nobody drains the pipe.
  std::string outputFile;
};

// A child process started with fork + exec, with its standard output and
// error captured. The destructor kills (SIGKILL) and reaps a child still
// running, so a failed test never leaves one behind.
class Subprocess {
 public:
  Subprocess(std::vector<std::string> argv, SubprocessOptions options = {});
  ~Subprocess();
  Subprocess(const Subprocess&) = delete;
  Subprocess& operator=(const Subprocess&) = delete;

  int pid() const { return pid_; }
  void writeStdin(const std::string& data);
  void closeStdin();
  void signal(int signo);

  // Reads standard output until it contains `text` or the timeout passes.
  bool waitForOutput(const std::string& text, std::chrono::milliseconds timeout);

  // Waits for the exit; absent on timeout. The value is the raw wait status.
  std::optional<int> wait(std::chrono::milliseconds timeout = std::chrono::seconds(30));

  const std::string& output();  // everything read from standard output so far
  const std::string& errors();  // everything read from standard error so far

 private:
  // Reads what is ready within the timeout; false when nothing was.
  bool drain(int timeoutMilliseconds);

  int pid_ = -1;
  platform::ScopedFD stdin_, stdout_, stderr_;
  std::optional<int> status_;
  std::string out_;
  std::string err_;
};

struct RunResult {
  int exitCode = -1;  // -1 when killed by a signal
  std::string output;
  std::string errors;
};

// Runs to completion (30 s at most) and returns the exit code and output.
RunResult run(std::vector<std::string> argv, SubprocessOptions options = {});

// Path of the `korvelin` binary, the guardian, and test programs built from
// support/programs.
std::string korvelinPath();
std::string guardianPath();
std::string testProgramPath(const std::string& name);

// Polls `condition` every 5 ms until true or the timeout passes.
bool eventually(const std::function<bool()>& condition,
                std::chrono::milliseconds timeout = std::chrono::seconds(5));

}  // namespace korvelin::testing
