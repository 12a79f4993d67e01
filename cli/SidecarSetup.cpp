#include "cli/SidecarSetup.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "core/platform/ProcessInfo.h"

namespace korvelin::cli {

namespace {

std::filesystem::path buildDirectory() {
  const auto executable = platform::executablePath(static_cast<std::int32_t>(::getpid()));
  return executable ? std::filesystem::path(*executable).parent_path().parent_path()
                    : std::filesystem::path();
}

std::string cachedEnginePath() {
  const char* xdg = std::getenv("XDG_CACHE_HOME");
  const char* home = std::getenv("HOME");
  const std::string cache = xdg && xdg[0] == '/' ? xdg : std::string(home ? home : "") + "/.cache";
  return cache + "/korvelin/xray-" KORVELIN_XRAY_VERSION "/xray";
}

}  // namespace

std::string defaultBrowserShim() {
  const auto executable = platform::executablePath(static_cast<std::int32_t>(::getpid()));
  return executable
             ? (std::filesystem::path(*executable).parent_path() / "korvelin-browser-shim").string()
             : std::string();
}

SidecarTools defaultSidecarTools() {
  SidecarTools tools;
  tools.probeURL = XraySidecarSupervisor::kDefaultEgressProbeURL;
  const auto build = buildDirectory();
  if (!build.empty())
    tools.guardian = (build / "guardian" / "korvelin-xray-guardian").string();
  const std::string engine = cachedEnginePath();
  if (::access(engine.c_str(), X_OK) == 0)
    tools.engine = engine;
  return tools;
}

std::string standinEngine() {
  const auto build = buildDirectory();
  return build.empty() ? std::string() : (build / "tests" / "programs" / "standin-xray").string();
}

Message noRealEngineMessage() {
  return {
      "no real engine found at {0} (scripts/bootstrap builds it) and no --xray PATH given; a link "
      "is never "
      "served without one",
      {cachedEnginePath()}};
}

std::unique_ptr<XraySidecarSupervisor> makeSidecarSupervisor(const SidecarTools& tools) {
  const std::string engine = tools.engine, guardian = tools.guardian, url = tools.probeURL;
  return std::make_unique<XraySidecarSupervisor>(
      [engine] { return XraySidecarSupervisor::validateBinary(engine); },
      [url](std::uint16_t port, double limit) {
        return XraySidecarSupervisor::curlEgressProbe(port, url, limit);
      },
      &XraySidecarSupervisor::lsofListenerVerifier,
      [guardian] { return XraySidecarSupervisor::validateBinary(guardian); });
}

}  // namespace korvelin::cli
