#include "core/process/LaunchEnvironment.h"

#include <string_view>

namespace korvelin {

namespace {
// The host variables a launched application may inherit.
constexpr std::string_view kInheritedVariables[] = {
    "LANG",
    "LC_ALL",
    "LC_CTYPE",
    "LOGNAME",
    "PATH",
    "SHELL",
    "TERM",
    "TMPDIR",
    "TZ",
    "USER",
    "__CF_USER_TEXT_ENCODING",
};
constexpr std::string_view kDefaultPath = "/usr/bin:/bin:/usr/sbin:/sbin";
}  // namespace

std::map<std::string, std::string> sanitizedEnvironment(
    const std::map<std::string, std::string>& host,
    const std::map<std::string, std::string>& overrides) {
  std::map<std::string, std::string> result;
  for (auto name : kInheritedVariables) {
    auto it = host.find(std::string(name));
    if (it != host.end())
      result.emplace(it->first, it->second);
  }
  result.try_emplace("PATH", kDefaultPath);
  for (const auto& [key, value] : overrides)
    result[key] = value;
  return result;
}

}  // namespace korvelin
