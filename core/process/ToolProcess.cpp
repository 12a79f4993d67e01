#include "core/process/ToolProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/platform/Eintr.h"
#include "core/platform/LocalSocket.h"
#include "core/platform/ScopedFD.h"
#include "core/process/ChildProcess.h"

namespace korvelin {

using platform::retryOnEintr;
using platform::ScopedFD;

ToolResult runTool(const std::string& path,
                   const std::vector<std::string>& arguments,
                   const std::vector<std::string>& environment,
                   std::size_t maxOutput,
                   std::chrono::milliseconds timeout) {
  ToolResult result;
  ScopedFD readEnd, writeEnd;
  if (!platform::newPipe(readEnd, writeEnd))
    return result;
  ChildProcess child;
  if (!child.launch(path, arguments, environment, -1, writeEnd.get()))
    return result;
  writeEnd.reset();

  const auto deadline = std::chrono::steady_clock::now() + timeout;
  bool timedOut = false;
  char buffer[4096];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      timedOut = true;
      break;
    }
    pollfd pfd{readEnd.get(), POLLIN, 0};
    const int ready = retryOnEintr([&] { return ::poll(&pfd, 1, static_cast<int>(left.count())); });
    if (ready < 0) {
      timedOut = true;
      break;
    }
    if (ready == 0)
      continue;
    const ssize_t n = retryOnEintr([&] { return ::read(readEnd.get(), buffer, sizeof buffer); });
    if (n <= 0)
      break;  // end of output
    const std::size_t room = maxOutput - std::min(maxOutput, result.output.size());
    const std::size_t keep = std::min(room, static_cast<std::size_t>(n));
    result.output.append(buffer, keep);
    if (keep < static_cast<std::size_t>(n))
      result.outputOverLimit = true;
  }
  if (timedOut && child.isRunning())
    ::kill(child.pid(), SIGKILL);
  child.waitUntilExit();
  if (!timedOut && child.waitStatus() && WIFEXITED(*child.waitStatus()))
    result.exitCode = WEXITSTATUS(*child.waitStatus());
  return result;
}

}  // namespace korvelin
