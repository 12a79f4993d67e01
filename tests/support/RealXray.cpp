#include "tests/support/RealXray.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "core/platform/FileUtil.h"

namespace korvelin::testing {

namespace {

std::string cacheDirectory() {
  const char* xdg = std::getenv("XDG_CACHE_HOME");
  if (xdg && xdg[0] == '/')
    return xdg;
  const char* home = std::getenv("HOME");
  return std::string(home ? home : "") + "/.cache";
}

}  // namespace

std::string realXrayVersion() {
  return KORVELIN_XRAY_VERSION;
}
std::string realCodexVersion() {
  return KORVELIN_CODEX_VERSION;
}

std::optional<std::string> realXrayPath(std::string& reason) {
  return cachedPeerPath("xray", realXrayVersion(), reason);
}

std::optional<std::string> realCodexPath(std::string& reason) {
  return cachedPeerPath("codex", realCodexVersion(), reason);
}

std::optional<std::string> cachedPeerPath(const std::string& name,
                                          const std::string& version,
                                          std::string& reason) {
  const std::string directory = cacheDirectory() + "/korvelin/" + name + "-" + version;
  const std::string path = directory + "/" + name;
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
      ::access(path.c_str(), X_OK) == 0)
    return path;
  if (auto note = platform::readSmallFile(directory + ".unavailable", 4096)) {
    while (!note->empty() && (note->back() == '\n' || note->back() == ' '))
      note->pop_back();
    reason = *note;
  } else {
    reason = "nothing at " + path + " (scripts/bootstrap fetches it)";
  }
  return std::nullopt;
}

}  // namespace korvelin::testing
