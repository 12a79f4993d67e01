#include "tests/support/Subprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>
#include <thread>

#include "core/platform/Eintr.h"
#include "core/platform/FileUtil.h"
#include "core/platform/LocalSocket.h"
#include "core/platform/SpawnSupport.h"

namespace korvelin::testing {

using platform::retryOnEintr;

Subprocess::Subprocess(std::vector<std::string> argv, SubprocessOptions options) {
  platform::ScopedFD outputFile;
  if (!options.outputFile.empty()) {
    outputFile.reset(retryOnEintr([&] {
      return ::open(options.outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    }));
    if (!outputFile)
      throw std::runtime_error("cannot open " + options.outputFile);
  }
  // `exec` closes the close-on-exec `started` pipe: the constructor returns
  // only once the child runs the new program, so a test that inspects the
  // child (its executable, its arguments) never sees the forked copy of itself.
  platform::ScopedFD in, out, err, startedRead, startedWrite;
  if (!platform::newPipe(in, stdin_) || !platform::newPipe(stdout_, out) ||
      !platform::newPipe(stderr_, err) || !platform::newPipe(startedRead, startedWrite))
    throw std::runtime_error("pipe failed");
  auto args = platform::execPointers(argv);
  std::vector<std::string> envStrings = options.environment.value_or(std::vector<std::string>{});
  auto env = platform::execPointers(envStrings);
  pid_ = ::fork();
  if (pid_ < 0)
    throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    if (options.newProcessGroup)
      ::setpgid(0, 0);
    ::dup2(in.get(), 0);
    ::dup2(outputFile ? outputFile.get() : out.get(), 1);
    ::dup2(outputFile ? outputFile.get() : err.get(), 2);
    ::signal(SIGPIPE, SIG_DFL);
    if (options.environment)
      ::execve(args[0], args.data(), env.data());
    else
      ::execv(args[0], args.data());
    ::_exit(127);
  }
  startedWrite.reset();
  char ignored;
  retryOnEintr([&] { return ::read(startedRead.get(), &ignored, 1); });
  if (!options.standardInput.empty())
    writeStdin(options.standardInput);
  if (!options.keepStdinOpen)
    closeStdin();
}

Subprocess::~Subprocess() {
  if (!status_ && pid_ > 0) {
    ::kill(pid_, SIGKILL);
    int status;
    retryOnEintr([&] { return ::waitpid(pid_, &status, 0); });
  }
}

void Subprocess::writeStdin(const std::string& data) {
  ::signal(SIGPIPE, SIG_IGN);
  platform::writeFull(stdin_.get(), data);
}

void Subprocess::closeStdin() {
  stdin_.reset();
}

void Subprocess::signal(int signo) {
  if (!status_)
    ::kill(pid_, signo);
}

bool Subprocess::drain(int timeoutMilliseconds) {
  pollfd fds[2] = {{stdout_.get(), POLLIN, 0}, {stderr_.get(), POLLIN, 0}};
  int n = retryOnEintr([&] { return ::poll(fds, 2, timeoutMilliseconds); });
  if (n <= 0)
    return false;
  char buffer[4096];
  for (int i = 0; i < 2; ++i) {
    if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP)))
      continue;
    ssize_t got = retryOnEintr([&] { return ::read(fds[i].fd, buffer, sizeof buffer); });
    if (got > 0)
      (i == 0 ? out_ : err_).append(buffer, static_cast<size_t>(got));
    else
      (i == 0 ? stdout_ : stderr_).reset();
  }
  return true;
}

bool Subprocess::waitForOutput(const std::string& text, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (out_.find(text) == std::string::npos) {
    if (std::chrono::steady_clock::now() >= deadline || (!stdout_ && !stderr_))
      return false;
    drain(10);
  }
  return true;
}

std::optional<int> Subprocess::wait(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!status_) {
    drain(5);
    int status;
    pid_t done = retryOnEintr([&] { return ::waitpid(pid_, &status, WNOHANG); });
    if (done == pid_) {
      status_ = status;
      break;
    }
    if (std::chrono::steady_clock::now() >= deadline)
      return std::nullopt;
  }
  // A descendant may still hold the pipes open: read until they close or stay
  // quiet for a moment, never until the descendant exits.
  while ((stdout_ || stderr_) && drain(50)) {
  }
  return status_;
}

const std::string& Subprocess::output() {
  drain(0);
  return out_;
}

const std::string& Subprocess::errors() {
  drain(0);
  return err_;
}

RunResult run(std::vector<std::string> argv, SubprocessOptions options) {
  Subprocess child(std::move(argv), std::move(options));
  RunResult result;
  auto status = child.wait();
  if (status && WIFEXITED(*status))
    result.exitCode = WEXITSTATUS(*status);
  result.output = child.output();
  result.errors = child.errors();
  return result;
}

std::string korvelinPath() {
  return KORVELIN_CLI_PATH;
}

std::string guardianPath() {
  return KORVELIN_GUARDIAN_PATH;
}

std::string testProgramPath(const std::string& name) {
  return std::string(KORVELIN_TEST_PROGRAMS_DIR) + "/" + name;
}

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace korvelin::testing
