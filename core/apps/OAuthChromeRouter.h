#pragma once

// Opens the sign-in links of a Claude profile in the Chrome profile paired
// with it (same name, ignoring letter case, and the same saved proxy
// connection), so that the sign-in travels the profile's own network route
// instead of the user's default browser. Stateless: every operation takes
// the catalogue's current profiles. URLs are read with libcurl's URL API and
// passed on exactly as given.

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/Uuid.h"
#include "core/profile/AppProfile.h"

namespace korvelin {

struct OAuthChromeRoute {
  AppProfile claudeProfile;
  AppProfile chromeProfile;

  bool operator==(const OAuthChromeRoute&) const = default;
};

class OAuthChromeRoutingError : public std::exception {
 public:
  enum class Case : std::uint8_t {
    unsupportedURL,
    noClaudeProfile,
    noPairedChromeProfile,
    ambiguousChromeProfiles,
    // Raised by callers: the router does not know which profiles run.
    chromeProfileNotRunning,
  };

  explicit OAuthChromeRoutingError(Case errorCase) noexcept : case_(errorCase) {}
  Case errorCase() const noexcept { return case_; }
  // The case's name ("unsupportedURL", ...).
  std::string_view code() const noexcept;
  // A fixed English sentence.
  const char* what() const noexcept override;

  friend bool operator==(const OAuthChromeRoutingError& a, const OAuthChromeRoutingError& b) {
    return a.case_ == b.case_;
  }

 private:
  Case case_;
};

namespace OAuthChromeRouter {

// A scheme, "http" or "https" in any letter case.
bool isHTTPURL(std::string_view url);

// An http(s) link to one of the sign-in hosts of Claude, its vendor or
// Google, or to a host under the vendor's sign-in domain. The host is
// compared after percent escapes are undone, Unicode case folding and
// dropping one final "." (the spellings a browser takes for the same host);
// a sign-in host in the path, query or user part never counts.
bool isOAuthURL(std::string_view url);

// The first Claude profile (catalogue order) with exactly one paired Chrome
// profile, for a sign-in link. Throws OAuthChromeRoutingError; a Claude
// profile with two or more partners ends the search at once.
OAuthChromeRoute route(std::string_view url, const std::vector<AppProfile>& profiles);
// The same for any http(s) link.
OAuthChromeRoute routeAnyHTTPURL(std::string_view url, const std::vector<AppProfile>& profiles);
// Any http(s) link on behalf of one known Claude profile.
OAuthChromeRoute routeHTTPURL(std::string_view url,
                              const Uuid& claudeProfileID,
                              const std::vector<AppProfile>& profiles);

// Whether a Chrome profile is paired with a Claude profile: the same name
// ignoring letter case and the same saved connection, which must exist.
bool isPaired(const AppProfile& chrome, const AppProfile& claude);

// The argument vector that hands `url` to the Chrome instance running the
// route's Chrome profile: its executable, its user-data directory under
// `baseDirectory`, the two keychain options, and the URL as given. Nothing
// is quoted; nothing on disk is read.
std::vector<std::string> command(std::string_view url,
                                 const OAuthChromeRoute& route,
                                 std::string_view baseDirectory);

}  // namespace OAuthChromeRouter

}  // namespace korvelin
