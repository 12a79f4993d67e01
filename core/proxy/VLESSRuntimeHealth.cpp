#include "core/proxy/VLESSRuntimeHealth.h"

#include <nlohmann/json.hpp>

#include "core/base/JsonSupport.h"

namespace korvelin {

namespace {
constexpr std::pair<VLESSRuntimeHealth::Kind, const char*> kKinds[] = {
    {VLESSRuntimeHealth::Kind::available, "available"},
    {VLESSRuntimeHealth::Kind::unavailable, "unavailable"},
    {VLESSRuntimeHealth::Kind::recoveryRequired, "recoveryRequired"},
};
}  // namespace

VLESSRuntimeHealth VLESSRuntimeHealth::available(std::string externalIP, double checkedAt) {
  return {Kind::available, std::move(externalIP), checkedAt};
}
VLESSRuntimeHealth VLESSRuntimeHealth::unavailable(double checkedAt) {
  return {Kind::unavailable, {}, checkedAt};
}
VLESSRuntimeHealth VLESSRuntimeHealth::recoveryRequired(double checkedAt) {
  return {Kind::recoveryRequired, {}, checkedAt};
}

void to_json(nlohmann::json& json, const VLESSRuntimeHealth& health) {
  nlohmann::json values = {{"checkedAt", health.checkedAt}};
  if (health.isAvailable())
    values["externalIP"] = health.externalIP;
  for (const auto& [kind, name] : kKinds)
    if (kind == health.kind)
      json = {{name, values}};
}

void from_json(const nlohmann::json& json, VLESSRuntimeHealth& health) {
  using namespace jsonio;
  if (!json.is_object() || json.size() != 1)
    throw ShapeError("a health value has exactly one case");
  for (const auto& [kind, name] : kKinds) {
    if (!json.contains(name))
      continue;
    const auto& values = json.at(name);
    if (kind == VLESSRuntimeHealth::Kind::available) {
      requireExactKeys(values, {"checkedAt", "externalIP"});
      health = VLESSRuntimeHealth::available(requireString(values, "externalIP"),
                                             requireNumber(values, "checkedAt"));
    } else {
      requireExactKeys(values, {"checkedAt"});
      health = {kind, {}, requireNumber(values, "checkedAt")};
    }
    return;
  }
  throw ShapeError("unknown health case");
}

}  // namespace korvelin
