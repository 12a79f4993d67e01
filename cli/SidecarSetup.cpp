#include "cli/SidecarSetup.h"

#include <filesystem>

namespace korvelin::cli {

SidecarTools defaultSidecarTools() {
  SidecarTools tools;
  tools.probeURL = XraySidecarSupervisor::kDefaultEgressProbeURL;
  std::error_code error;
  const auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error)
    return tools;
  const auto build = executable.parent_path().parent_path();
  tools.guardian = (build / "guardian" / "korvelin-xray-guardian").string();
  tools.engine = (build / "tests" / "programs" / "standin-xray").string();
  return tools;
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
