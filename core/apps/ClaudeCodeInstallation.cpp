#include "core/apps/ClaudeCodeInstallation.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <vector>

#include "core/files/FilePath.h"
#include "core/files/FileSystemSecurity.h"
#include "core/platform/Paths.h"

namespace korvelin {
namespace {

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

}  // namespace

ClaudeCodeInstallation::ClaudeCodeInstallation(
    std::shared_ptr<const CodeSignatureValidating> validator)
    : validator_(validator ? std::move(validator)
                           : std::make_shared<SecurityCodeSignatureValidator>()) {}

std::string ClaudeCodeInstallation::versionsDirectory(std::string_view home) {
  return standardizedPath(std::string(home) + "/" +
                          std::string(platform::kApplicationSupportDirectory) +
                          "/Claude/claude-code");
}

bool ClaudeCodeInstallation::isVersionName(std::string_view name) {
  if (name.empty() || name.size() > 64)
    return false;
  std::size_t digits = 0;
  for (const char c : name) {
    if (c == '.') {
      if (digits == 0)
        return false;
      digits = 0;
    } else if (isDigit(c)) {
      ++digits;
    } else {
      return false;
    }
  }
  return digits > 0;
}

int ClaudeCodeInstallation::compareNumerically(std::string_view a, std::string_view b) {
  std::size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    if (isDigit(a[i]) && isDigit(b[j])) {
      // Leading zeros do not count; then the longer run is the greater
      // number, and runs of one length compare digit by digit.
      while (i < a.size() && a[i] == '0' && i + 1 < a.size() && isDigit(a[i + 1]))
        ++i;
      while (j < b.size() && b[j] == '0' && j + 1 < b.size() && isDigit(b[j + 1]))
        ++j;
      std::size_t endA = i, endB = j;
      while (endA < a.size() && isDigit(a[endA]))
        ++endA;
      while (endB < b.size() && isDigit(b[endB]))
        ++endB;
      if (endA - i != endB - j)
        return endA - i < endB - j ? -1 : 1;
      if (const int order = a.substr(i, endA - i).compare(b.substr(j, endB - j)); order != 0)
        return order < 0 ? -1 : 1;
      i = endA;
      j = endB;
      continue;
    }
    if (a[i] != b[j])
      return a[i] < b[j] ? -1 : 1;
    ++i;
    ++j;
  }
  if (i == a.size() && j == b.size())
    return 0;
  return i == a.size() ? -1 : 1;
}

std::optional<std::string> ClaudeCodeInstallation::executable(std::string_view home) const {
  const std::string versions = versionsDirectory(home);
  std::vector<std::string> names;
  std::error_code error;
  for (std::filesystem::directory_iterator entry(versions, error), end; !error && entry != end;
       entry.increment(error))
    if (const auto name = entry->path().filename().string(); isVersionName(name))
      names.push_back(name);
  std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
    const int order = compareNumerically(a, b);
    return order != 0 ? order > 0 : a > b;
  });

  const std::string requirement = codeRequirement(kBundleIdentifier, kTeamIdentifier);
  for (const auto& name : names) {
    const std::string bundle = versions + "/" + name + "/claude.app";
    const std::string executable = bundle + "/Contents/MacOS/claude";
    struct stat info {};
    if (resolvedPath(executable) != executable || ::lstat(executable.c_str(), &info) != 0)
      continue;
    try {
      SecureFileSystem::requireRegularExecutable(executable, bundle);
      if (validator_->validateCode(bundle, requirement).teamIdentifier == kTeamIdentifier)
        return executable;
    } catch (const std::exception&) {
      // Not this one: try the next older version.
    }
  }
  return std::nullopt;
}

}  // namespace korvelin
