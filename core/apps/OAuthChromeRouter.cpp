#include "core/apps/OAuthChromeRouter.h"

#include <array>
#include <optional>

#include "core/apps/ManagedApplicationSupport.h"
#include "core/base/EnumNames.h"
#include "core/base/ParsedURL.h"
#include "core/files/FilePath.h"
#include "core/profile/ProfilePaths.h"
#include "core/text/UnicodeText.h"

namespace korvelin {
namespace {

using Case = OAuthChromeRoutingError::Case;

constexpr EnumNames<Case, 5> kCaseNames{{
    {Case::unsupportedURL, "unsupportedURL"},
    {Case::noClaudeProfile, "noClaudeProfile"},
    {Case::noPairedChromeProfile, "noPairedChromeProfile"},
    {Case::ambiguousChromeProfiles, "ambiguousChromeProfiles"},
    {Case::chromeProfileNotRunning, "chromeProfileNotRunning"},
}};

// The web application (two domains, each with its "www" host), the vendor's
// sign-in, console, account, login and main sites, and Google's sign-in and
// OAuth user-content hosts.
constexpr std::array<std::string_view, 11> kOAuthHosts = {"claude.ai",
                                                          "www.claude.ai",
                                                          "claude.com",
                                                          "www.claude.com",
                                                          "auth.anthropic.com",
                                                          "console.anthropic.com",
                                                          "account.anthropic.com",
                                                          "login.anthropic.com",
                                                          "anthropic.com",
                                                          "accounts.google.com",
                                                          "accounts.googleusercontent.com"};
// Every host below the vendor's sign-in host counts as well.
constexpr std::string_view kAuthenticationSuffix = ".auth.anthropic.com";

std::optional<ParsedURL> httpURL(std::string_view url) {
  auto parsed = ParsedURL::parse(url);
  if (!parsed)
    return std::nullopt;
  const auto scheme = parsed->part(ParsedURL::Part::scheme);
  if (scheme != "http" && scheme != "https")
    return std::nullopt;
  return parsed;
}

bool isKind(const AppProfile& profile, std::string_view adapterIdentifier) {
  return profile.adapterIdentifier == adapterIdentifier;
}

std::vector<const AppProfile*> partnersOf(const AppProfile& claude,
                                          const std::vector<AppProfile>& profiles) {
  std::vector<const AppProfile*> partners;
  for (const auto& profile : profiles)
    if (isKind(profile, ManagedApplicationSupport::chromeAdapterIdentifier) &&
        OAuthChromeRouter::isPaired(profile, claude))
      partners.push_back(&profile);
  return partners;
}

// The search shared by `route` and `routeAnyHTTPURL`, once the link passed.
OAuthChromeRoute firstPairedRoute(const std::vector<AppProfile>& profiles) {
  bool anyClaude = false, anyChrome = false;
  for (const auto& profile : profiles) {
    anyClaude |= isKind(profile, ManagedApplicationSupport::claudeAdapterIdentifier);
    anyChrome |= isKind(profile, ManagedApplicationSupport::chromeAdapterIdentifier);
  }
  if (!anyClaude)
    throw OAuthChromeRoutingError(Case::noClaudeProfile);
  if (!anyChrome)
    throw OAuthChromeRoutingError(Case::noPairedChromeProfile);
  for (const auto& claude : profiles) {
    if (!isKind(claude, ManagedApplicationSupport::claudeAdapterIdentifier))
      continue;
    const auto partners = partnersOf(claude, profiles);
    if (partners.size() == 1)
      return {claude, *partners.front()};
    if (partners.size() > 1)
      throw OAuthChromeRoutingError(Case::ambiguousChromeProfiles);
  }
  throw OAuthChromeRoutingError(Case::noPairedChromeProfile);
}

}  // namespace

std::string_view OAuthChromeRoutingError::code() const noexcept {
  return kCaseNames.name(case_);
}

const char* OAuthChromeRoutingError::what() const noexcept {
  switch (case_) {
    case Case::unsupportedURL:
      return "This URL is not an OAuth authorization URL.";
    case Case::noClaudeProfile:
      return "No Claude profile is available for OAuth routing.";
    case Case::noPairedChromeProfile:
      return "No Chrome profile with the same name and VLESS route was found.";
    case Case::ambiguousChromeProfiles:
      return "More than one Chrome profile matches this Claude profile. Rename the profiles or "
             "remove the duplicate.";
    case Case::chromeProfileNotRunning:
      return "The paired Chrome profile is stopped. Start it in Korvelin, then retry the "
             "authorization link.";
  }
  return "";
}

namespace OAuthChromeRouter {

bool isHTTPURL(std::string_view url) {
  return httpURL(url).has_value();
}

bool isOAuthURL(std::string_view url) {
  const auto parsed = httpURL(url);
  if (!parsed)
    return false;
  const auto host = parsed->part(ParsedURL::Part::host, true);
  if (!host || host->empty())
    return false;
  std::string folded = unicode::caseFolded(*host);
  if (folded.ends_with('.'))
    folded.pop_back();
  for (const auto candidate : kOAuthHosts)
    if (folded == candidate)
      return true;
  return folded.ends_with(kAuthenticationSuffix);
}

bool isPaired(const AppProfile& chrome, const AppProfile& claude) {
  return claude.proxyConnectionID.has_value() &&
         chrome.proxyConnectionID == claude.proxyConnectionID &&
         unicode::caseFolded(chrome.name) == unicode::caseFolded(claude.name);
}

OAuthChromeRoute route(std::string_view url, const std::vector<AppProfile>& profiles) {
  if (!isOAuthURL(url))
    throw OAuthChromeRoutingError(Case::unsupportedURL);
  return firstPairedRoute(profiles);
}

OAuthChromeRoute routeAnyHTTPURL(std::string_view url, const std::vector<AppProfile>& profiles) {
  if (!isHTTPURL(url))
    throw OAuthChromeRoutingError(Case::unsupportedURL);
  return firstPairedRoute(profiles);
}

OAuthChromeRoute routeHTTPURL(std::string_view url,
                              const Uuid& claudeProfileID,
                              const std::vector<AppProfile>& profiles) {
  if (!isHTTPURL(url))
    throw OAuthChromeRoutingError(Case::unsupportedURL);
  for (const auto& claude : profiles) {
    if (claude.id != claudeProfileID ||
        !isKind(claude, ManagedApplicationSupport::claudeAdapterIdentifier))
      continue;
    const auto partners = partnersOf(claude, profiles);
    if (partners.size() == 1)
      return {claude, *partners.front()};
    throw OAuthChromeRoutingError(partners.empty() ? Case::noPairedChromeProfile
                                                   : Case::ambiguousChromeProfiles);
  }
  throw OAuthChromeRoutingError(Case::noClaudeProfile);
}

std::vector<std::string> command(std::string_view url,
                                 const OAuthChromeRoute& route,
                                 std::string_view baseDirectory) {
  const ProfilePaths paths(route.chromeProfile.id, baseDirectory);
  return {standardizedPath(route.chromeProfile.application.bundlePath) +
              "/Contents/MacOS/Google Chrome",
          "--user-data-dir=" + paths.userData(), "--password-store=basic", "--use-mock-keychain",
          std::string(url)};
}

}  // namespace OAuthChromeRouter
}  // namespace korvelin
