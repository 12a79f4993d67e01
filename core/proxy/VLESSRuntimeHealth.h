#pragma once

#include <string>

#include <nlohmann/json_fwd.hpp>

namespace korvelin {

// The last known health of a profile's proxy sidecar: the egress address a
// probe through it answered, no answer, or a sidecar that needs recovery.
struct VLESSRuntimeHealth {
  enum class Kind { available, unavailable, recoveryRequired };

  Kind kind = Kind::unavailable;
  std::string externalIP;  // only for `available`
  double checkedAt = 0;    // seconds since 1970

  static VLESSRuntimeHealth available(std::string externalIP, double checkedAt);
  static VLESSRuntimeHealth unavailable(double checkedAt);
  static VLESSRuntimeHealth recoveryRequired(double checkedAt);

  bool isAvailable() const { return kind == Kind::available; }
  bool isRecoveryRequired() const { return kind == Kind::recoveryRequired; }

  bool operator==(const VLESSRuntimeHealth&) const = default;
};

// {"available": {"checkedAt": ..., "externalIP": ...}}, {"unavailable": {...}}
// or {"recoveryRequired": {...}}. Decoding wants exactly one case with
// exactly its keys.
void to_json(nlohmann::json& json, const VLESSRuntimeHealth& health);
void from_json(const nlohmann::json& json, VLESSRuntimeHealth& health);

}  // namespace korvelin
