#pragma once

// Read-only looks at a prepared profile: named checks of its directories and
// of what its application leaves behind, and which external address its
// proxy presents to the world.

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "core/base/Uuid.h"
#include "core/profile/ProfilePaths.h"
#include "core/profile/ProfileProxyConfiguration.h"

namespace korvelin {

enum class DiagnosticStatus { pass, pending, fail };
std::string_view rawValue(DiagnosticStatus status);

struct DiagnosticCheck {
  std::string identifier;
  DiagnosticStatus status = DiagnosticStatus::pending;
  std::string path;
  std::string detail;
  bool operator==(const DiagnosticCheck&) const = default;
};

struct ProfileDiagnosticsReport {
  Uuid profileID;
  std::vector<DiagnosticCheck> checks;  // profileDirectories, codexHome, browserLock, codexIPC
  bool operator==(const ProfileDiagnosticsReport&) const = default;
};
void to_json(nlohmann::json& json, const ProfileDiagnosticsReport& report);

struct ProfileDiagnostics {
  // Every finding is a check; links are never followed.
  static ProfileDiagnosticsReport inspect(const ProfilePaths& paths,
                                          const ProfilePreparer& preparer);
};

struct ProfileNetworkRouteProbe {
  static constexpr std::string_view kDefaultEchoURL = "https://api.ipify.org";
  // Runs curl with these arguments and returns what it printed; throws
  // proxyPreflightFailed when it did not exit 0.
  using Runner = std::function<std::string(const std::vector<std::string>& arguments)>;
  Runner run = defaultRunner;
  std::string echoURL = std::string(kDefaultEchoURL);

  // The external address the proxy presents (proxyPreflightFailed otherwise).
  std::string probe(const ProfileProxyConfiguration& proxy) const;
  // Without a proxy: the address of the system route.
  std::string probeDirect() const;

  static std::string defaultRunner(const std::vector<std::string>& arguments);
};

}  // namespace korvelin
