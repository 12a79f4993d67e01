#include "core/apps/CodeSignatureValidating.h"

namespace korvelin {

namespace {

constexpr std::string_view kIdentifierPrefix = "identifier \"";
constexpr std::string_view kMiddle =
    "\" and anchor apple generic and certificate 1[field.1.2.840.113635.100.6.2.6] exists and "
    "certificate leaf[field.1.2.840.113635.100.6.1.13] exists and certificate leaf[subject.OU] = "
    "\"";
constexpr std::string_view kSuffix = "\"";

bool plainValue(std::string_view value) {
  return !value.empty() && value.find_first_of("\"\\") == std::string_view::npos;
}

}  // namespace

std::string codeRequirement(std::string_view identifier, std::string_view team) {
  std::string text(kIdentifierPrefix);
  text.append(identifier).append(kMiddle).append(team).append(kSuffix);
  return text;
}

std::optional<CodeRequirementParts> parseCodeRequirement(std::string_view requirement) {
  if (!requirement.starts_with(kIdentifierPrefix) || !requirement.ends_with(kSuffix))
    return std::nullopt;
  const auto middle = requirement.find(kMiddle, kIdentifierPrefix.size());
  if (middle == std::string_view::npos)
    return std::nullopt;
  const std::string_view identifier =
      requirement.substr(kIdentifierPrefix.size(), middle - kIdentifierPrefix.size());
  const auto teamStart = middle + kMiddle.size();
  if (teamStart + kSuffix.size() > requirement.size())
    return std::nullopt;
  const std::string_view team =
      requirement.substr(teamStart, requirement.size() - kSuffix.size() - teamStart);
  if (!plainValue(identifier) || !plainValue(team))
    return std::nullopt;
  return CodeRequirementParts{std::string(identifier), std::string(team)};
}

}  // namespace korvelin
