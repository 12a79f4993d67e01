#pragma once

// Environment variables a user adds to a profile. They reach the profile's
// application after the system's own values, so the names the system manages
// for isolation and routing (data directories, proxies, browser hooks) can
// never be overridden from here.

#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace korvelin {

// One user variable; a profile keeps them in the user's order.
struct ProfileEnvironmentVariable {
  std::string name;
  std::string value;

  bool operator==(const ProfileEnvironmentVariable&) const = default;
};

namespace ProfileEnvironment {

// The 18 names the system sets itself (exact, case-sensitive).
extern const std::set<std::string, std::less<>> reservedNames;

// The name pattern alone: [A-Za-z_][A-Za-z0-9_]*.
bool isValidName(std::string_view name);

// Checks each variable in order and throws invalidEnvironmentVariables with the
// first broken rule: name pattern, reserved name, repeated name, NUL in value.
void validate(const std::vector<ProfileEnvironmentVariable>& variables);

// Reads KEY=VALUE lines ("export " prefixes, "#" comments, blank lines and one
// pair of surrounding quotes allowed), then validates the result. Lines are
// numbered as an editor shows them (CR LF is one line break). The text must be
// UTF-8; a leading byte-order mark is ignored. Throws
// invalidEnvironmentVariables.
std::vector<ProfileEnvironmentVariable> parseDotEnv(std::string_view text);

// Validates, then gives the variables as the map used for launching.
std::map<std::string, std::string> dictionary(
    const std::vector<ProfileEnvironmentVariable>& variables);

}  // namespace ProfileEnvironment

}  // namespace korvelin
