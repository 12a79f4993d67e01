#pragma once

#include <string>

#include "core/apps/CodexInstallation.h"

namespace korvelin::testing {

// A verified installation record of Google Chrome as the bundle inspection
// would produce it; every field is plausible and the pair is supported.
CodexInstallation chromeInstallation();
// The same for Codex at a verified version, whose backend is `backendPath`
// (its identity read from the file when there is one).
CodexInstallation codexInstallation(const std::string& backendPath);

// The same for Claude desktop.
CodexInstallation claudeInstallation();

}  // namespace korvelin::testing
