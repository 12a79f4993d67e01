#include "core/apps/ManagedApplicationSupport.h"

#include "core/apps/CodeSignatureValidating.h"
#include "core/profile/AppProfile.h"

namespace korvelin {

std::string ManagedApplication::requirement() const {
  return codeRequirement(bundleIdentifier, teamIdentifier);
}

namespace ManagedApplicationSupport {

namespace {

template <typename Field>
const ManagedApplication* find(Field field, std::string_view value) {
  for (const auto& row : applications)
    if (row.*field == value)
      return &row;
  return nullptr;
}

}  // namespace

const ManagedApplication* application(std::string_view adapterIdentifier) {
  return find(&ManagedApplication::adapterIdentifier, adapterIdentifier);
}

const ManagedApplication* applicationForVendor(std::string_view vendor) {
  return find(&ManagedApplication::vendor, vendor);
}

const ManagedApplication* applicationForBundleIdentifier(std::string_view bundleIdentifier) {
  return find(&ManagedApplication::bundleIdentifier, bundleIdentifier);
}

std::optional<std::string_view> adapterIdentifier(std::string_view bundleIdentifier,
                                                  std::string_view teamIdentifier) {
  const auto* row = applicationForBundleIdentifier(bundleIdentifier);
  if (row && row->teamIdentifier == teamIdentifier)
    return row->adapterIdentifier;
  return std::nullopt;
}

bool isSupportedPair(std::string_view adapterIdentifier, std::string_view bundleIdentifier) {
  const auto* row = application(adapterIdentifier);
  return row && row->bundleIdentifier == bundleIdentifier;
}

bool isSupported(const AppProfile& profile) {
  return isSupportedPair(profile.adapterIdentifier, profile.application.bundleIdentifier);
}

}  // namespace ManagedApplicationSupport

}  // namespace korvelin
