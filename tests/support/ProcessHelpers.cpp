#include "tests/support/ProcessHelpers.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <utility>
#include <vector>

#include "core/platform/ProcessInfo.h"

namespace korvelin::testing {

namespace {
using ProcessTable = std::vector<std::pair<std::int32_t, std::int32_t>>;

// (pid, parent pid) of every process; empty when the table cannot be read.
ProcessTable processTable() {
  return platform::processParents(1 << 20).value_or(ProcessTable());
}
}  // namespace

ScopedSubreaper::ScopedSubreaper() : childrenBefore_(childrenOfThisProcess()) {
  ::prctl(PR_SET_CHILD_SUBREAPER, 1);
}

ScopedSubreaper::~ScopedSubreaper() {
  ::prctl(PR_SET_CHILD_SUBREAPER, 0);
  for (pid_t child : childrenOfThisProcess()) {
    if (childrenBefore_.count(child))
      continue;
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
  }
}

std::set<pid_t> childrenOfThisProcess() {
  std::set<pid_t> children;
  for (const auto& [pid, parent] : processTable())
    if (parent == ::getpid())
      children.insert(pid);
  return children;
}

bool reapIfExited(pid_t pid) {
  int status;
  pid_t done = ::waitpid(pid, &status, WNOHANG);
  return done == pid || (done < 0 && errno == ECHILD);
}

bool processExists(pid_t pid) {
  return ::kill(pid, 0) == 0 || errno == EPERM;
}

std::string commandLineOf(pid_t pid) {
  std::string text;
  for (const auto& argument : platform::rawArguments(pid).value_or(std::vector<std::string>()))
    text += argument + " ";
  return text;
}

std::vector<pid_t> processesMentioning(const std::string& text) {
  std::vector<pid_t> found;
  for (const auto& [pid, parent] : processTable())
    if (pid != ::getpid() && commandLineOf(pid).find(text) != std::string::npos)
      found.push_back(pid);
  return found;
}

}  // namespace korvelin::testing
