#include "tests/support/RealXray.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "core/platform/FileUtil.h"

namespace korvelin::testing {

namespace {

std::string cacheDirectory() {
  const char* xdg = std::getenv("XDG_CACHE_HOME");
  if (xdg && xdg[0] == '/') return xdg;
  const char* home = std::getenv("HOME");
  return std::string(home ? home : "") + "/.cache";
}

}  // namespace

std::string realXrayVersion() { return KORVELIN_XRAY_VERSION; }

std::optional<std::string> realXrayPath(std::string& reason) {
  const std::string directory = cacheDirectory() + "/korvelin/xray-" + realXrayVersion();
  const std::string path = directory + "/xray";
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
      ::access(path.c_str(), X_OK) == 0)
    return path;
  if (auto note = platform::readSmallFile(directory + ".unavailable", 4096)) {
    while (!note->empty() && (note->back() == '\n' || note->back() == ' ')) note->pop_back();
    reason = *note;
  } else {
    reason = "no engine at " + path + " (scripts/bootstrap builds it)";
  }
  return std::nullopt;
}

}  // namespace korvelin::testing
