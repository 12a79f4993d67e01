#pragma once

// Which adapter drives a profile's application. Every supported vendor adds
// its adapter here; the launcher and the host find it by the profile's
// adapter identifier.

#include <memory>
#include <string>
#include <string_view>

#include "core/apps/LaunchAdapter.h"

namespace korvelin {

struct LaunchAdapterContext {
  std::string defaultBaseDirectory;  // the managed base the preparer guards
  std::string baseDirectory;         // the base in use (Codex's approvals)
};

// The adapter for `adapterIdentifier`; nullptr when this build has none.
std::unique_ptr<LaunchAdapter> makeLaunchAdapter(std::string_view adapterIdentifier,
                                                 const LaunchAdapterContext& context);

}  // namespace korvelin
