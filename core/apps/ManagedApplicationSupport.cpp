#include "core/apps/ManagedApplicationSupport.h"

#include "core/profile/AppProfile.h"

namespace korvelin::ManagedApplicationSupport {

std::optional<std::string_view> adapterIdentifier(std::string_view bundleIdentifier,
                                                  std::string_view teamIdentifier) {
  for (const auto& application : applications)
    if (application.bundleIdentifier == bundleIdentifier &&
        application.teamIdentifier == teamIdentifier)
      return application.adapterIdentifier;
  return std::nullopt;
}

bool isSupportedPair(std::string_view adapterIdentifier, std::string_view bundleIdentifier) {
  for (const auto& application : applications)
    if (application.adapterIdentifier == adapterIdentifier &&
        application.bundleIdentifier == bundleIdentifier)
      return true;
  return false;
}

bool isSupported(const AppProfile& profile) {
  return isSupportedPair(profile.adapterIdentifier, profile.application.bundleIdentifier);
}

}  // namespace korvelin::ManagedApplicationSupport
