// Profiles are read back from the catalogue on disk. The decoder must refuse
// anything malformed with one error, and what it accepts must survive being
// written and read again unchanged.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include <nlohmann/json.hpp>

#include "core/base/JsonSupport.h"
#include "core/profile/AppProfile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  try {
    auto profile = korvelin::jsonio::decode(
        text, &korvelin::KorvelinCoreError::invalidProfileCatalog, "profile",
        [](const nlohmann::json& json) { return json.get<korvelin::AppProfile>(); });
    // The rule check must not crash on whatever was read.
    (void)korvelin::profileModelViolation(profile);
    const std::string written = korvelin::jsonio::compact(profile);
    auto again = korvelin::jsonio::decode(
        written, &korvelin::KorvelinCoreError::invalidProfileCatalog, "profile",
        [](const nlohmann::json& json) { return json.get<korvelin::AppProfile>(); });
    if (!(again == profile))
      __builtin_trap();
  } catch (const korvelin::KorvelinCoreError&) {
  }
  return 0;
}
