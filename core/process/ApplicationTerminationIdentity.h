#pragma once

#include <string>

namespace korvelin {

// Who an application is, for a native quit request (macOS only).
struct ApplicationTerminationIdentity {
  std::string bundleIdentifier;
  std::string bundlePath;      // path of the ".app" bundle
  std::string executablePath;  // path of the bundle's main executable

  bool operator==(const ApplicationTerminationIdentity&) const = default;
};

}  // namespace korvelin
