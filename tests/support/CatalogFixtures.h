#pragma once

#include "core/apps/CodexInstallation.h"

namespace korvelin::testing {

// A verified installation record of Google Chrome as the bundle inspection
// would produce it; every field is plausible and the pair is supported.
CodexInstallation chromeInstallation();

// The same for Claude desktop.
CodexInstallation claudeInstallation();

}  // namespace korvelin::testing
