#include "core/codex/CodexUsage.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>

#include <nlohmann/json.hpp>

#include "core/base/CoreError.h"
#include "core/base/EnumNames.h"
#include "core/text/UnicodeText.h"

namespace korvelin {

namespace {

using nlohmann::json;

constexpr EnumNames<CodexUsageUnavailableReason, 5> kReasonNames{{
    {CodexUsageUnavailableReason::authenticationRequired, "authenticationRequired"},
    {CodexUsageUnavailableReason::unsupportedProtocol, "unsupportedProtocol"},
    {CodexUsageUnavailableReason::invalidResponse, "invalidResponse"},
    {CodexUsageUnavailableReason::connectionFailed, "connectionFailed"},
    {CodexUsageUnavailableReason::routeUnverified, "routeUnverified"},
}};

constexpr EnumNames<MenuBarProfileNameMode, 3> kModeNames{{
    {MenuBarProfileNameMode::full, "full"},
    {MenuBarProfileNameMode::oneCharacter, "oneCharacter"},
    {MenuBarProfileNameMode::twoCharacters, "twoCharacters"},
}};

constexpr EnumNames<MenuBarProfileNameMode, 3> kModeTitles{{
    {MenuBarProfileNameMode::full, "Full"},
    {MenuBarProfileNameMode::oneCharacter, "1 character"},
    {MenuBarProfileNameMode::twoCharacters, "2 characters"},
}};

constexpr std::size_t kFullNameCharacters = 20;

[[noreturn]] void fail(const char* detail) {
  throw KorvelinCoreError::codexUsageProtocolFailed(detail);
}

const json* member(const json& object, std::string_view key) {
  if (!object.is_object())
    return nullptr;
  const auto found = object.find(key);
  return found == object.end() ? nullptr : &*found;
}

const json* objectMember(const json& object, std::string_view key) {
  const json* value = member(object, key);
  return value && value->is_object() ? value : nullptr;
}

std::optional<std::string> nonEmptyString(const json& object, std::string_view key) {
  const json* value = member(object, key);
  if (!value || !value->is_string() || value->get_ref<const std::string&>().empty())
    return std::nullopt;
  return value->get<std::string>();
}

json readMessage(std::string_view line) {
  if (line.size() > CodexUsageMessageParser::kMaximumLineBytes)
    fail("invalid JSON-RPC message");
  json message = json::parse(line.begin(), line.end(), nullptr, false);
  if (message.is_discarded() || !message.is_object())
    fail("invalid JSON-RPC message");
  return message;
}

bool withinBounds(std::int64_t used, std::optional<std::int64_t> duration) {
  return used >= 0 && used <= 100 && (!duration || *duration >= 1);
}

std::optional<CodexUsageWindow> window(const json* value) {
  if (!value || !value->is_object())
    return std::nullopt;
  const auto used = jsonInteger(member(*value, "usedPercent"));
  if (!used)
    fail("invalid rate-limit window");
  auto result = CodexUsageWindow::make(*used, jsonInteger(member(*value, "windowDurationMins")),
                                       jsonInteger(member(*value, "resetsAt")));
  if (!result)
    fail("invalid rate-limit window");
  return result;
}

CodexRateLimitBucket bucket(const json& object, const std::string& fallback) {
  CodexRateLimitBucket result;
  result.id = nonEmptyString(object, "limitId").value_or(fallback);
  if (result.id.empty())
    fail("rate-limit identifier is missing");
  result.name = nonEmptyString(object, "limitName");
  result.primary = window(member(object, "primary"));
  result.secondary = window(member(object, "secondary"));
  return result;
}

// A window carrying only what changed, laid over the window known before.
CodexUsageWindow mergedWindow(const json& update, const std::optional<CodexUsageWindow>& existing) {
  auto used = jsonInteger(member(update, "usedPercent"));
  if (!used && existing)
    used = existing->usedPercent;
  if (!used)
    fail("invalid sparse rate-limit window");
  auto duration = jsonInteger(member(update, "windowDurationMins"));
  if (!duration && existing)
    duration = existing->windowDurationMinutes;
  auto resetsAt = jsonInteger(member(update, "resetsAt"));
  if (!resetsAt && existing)
    resetsAt = existing->resetsAt;
  auto result = CodexUsageWindow::make(*used, duration, resetsAt);
  if (!result)
    fail("invalid sparse rate-limit window");
  return *result;
}

void mergeBucket(CodexRateLimitBucket& target, const json& update) {
  if (auto name = nonEmptyString(update, "limitName"))
    target.name = std::move(name);
  if (const json* primary = objectMember(update, "primary"))
    target.primary = mergedWindow(*primary, target.primary);
  if (const json* secondary = objectMember(update, "secondary"))
    target.secondary = mergedWindow(*secondary, target.secondary);
}

std::string percentText(std::optional<std::int64_t> percent) {
  return percent ? std::to_string(*percent) + "%" : "\u2014";
}

std::string joined(const std::vector<CompactMenuEntry>& entries) {
  std::string result;
  for (const auto& entry : entries) {
    if (!result.empty())
      result += kCompactMenuSeparator;
    result += entry.text;
  }
  return result;
}

bool fits(std::string_view text, std::int64_t maximumCharacters) {
  return unicode::characterCount(text) <= static_cast<std::uint64_t>(maximumCharacters);
}

std::string withHidden(const std::vector<CompactMenuEntry>& entries, std::size_t hidden) {
  std::string text = joined(entries);
  if (hidden == 0)
    return text;
  if (!text.empty())
    text += kCompactMenuSeparator;
  return text + "+" + std::to_string(hidden);
}

}  // namespace

std::optional<std::int64_t> jsonInteger(const json* value) {
  if (!value)
    return std::nullopt;
  if (value->is_number_unsigned()) {
    const auto n = value->get<std::uint64_t>();
    if (n > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
      return std::nullopt;
    return static_cast<std::int64_t>(n);
  }
  if (value->is_number_integer())
    return value->get<std::int64_t>();
  if (!value->is_number_float())
    return std::nullopt;
  // Only a double strictly inside the int64 range converts without undefined
  // behaviour; -0.0 equals 0 and so counts as 0.
  const double d = value->get<double>();
  constexpr double kTwoToThe63 = 9223372036854775808.0;
  if (!std::isfinite(d) || d < -kTwoToThe63 || d >= kTwoToThe63)
    return std::nullopt;
  const auto n = static_cast<std::int64_t>(d);
  if (static_cast<double>(n) != d)
    return std::nullopt;
  return n;
}

std::optional<CodexUsageWindow> CodexUsageWindow::make(
    std::int64_t usedPercent,
    std::optional<std::int64_t> windowDurationMinutes,
    std::optional<std::int64_t> resetsAt) {
  if (!withinBounds(usedPercent, windowDurationMinutes))
    return std::nullopt;
  return CodexUsageWindow{usedPercent, windowDurationMinutes, resetsAt};
}

std::optional<CodexThreadContextUsage> CodexThreadContextUsage::make(
    std::int64_t totalTokens,
    std::optional<std::int64_t> modelContextWindow) {
  if (totalTokens < 0 || (modelContextWindow && *modelContextWindow < 1))
    return std::nullopt;
  return CodexThreadContextUsage{totalTokens, modelContextWindow};
}

CodexUsageSnapshot::CodexUsageSnapshot(std::optional<std::string> accountIdentifier,
                                       std::vector<CodexRateLimitBucket> buckets,
                                       std::optional<CodexThreadContextUsage> threadContext,
                                       CodexUsageDate observedAt)
    : accountIdentifier(accountIdentifier && !accountIdentifier->empty()
                            ? std::move(accountIdentifier)
                            : std::nullopt),
      buckets(std::move(buckets)),
      threadContext(threadContext),
      observedAt(observedAt) {
  std::stable_sort(this->buckets.begin(), this->buckets.end(),
                   [](const auto& a, const auto& b) { return a.id < b.id; });
}

std::optional<std::int64_t> CodexUsageSnapshot::canonicalRemainingPercent() const {
  if (buckets.empty())
    return std::nullopt;
  auto chosen = std::find_if(buckets.begin(), buckets.end(),
                             [](const auto& bucket) { return bucket.id == "codex"; });
  if (chosen == buckets.end())
    chosen = buckets.begin();
  if (!chosen->primary)
    return std::nullopt;
  return chosen->primary->remainingPercent();
}

std::string_view rawValue(CodexUsageUnavailableReason reason) {
  return kReasonNames.name(reason);
}

std::optional<CodexUsageUnavailableReason> codexUsageUnavailableReasonFromRawValue(
    std::string_view text) {
  return kReasonNames.value(text);
}

CodexProfileUsageAvailability CodexProfileUsageAvailability::available(
    CodexUsageSnapshot snapshot) {
  return {Kind::available, std::move(snapshot)};
}

CodexProfileUsageAvailability CodexProfileUsageAvailability::stale(CodexUsageSnapshot snapshot) {
  return {Kind::stale, std::move(snapshot)};
}

CodexProfileUsageAvailability CodexProfileUsageAvailability::unavailable(
    CodexUsageUnavailableReason reason) {
  return {Kind::unavailable, reason};
}

std::optional<std::int64_t> ProfileMenuUsage::remainingPercent() const {
  const auto* snapshot = availability.snapshot();
  return snapshot ? snapshot->canonicalRemainingPercent() : std::nullopt;
}

std::string_view rawValue(MenuBarProfileNameMode mode) {
  return kModeNames.name(mode);
}

std::optional<MenuBarProfileNameMode> menuBarProfileNameModeFromRawValue(std::string_view text) {
  return kModeNames.value(text);
}

std::string_view title(MenuBarProfileNameMode mode) {
  return kModeTitles.name(mode);
}

std::string displayName(MenuBarProfileNameMode mode, std::string_view name) {
  const std::string_view content = unicode::trimmed(name, unicode::Trim::whiteSpace);
  if (content.empty())
    return "?";
  // Leading white space goes; trailing white space stays.
  const std::string_view shown =
      name.substr(static_cast<std::size_t>(content.data() - name.data()));
  switch (mode) {
    case MenuBarProfileNameMode::full:
      if (unicode::characterCount(shown) <= kFullNameCharacters)
        return std::string(shown);
      return std::string(unicode::prefixCharacters(shown, kFullNameCharacters - 1)) + "\u2026";
    case MenuBarProfileNameMode::oneCharacter:
      return std::string(unicode::prefixCharacters(shown, 1));
    case MenuBarProfileNameMode::twoCharacters:
      return std::string(unicode::prefixCharacters(shown, 2));
  }
  return std::string(shown);
}

std::string windowDurationText(const std::optional<std::int64_t>& minutes) {
  if (!minutes)
    return "?";
  if (*minutes % 1440 == 0)
    return std::to_string(*minutes / 1440) + "d";
  if (*minutes % 60 == 0)
    return std::to_string(*minutes / 60) + "h";
  return std::to_string(*minutes) + "m";
}

CompactMenuPresentation::CompactMenuPresentation(const std::vector<ProfileMenuUsage>& profiles,
                                                 MenuBarProfileNameMode mode,
                                                 std::int64_t maximumEntries,
                                                 std::int64_t maximumCharacters) {
  if (maximumEntries < 1 || maximumCharacters < 1) {
    hiddenCount = profiles.size();
    return;
  }
  for (const auto& profile : profiles) {
    if (entries.size() >= static_cast<std::uint64_t>(maximumEntries))
      break;
    const auto percent = profile.remainingPercent();
    CompactMenuEntry entry{
        profile.id, displayName(mode, profile.fullName) + " " + percentText(percent),
        profile.fullName, profile.color,
        profile.fullName + ", " +
            (percent ? std::to_string(*percent) + " percent remaining" : "usage unavailable")};
    entries.push_back(std::move(entry));
    if (!fits(joined(entries), maximumCharacters)) {
      entries.pop_back();
      break;
    }
  }
  hiddenCount = profiles.size() - entries.size();
  while (hiddenCount > 0 && !entries.empty()) {
    if (fits(withHidden(entries, hiddenCount), maximumCharacters))
      break;
    entries.pop_back();
    hiddenCount = profiles.size() - entries.size();
  }
}

std::string CompactMenuPresentation::text() const {
  return withHidden(entries, hiddenCount);
}

std::set<Uuid> sharedAccountProfileIDs(const std::vector<ProfileMenuUsage>& profiles) {
  std::map<std::string, std::vector<Uuid>> byAccount;
  for (const auto& profile : profiles)
    if (const auto* snapshot = profile.availability.snapshot();
        snapshot && snapshot->accountIdentifier)
      byAccount[*snapshot->accountIdentifier].push_back(profile.id);
  std::set<Uuid> shared;
  for (const auto& [account, ids] : byAccount)
    if (ids.size() >= 2)
      shared.insert(ids.begin(), ids.end());
  return shared;
}

CodexUsageSnapshot CodexUsageMessageParser::parseRateLimitsResponse(std::string_view line,
                                                                    CodexUsageDate observedAt) {
  const json message = readMessage(line);
  const json* result = objectMember(message, "result");
  if (!member(message, "id") || !result)
    fail("rate-limit response is missing");
  std::optional<std::string> account;
  if (const json* value = member(*result, "accountId"); value && value->is_string())
    account = value->get<std::string>();

  std::vector<CodexRateLimitBucket> buckets;
  const json* byLimit = objectMember(*result, "rateLimitsByLimitId");
  if (byLimit && !byLimit->empty()) {
    for (const auto& [key, value] : byLimit->items()) {
      if (!value.is_object())
        fail("invalid rate-limit bucket");
      buckets.push_back(bucket(value, key));
    }
  } else if (const json* single = objectMember(*result, "rateLimits")) {
    buckets.push_back(bucket(*single, "codex"));
  } else {
    fail("rate limits are unavailable");
  }
  return CodexUsageSnapshot(std::move(account), std::move(buckets), std::nullopt, observedAt);
}

CodexUsageSnapshot CodexUsageMessageParser::mergeNotification(std::string_view line,
                                                              const CodexUsageSnapshot& current,
                                                              CodexUsageDate observedAt) {
  const json message = readMessage(line);
  const json* method = member(message, "method");
  const json* params = objectMember(message, "params");
  if (!method || !method->is_string() || !params)
    fail("invalid notification");
  const auto& name = method->get_ref<const std::string&>();

  if (name == "account/rateLimits/updated") {
    const json* update = objectMember(*params, "rateLimits");
    if (!update)
      fail("rate-limit update is missing");
    const std::string target = nonEmptyString(*update, "limitId").value_or("codex");
    auto buckets = current.buckets;
    auto existing = std::find_if(buckets.begin(), buckets.end(),
                                 [&](const auto& candidate) { return candidate.id == target; });
    if (existing != buckets.end())
      mergeBucket(*existing, *update);
    else
      buckets.push_back(bucket(*update, target));
    return CodexUsageSnapshot(current.accountIdentifier, std::move(buckets), current.threadContext,
                              observedAt);
  }

  if (name == "thread/tokenUsage/updated") {
    const json* usage = objectMember(*params, "tokenUsage");
    const json* total = usage ? objectMember(*usage, "total") : nullptr;
    const auto tokens = total ? jsonInteger(member(*total, "totalTokens")) : std::nullopt;
    const auto context = tokens ? CodexThreadContextUsage::make(
                                      *tokens, jsonInteger(member(*usage, "modelContextWindow")))
                                : std::nullopt;
    if (!context)
      fail("invalid thread usage");
    return CodexUsageSnapshot(current.accountIdentifier, current.buckets, context, observedAt);
  }
  return current;
}

void to_json(json& out, const CodexUsageWindow& window) {
  out = json{{"usedPercent", window.usedPercent}, {"remainingPercent", window.remainingPercent()}};
  if (window.windowDurationMinutes)
    out["windowDurationMins"] = *window.windowDurationMinutes;
  if (window.resetsAt)
    out["resetsAt"] = *window.resetsAt;
}

void to_json(json& out, const CodexRateLimitBucket& bucket) {
  out = json{{"id", bucket.id}};
  if (bucket.name)
    out["name"] = *bucket.name;
  if (bucket.primary)
    out["primary"] = *bucket.primary;
  if (bucket.secondary)
    out["secondary"] = *bucket.secondary;
}

void to_json(json& out, const CodexUsageSnapshot& snapshot) {
  out = json{{"buckets", snapshot.buckets}, {"observedAt", snapshot.observedAt}};
  if (snapshot.accountIdentifier)
    out["accountId"] = *snapshot.accountIdentifier;
  if (snapshot.threadContext) {
    json context{{"totalTokens", snapshot.threadContext->totalTokens}};
    if (snapshot.threadContext->modelContextWindow)
      context["modelContextWindow"] = *snapshot.threadContext->modelContextWindow;
    out["threadContext"] = std::move(context);
  }
  if (const auto percent = snapshot.canonicalRemainingPercent())
    out["remainingPercent"] = *percent;
}

}  // namespace korvelin
