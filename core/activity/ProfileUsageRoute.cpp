#include "core/activity/ProfileUsageRoute.h"

#include <algorithm>
#include <array>

#include <nlohmann/json.hpp>

#include "core/base/CoreError.h"
#include "core/base/EnumNames.h"
#include "core/text/UnicodeText.h"

namespace korvelin {

namespace {

// Chromium switches that choose a proxy, bypass one, or steer name
// resolution. Any of them beside the one proxy server makes the route
// something other than "everything through that proxy".
constexpr std::array<std::string_view, 4> kRouteSwitchPrefixes = {
    "proxy-", "no-proxy-server", "host-resolver-rules", "host-rules"};
constexpr std::string_view kProxyServerPrefix = "--proxy-server=";

// Chromium accepts a switch with any number of leading dashes and in any
// case, and "--" ends the switches; all of these are treated as relevant so
// that no spelling can slip a second route past the check.
bool isRouteRelevant(const std::string& argument) {
  if (argument == "--")
    return true;
  std::string_view text = unicode::trimmed(argument, unicode::Trim::whiteSpaceAndNewlines);
  text.remove_prefix(std::min(text.find_first_not_of('-'), text.size()));
  const std::string lowered = unicode::lowercased(text);
  return std::any_of(kRouteSwitchPrefixes.begin(), kRouteSwitchPrefixes.end(),
                     [&](std::string_view prefix) { return lowered.starts_with(prefix); });
}

// The proxy a "--proxy-server=" value names, accepted only when the value is
// exactly the configuration's canonical URI: no user, path, query or
// fragment, the canonical host spelling, a decimal port without padding.
std::optional<ProfileProxyConfiguration> canonicalProxy(std::string_view value) {
  try {
    auto configuration = ProfileProxyConfiguration::fromURI(value);
    if (configuration.uri() != value)
      return std::nullopt;
    return configuration;
  } catch (const KorvelinCoreError&) {
    return std::nullopt;
  }
}

}  // namespace

ProfileUsageRoute::ProfileUsageRoute(Kind kind,
                                     std::optional<ProfileProxyConfiguration> configuration,
                                     std::optional<Uuid> generation)
    : kind_(kind), configuration_(std::move(configuration)), generation_(generation) {}

ProfileUsageRoute ProfileUsageRoute::proxy(ProfileProxyConfiguration configuration,
                                           std::optional<Uuid> generation) {
  return ProfileUsageRoute(Kind::proxy, std::move(configuration), generation);
}

ProfileUsageRoute ProfileUsageRoute::unavailable() {
  return ProfileUsageRoute();
}

ProfileUsageRoute ProfileUsageRoute::system() {
  return ProfileUsageRoute(Kind::system, std::nullopt, std::nullopt);
}

ProfileUsageRoute ProfileUsageRoute::observed(const std::vector<std::string>& arguments) {
  std::vector<const std::string*> relevant;
  for (const auto& argument : arguments) {
    if (!isRouteRelevant(argument))
      continue;
    relevant.push_back(&argument);
    if (relevant.size() > 1)
      return unavailable();
  }
  if (relevant.empty())
    return system();
  const std::string& only = *relevant.front();
  if (!only.starts_with(kProxyServerPrefix))
    return unavailable();
  auto configuration = canonicalProxy(std::string_view(only).substr(kProxyServerPrefix.size()));
  return configuration ? proxy(std::move(*configuration)) : unavailable();
}

ProfileUsageRoute ProfileUsageRoute::matchingRestored(
    const AppProfile& profile,
    const ProfileUsageRoute& verifiedVLESS) const {
  if (!profile.proxyConnectionID) {
    const ProfileUsageRoute expected = profile.proxy ? proxy(*profile.proxy) : system();
    return *this == expected ? *this : unavailable();
  }
  // The observed route's own generation is never compared: the command line
  // cannot carry one, and only the verified sidecar knows it.
  if (kind_ == Kind::proxy && verifiedVLESS.kind_ == Kind::proxy && verifiedVLESS.generation_ &&
      *configuration_ == *verifiedVLESS.configuration_)
    return verifiedVLESS;
  return unavailable();
}

std::string ProfileUsageRoute::description() const {
  if (kind_ != Kind::proxy)
    return std::string(rawValue(kind_));
  std::string text = configuration_->uri();
  if (generation_)
    text += " (generation " + generation_->uppercaseString() + ")";
  return text;
}

namespace {
constexpr EnumNames<ProfileUsageRoute::Kind, 3> kRouteKindNames{{
    {ProfileUsageRoute::Kind::unavailable, "unavailable"},
    {ProfileUsageRoute::Kind::proxy, "proxy"},
    {ProfileUsageRoute::Kind::system, "system"},
}};
}  // namespace

std::string_view rawValue(ProfileUsageRoute::Kind kind) {
  return kRouteKindNames.name(kind);
}

void to_json(nlohmann::json& json, const ProfileUsageRoute& route) {
  json = nlohmann::json{{"kind", rawValue(route.kind())}};
  if (route.configuration())
    json["proxy"] = *route.configuration();
  if (route.generation())
    json["generation"] = *route.generation();
}

void to_json(nlohmann::json& json, const RestoredProxyObservation& observation) {
  json = {{"status", rawValue(observation.status)}, {"usageRoute", observation.usageRoute}};
  if (observation.legacyIdentity)
    json["legacyIdentity"] = {{"guardian", observation.legacyIdentity->guardian},
                              {"child", observation.legacyIdentity->child}};
  if (observation.xrayIdentity)
    json["xrayIdentity"] = *observation.xrayIdentity;
}

}  // namespace korvelin
