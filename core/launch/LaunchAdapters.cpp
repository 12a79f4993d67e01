#include "core/launch/LaunchAdapters.h"

#include "core/apps/ChromeInstallation.h"
#include "core/apps/ClaudeInstallation.h"
#include "core/apps/CodexLaunchAdapter.h"
#include "core/apps/ZCodeInstallation.h"

namespace korvelin {

std::unique_ptr<LaunchAdapter> makeLaunchAdapter(std::string_view adapterIdentifier,
                                                 const LaunchAdapterContext& context) {
  using namespace ManagedApplicationSupport;
  if (adapterIdentifier == chromeAdapterIdentifier)
    return std::make_unique<ChromeLaunchAdapter>(context.defaultBaseDirectory);
  if (adapterIdentifier == claudeAdapterIdentifier)
    return std::make_unique<ClaudeLaunchAdapter>(context.defaultBaseDirectory);
  if (adapterIdentifier == codexAdapterIdentifier)
    return std::make_unique<CodexLaunchAdapter>(context.defaultBaseDirectory,
                                                context.baseDirectory);
  if (adapterIdentifier == zcodeAdapterIdentifier)
    return std::make_unique<ZCodeLaunchAdapter>(context.defaultBaseDirectory);
  return nullptr;
}

}  // namespace korvelin
