#include "core/process/LaunchLease.h"

#include <chrono>
#include <vector>

#include "core/base/CoreError.h"
#include "core/base/JsonSupport.h"
#include "core/text/Utf8.h"

namespace korvelin {

using jsonio::requireUuid;

namespace {

using nlohmann::json;

using jsonio::nonEmptyLines;
using jsonio::requireNumber;

// Parses one line as a JSON object; absent on any failure.
std::optional<json> parseObject(std::string_view line) {
  auto value = json::parse(line.begin(), line.end(), nullptr, false);
  if (value.is_discarded() || !value.is_object())
    return std::nullopt;
  return value;
}

DurableProcessLease decodeRunningLine(const json& line) {
  const bool hasIdentity = line.contains("identity");
  if (hasIdentity)
    jsonio::requireExactKeys(
        line, {"identity", "processGroupID", "rootPID", "runID", "startedAt", "state"});
  else
    jsonio::requireExactKeys(line, {"processGroupID", "rootPID", "runID", "startedAt", "state"});
  DurableProcessLease lease;
  lease.runID = requireUuid(line, "runID");
  lease.startedAt = requireNumber(line, "startedAt");
  lease.rootPID = jsonio::requireInteger<std::int32_t>(line, "rootPID");
  lease.processGroupID = jsonio::requireInteger<std::int32_t>(line, "processGroupID");
  lease.state = jsonio::requireString(line, "state");
  if (hasIdentity)
    lease.identity = line.at("identity").get<LiveProcessIdentity>();
  return lease;
}

}  // namespace

std::string leaseJSON(const Uuid& runID,
                      double startedAt,
                      std::optional<std::int32_t> rootPID,
                      std::optional<std::int32_t> processGroupID,
                      std::string_view state,
                      const std::optional<LiveProcessIdentity>& identity) {
  json line = {{"runID", runID}, {"startedAt", startedAt}, {"state", state}};
  if (rootPID)
    line["rootPID"] = *rootPID;
  if (processGroupID)
    line["processGroupID"] = *processGroupID;
  if (identity)
    line["identity"] = *identity;
  return jsonio::compact(line);
}

std::optional<DurableProcessLease> parseDurableProcessLease(std::string_view data) {
  if (!isValidUtf8(data))
    return std::nullopt;
  const auto lines = nonEmptyLines(data);
  if (lines.empty() || lines.size() > 2)
    return std::nullopt;
  try {
    auto last = parseObject(lines.back());
    if (!last)
      return std::nullopt;
    DurableProcessLease lease = decodeRunningLine(*last);
    if (lease.state != "running")
      return std::nullopt;
    if (lines.size() == 2) {
      auto first = parseObject(lines.front());
      if (!first)
        return std::nullopt;
      jsonio::requireExactKeys(*first, {"runID", "startedAt", "state"});
      if (jsonio::requireString(*first, "state") != "starting" ||
          requireUuid(*first, "runID") != lease.runID ||
          requireNumber(*first, "startedAt") != lease.startedAt)
        return std::nullopt;
    }
    return lease;
  } catch (const json::exception&) {
    return std::nullopt;
  } catch (const jsonio::ShapeError&) {
    return std::nullopt;
  }
}

std::string launchLogName(const Uuid& runID) {
  return "launch-" + runID.lowercaseString() + ".jsonl";
}

std::string launchEventJSON(std::string_view event,
                            const Uuid& profileID,
                            const Uuid& runID,
                            double timestamp,
                            std::optional<std::int32_t> rootPID,
                            std::optional<std::int32_t> exitCode,
                            std::optional<std::int32_t> terminationSignal) {
  json line = {
      {"event", event}, {"profileID", profileID}, {"runID", runID}, {"timestamp", timestamp}};
  if (rootPID)
    line["rootPID"] = *rootPID;
  if (exitCode)
    line["exitCode"] = *exitCode;
  if (terminationSignal)
    line["terminationSignal"] = *terminationSignal;
  return jsonio::compact(line);
}

std::string recoveryEvidenceJSON(const Uuid& profileID,
                                 const Uuid& runID,
                                 double recoveredAt,
                                 std::string_view leaseBytes) {
  if (!isValidUtf8(leaseBytes))
    throw KorvelinCoreError::profileRecoveryRequired(profileID);
  json journal = json::array();
  for (auto line : nonEmptyLines(leaseBytes)) {
    auto object = parseObject(line);
    if (!object)
      throw KorvelinCoreError::profileRecoveryRequired(profileID);
    journal.push_back(std::move(*object));
  }
  json evidence = {{"event", "stale_lease_recovered"},
                   {"profileID", profileID},
                   {"runID", runID},
                   {"recoveredAt", recoveredAt},
                   {"leaseJournal", std::move(journal)}};
  return jsonio::compact(evidence);
}

double currentUnixTime() {
  using namespace std::chrono;
  return duration<double>(system_clock::now().time_since_epoch()).count();
}

}  // namespace korvelin
