#pragma once

// Finds the newest verified Claude Code command-line tool, which Claude
// desktop installs in versioned directories of the user's application
// support folder: <versions>/<version>/claude.app/Contents/MacOS/claude.
// A Claude desktop launch puts that executable's directory first on the
// application's PATH. Nothing here launches anything.

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/apps/CodeSignatureValidating.h"

namespace korvelin {

class ClaudeCodeInstallation {
 public:
  static constexpr std::string_view kBundleIdentifier = "com.anthropic.claude-code";
  static constexpr std::string_view kTeamIdentifier = "Q6L2SF6YDW";

  // Null: the platform's validator.
  explicit ClaudeCodeInstallation(std::shared_ptr<const CodeSignatureValidating> validator = {});
  virtual ~ClaudeCodeInstallation() = default;

  // The versions directory under a home directory (which the host passes
  // in; nothing is read from the environment).
  static std::string versionsDirectory(std::string_view home);

  // The executable of the newest version that passes every check, or none.
  // Candidates are directory names of dot-separated decimal numbers
  // ("2.1.10"), newest first by numeric comparison (2.1.10 after 2.1.9).
  // A candidate is skipped when any symbolic link lies on its executable's
  // path, the executable is not a regular executable file inside its
  // bundle, or its signature is not Claude Code's by its team. Never
  // throws.
  virtual std::optional<std::string> executable(std::string_view home) const;

  // Whether a directory name counts as a version.
  static bool isVersionName(std::string_view name);
  // Compares two names with runs of digits as numbers: below zero when `a`
  // orders before `b`.
  static int compareNumerically(std::string_view a, std::string_view b);

 private:
  std::shared_ptr<const CodeSignatureValidating> validator_;
};

}  // namespace korvelin
