// An engine for the guardian's tests. It takes the Xray command line, reads
// its configuration to end-of-file, and then does what that configuration (a
// JSON object) asks:
//   "report": PATH      write the configuration it read to PATH, atomically
//                       and after every other setting took effect, so a test
//                       that sees the file knows the engine is ready (and
//                       finds the rest in /proc);
//   "termMarker": PATH  survive SIGTERM, creating PATH when one arrives;
//   "exit": true        exit at once instead of waiting for a signal.

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include <nlohmann/json.hpp>

#include "core/platform/FileUtil.h"

namespace {

char termMarker[4096];

void noteTerm(int) {
  int fd = ::open(termMarker, O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  if (fd >= 0)
    ::close(fd);
}

void writeReport(const std::string& path, const std::string& configuration) {
  const std::string temporary = path + ".partial";
  FILE* file = std::fopen(temporary.c_str(), "w");
  if (!file)
    return;
  std::fputs(configuration.c_str(), file);
  std::fclose(file);
  std::rename(temporary.c_str(), path.c_str());
}

}  // namespace

int main() {
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
    writeReport(report, *text);
  if (settings.value("exit", false))
    return 0;
  for (;;)
    ::pause();
}
