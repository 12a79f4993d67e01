#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/profile/ProfilePaths.h"
#include "tests/support/TempDir.h"

namespace korvelin::testing {

// A prepared profile in a fresh base, with helpers for what lies in its
// Codex home (".codex" in the profile's home).
struct CodexProfile {
  ScopedTempDir temp;
  ProfilePaths paths;

  CodexProfile();

  std::string codexHome() const { return paths.codexHome(); }
  std::string config() const { return paths.codexHome() + "/config.toml"; }
  // config.toml's bytes; absent when there is no such file.
  std::optional<std::string> configBytes() const;
  // Replaces config.toml (0600), creating ".codex" (0700) when needed.
  void writeConfig(const std::string& bytes) const;
  // The names in ".codex", sorted; empty when it does not exist.
  std::vector<std::string> codexEntries() const;
};

}  // namespace korvelin::testing
