#include "tests/support/ProcFiles.h"

#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "tests/support/FileTreeHelpers.h"

namespace korvelin::testing {

std::vector<std::string> procStrings(pid_t pid, const char* file) {
  const std::string text = readText("/proc/" + std::to_string(pid) + "/" + file);
  std::vector<std::string> strings;
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = std::min(text.find('\0', start), text.size());
    strings.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return strings;
}

std::vector<pid_t> processesWhere(
    const std::function<bool(const std::vector<std::string>& arguments)>& matches) {
  std::vector<pid_t> found;
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", ignored)) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos)
      continue;
    const pid_t pid = std::stoi(name);
    if (pid != ::getpid() && matches(procStrings(pid, "cmdline")))
      found.push_back(pid);
  }
  return found;
}

}  // namespace korvelin::testing
