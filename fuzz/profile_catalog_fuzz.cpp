// The catalogue file is read back from disk, where anything may have been
// written. The reader must refuse malformed bytes with one error, and what
// it accepts must be written and read again to the same profiles.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/base/CoreError.h"
#include "core/profile/ProfileRepository.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  try {
    auto document = korvelin::decodeProfileCatalog(bytes);
    for (const auto& profile : document.profiles)
      (void)korvelin::profileModelViolation(profile);
    const std::string written = korvelin::encodeProfileCatalog(document.profiles);
    auto again = korvelin::decodeProfileCatalog(written);
    if (again.schemaVersion != 5 || !(again.profiles == document.profiles))
      __builtin_trap();
    if (korvelin::encodeProfileCatalog(again.profiles) != written)
      __builtin_trap();
  } catch (const korvelin::KorvelinCoreError&) {
  }
  return 0;
}
