// An engine for the guardian's tests. It takes the Xray command line, reads
// its configuration to end-of-file, and then does what that configuration (a
// JSON object) asks:
//   "report": PATH      write what it was given (arguments, environment,
//                       configuration, open descriptors, where standard
//                       output and error lead) to PATH as JSON, atomically
//                       and after every other setting took effect, so a test
//                       that sees the file knows the engine is ready;
//   "termMarker": PATH  survive SIGTERM, creating PATH when one arrives;
//   "exit": true        exit at once instead of waiting for a signal.

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include <nlohmann/json.hpp>

#include "core/platform/FileUtil.h"

extern char** environ;

namespace {

char termMarker[4096];

void noteTerm(int) {
  int fd = ::open(termMarker, O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  if (fd >= 0)
    ::close(fd);
}

std::string linkTarget(const std::string& path) {
  char buffer[4096];
  ssize_t n = ::readlink(path.c_str(), buffer, sizeof buffer);
  return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

nlohmann::json openDescriptors() {
  auto result = nlohmann::json::array();
  DIR* directory = ::opendir("/proc/self/fd");
  if (!directory)
    return result;
  const int own = ::dirfd(directory);
  while (const dirent* entry = ::readdir(directory)) {
    if (entry->d_name[0] == '.' || std::stoi(entry->d_name) == own)
      continue;
    result.push_back(std::stoi(entry->d_name));
  }
  ::closedir(directory);
  std::sort(result.begin(), result.end());
  return result;
}

void writeReport(const std::string& path, int argc, char** argv, const std::string& configuration) {
  nlohmann::json report = {
      {"arguments", std::vector<std::string>(argv, argv + argc)},
      {"configuration", configuration},
      {"descriptors", openDescriptors()},
      {"stdin", linkTarget("/proc/self/fd/0")},
      {"stdout", linkTarget("/proc/self/fd/1")},
      {"stderr", linkTarget("/proc/self/fd/2")},
  };
  report["environment"] = nlohmann::json::array();
  for (char** variable = environ; *variable; ++variable)
    report["environment"].push_back(*variable);
  const std::string temporary = path + ".partial";
  FILE* file = std::fopen(temporary.c_str(), "w");
  if (!file)
    return;
  std::fputs(report.dump().c_str(), file);
  std::fclose(file);
  std::rename(temporary.c_str(), path.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  auto text = korvelin::platform::readAllBounded(STDIN_FILENO, 1 << 20);
  if (!text)
    return 2;
  auto settings = nlohmann::json::parse(*text, nullptr, /*allow_exceptions=*/false);
  if (!settings.is_object())
    settings = nlohmann::json::object();

  if (auto marker = settings.value("termMarker", std::string()); !marker.empty()) {
    marker.copy(termMarker, sizeof termMarker - 1);
    struct sigaction action {};
    action.sa_handler = noteTerm;
    ::sigaction(SIGTERM, &action, nullptr);
  }
  if (auto report = settings.value("report", std::string()); !report.empty())
    writeReport(report, argc, argv, *text);
  if (settings.value("exit", false))
    return 0;
  for (;;)
    ::pause();
}
