#include "tests/support/ProcessHelpers.h"

#include <dirent.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace korvelin::testing {

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
  const std::string self = std::to_string(::getpid());
  DIR* proc = ::opendir("/proc");
  if (!proc)
    return children;
  while (const dirent* entry = ::readdir(proc)) {
    const pid_t pid = std::atoi(entry->d_name);
    if (pid <= 0)
      continue;
    std::ifstream stat("/proc/" + std::string(entry->d_name) + "/stat");
    std::string line;
    if (!std::getline(stat, line))
      continue;
    // The parent is the second field after the parenthesised name.
    const auto close = line.rfind(')');
    if (close == std::string::npos || close + 4 > line.size())
      continue;
    const auto parentStart = line.find(' ', close + 2);
    if (parentStart == std::string::npos)
      continue;
    if (line.substr(parentStart + 1, line.find(' ', parentStart + 1) - parentStart - 1) == self)
      children.insert(pid);
  }
  ::closedir(proc);
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
  std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::replace(text.begin(), text.end(), '\0', ' ');
  return text;
}

std::vector<pid_t> processesMentioning(const std::string& text) {
  std::vector<pid_t> found;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos)
      continue;
    const pid_t pid = std::stoi(name);
    if (pid != ::getpid() && commandLineOf(pid).find(text) != std::string::npos)
      found.push_back(pid);
  }
  return found;
}

}  // namespace korvelin::testing
