#include "core/process/ProcessSnapshot.h"

#include <algorithm>

#include <nlohmann/json.hpp>

#include "core/base/EnumNames.h"
#include "core/base/JsonSupport.h"

namespace korvelin {

namespace {
constexpr EnumNames<ProcessRunState, 4> kStates{{
    {ProcessRunState::running, "running"},
    {ProcessRunState::rootExitedDescendantsRunning, "rootExitedDescendantsRunning"},
    {ProcessRunState::managedGroupStoppedAwaitingConfirmation,
     "managedGroupStoppedAwaitingConfirmation"},
    {ProcessRunState::stoppedConfirmed, "stoppedConfirmed"},
}};
}  // namespace

std::string_view rawValue(ProcessRunState state) {
  return kStates.name(state);
}

std::optional<ProcessRunState> processRunStateFromRawValue(std::string_view raw) {
  return kStates.value(raw);
}

void to_json(nlohmann::json& json, const ProcessSnapshot& s) {
  json = {{"profileID", s.profileID},   {"runID", s.runID},
          {"rootPID", s.rootPID},       {"processGroupID", s.processGroupID},
          {"state", rawValue(s.state)}, {"startedAt", s.startedAt},
          {"logURL", s.logPath}};
  if (s.exitCode)
    json["exitCode"] = *s.exitCode;
  if (s.terminationSignal)
    json["terminationSignal"] = *s.terminationSignal;
  if (s.continuityWarning)
    json["continuityWarning"] = *s.continuityWarning;
  if (s.vlessHealth)
    json["vlessHealth"] = *s.vlessHealth;
  if (s.rootIdentity)
    json["rootIdentity"] = *s.rootIdentity;
}

void from_json(const nlohmann::json& json, ProcessSnapshot& s) {
  using namespace jsonio;
  for (const auto& [key, value] : json.items()) {
    static constexpr std::string_view kKeys[] = {
        "profileID",   "runID",       "rootPID",  "processGroupID",    "state",
        "startedAt",   "logURL",      "exitCode", "terminationSignal", "continuityWarning",
        "vlessHealth", "rootIdentity"};
    if (std::find(std::begin(kKeys), std::end(kKeys), key) == std::end(kKeys))
      throw ShapeError("unrecognised key \"" + key + "\"");
  }
  s.profileID = requireMember(json, "profileID").get<Uuid>();
  s.runID = requireMember(json, "runID").get<Uuid>();
  s.rootPID = requireInteger<std::int32_t>(json, "rootPID");
  s.processGroupID = requireInteger<std::int32_t>(json, "processGroupID");
  auto state = processRunStateFromRawValue(requireString(json, "state"));
  if (!state)
    throw ShapeError("unknown run state");
  s.state = *state;
  const auto& startedAt = requireMember(json, "startedAt");
  if (!startedAt.is_number())
    throw ShapeError("\"startedAt\" is not a number");
  s.startedAt = startedAt.get<double>();
  s.logPath = requireString(json, "logURL");
  s.exitCode.reset();
  s.terminationSignal.reset();
  s.continuityWarning.reset();
  s.vlessHealth.reset();
  s.rootIdentity.reset();
  if (json.contains("exitCode"))
    s.exitCode = requireInteger<std::int32_t>(json, "exitCode");
  if (json.contains("terminationSignal"))
    s.terminationSignal = requireInteger<std::int32_t>(json, "terminationSignal");
  if (json.contains("continuityWarning"))
    s.continuityWarning = requireString(json, "continuityWarning");
  if (json.contains("vlessHealth"))
    s.vlessHealth = json.at("vlessHealth").get<VLESSRuntimeHealth>();
  if (json.contains("rootIdentity"))
    s.rootIdentity = json.at("rootIdentity").get<LiveProcessIdentity>();
}

}  // namespace korvelin
