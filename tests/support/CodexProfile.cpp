#include "tests/support/CodexProfile.h"

#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "core/platform/FileUtil.h"
#include "tests/support/FileTreeHelpers.h"

namespace korvelin::testing {

CodexProfile::CodexProfile() : paths(Uuid::random(), temp.child("base")) {
  makeDirectory(paths.baseDirectory());
  ProfilePreparer(temp.child("default")).prepare(paths);
}

std::optional<std::string> CodexProfile::configBytes() const {
  if (!exists(config()))
    return std::nullopt;
  return platform::readSmallFile(config(), 4 * 1024 * 1024);
}

void CodexProfile::writeConfig(const std::string& bytes) const {
  if (!exists(codexHome()))
    makeDirectory(codexHome());
  ::unlink(config().c_str());
  makeFile(config(), 0600, bytes);
}

std::vector<std::string> CodexProfile::codexEntries() const {
  std::vector<std::string> names;
  std::error_code ignored;  // no .codex: no names
  for (const auto& entry : std::filesystem::directory_iterator(codexHome(), ignored))
    names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace korvelin::testing
