#pragma once

// Single-use, short-lived authorizations for launching Claude desktop. The
// Claude adapter issues one just before it spawns the application and
// consumes it once the suspended child has been verified; an enforcement
// component that watches executions (outside the library) asks the same
// service whether an execution of a Claude executable is one we started.
// Nothing is persisted: a restart forgets every open authorization.

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include <nlohmann/json_fwd.hpp>

#include "core/apps/CodexInstallation.h"
#include "core/base/Uuid.h"
#include "core/process/LiveProcessIdentity.h"

namespace korvelin {

struct ClaudeExecutableIdentity {
  std::string bundleIdentifier;
  std::string teamIdentifier;
  std::string codeDirectoryHash;
  std::string executablePath;

  bool operator==(const ClaudeExecutableIdentity&) const = default;
};

struct ClaudeLaunchAuthorization {
  using Date = std::chrono::system_clock::time_point;

  Uuid token;
  Uuid profileID;
  ClaudeExecutableIdentity identity;
  LiveProcessIdentity issuer;
  Date issuedAt;
  Date expiresAt;

  bool operator==(const ClaudeLaunchAuthorization&) const = default;
};

// What the enforcement component knows about one execution: the executable
// and its signature, and the executing process's parent (pid and start time).
struct ClaudeExecFacts {
  std::string executablePath;
  std::string teamIdentifier;
  std::string codeDirectoryHash;
  std::int32_t parentPID = 0;
  std::uint64_t parentStartSeconds = 0;
  std::uint64_t parentStartMicroseconds = 0;
};

enum class ClaudeLaunchDenial {
  enforcementUnavailable,
  unauthorizedExecutable,
  executableIdentityMismatch,
  authorizationExpired,
  authorizationReplayed,
  foreignAncestry,
};

std::string_view rawValue(ClaudeLaunchDenial denial);

// `allow` carries the matched authorization, `deny` the reason.
using ClaudeLaunchDecision = std::variant<ClaudeLaunchAuthorization, ClaudeLaunchDenial>;

enum class AuthorizationConsumptionKind { managedLaunch, evaluateKernel };

// The identity an authorization covers: only a Claude desktop installation
// (its bundle, its team, a code-directory hash and an executable) has one.
// Throws claudeLaunchNotAuthorized "not an authorized Claude identity".
ClaudeExecutableIdentity claudeExecutableIdentity(const CodexInstallation& installation);

// What the Claude adapter needs of an authorizer, so that another
// implementation can stand in for the shared service.
class ClaudeLaunchAuthorizing {
 public:
  virtual ~ClaudeLaunchAuthorizing() = default;
  virtual ClaudeLaunchAuthorization issue(const Uuid& profileID,
                                          const CodexInstallation& installation) = 0;
  virtual void consumeForManagedLaunch(const ClaudeLaunchAuthorization& authorization) = 0;
  virtual ClaudeLaunchDecision evaluate(const ClaudeExecFacts& facts,
                                        ClaudeLaunchAuthorization::Date now) = 0;
  virtual void setEnforcementActive(bool active) = 0;
};

// Keeps open authorizations and their consumptions in memory. Every
// authorization expires 15 s after it is issued; expired ones are purged
// only when a new one is issued. All failures are claudeLaunchNotAuthorized
// with a short reason.
class ClaudeLaunchAuthorizationService final : public ClaudeLaunchAuthorizing {
 public:
  using Clock = std::function<ClaudeLaunchAuthorization::Date()>;
  using IssuerCapture = std::function<std::optional<LiveProcessIdentity>()>;
  static constexpr std::chrono::seconds kDefaultTTL{15};

  // Defaults: the system clock, and this process's own live identity.
  explicit ClaudeLaunchAuthorizationService(Clock now = nullptr,
                                            IssuerCapture captureIssuer = nullptr);

  // The process-wide service.
  static ClaudeLaunchAuthorizationService& shared();

  ClaudeLaunchAuthorization issue(const Uuid& profileID,
                                  const CodexInstallation& installation) override;
  void consumeForManagedLaunch(const ClaudeLaunchAuthorization& authorization) override;
  ClaudeLaunchDecision evaluate(const ClaudeExecFacts& facts,
                                ClaudeLaunchAuthorization::Date now) override;
  void setEnforcementActive(bool active) override;

  // How many authorizations are held (purged ones are gone).
  std::size_t openAuthorizationCount();

 private:
  struct Consumption {
    AuthorizationConsumptionKind kind;
    ClaudeLaunchAuthorization::Date at;
  };

  std::mutex lock_;
  Clock now_;
  IssuerCapture captureIssuer_;
  bool enforcementActive_ = false;
  std::map<Uuid, ClaudeLaunchAuthorization> authorizations_;
  std::map<Uuid, Consumption> consumptions_;
};

// JSON object under the field names; dates as seconds since 1970.
void to_json(nlohmann::json& json, const ClaudeExecutableIdentity& identity);
void to_json(nlohmann::json& json, const ClaudeLaunchAuthorization& authorization);

}  // namespace korvelin
