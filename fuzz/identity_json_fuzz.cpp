// Process identities are read back from files on disk (leases, sidecar
// records): the decoder must refuse anything malformed without crashing.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/base/JsonSupport.h"
#include "core/process/LiveProcessIdentity.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  try {
    korvelin::jsonio::decode(text, &korvelin::KorvelinCoreError::processLaunchFailed, "identity",
                             [](const nlohmann::json& json) {
                               auto identity = json.get<korvelin::LiveProcessIdentity>();
                               nlohmann::json again = identity;
                               if (again.get<korvelin::LiveProcessIdentity>() != identity)
                                 __builtin_trap();
                               return 0;
                             });
  } catch (const korvelin::KorvelinCoreError&) {
  }
  return 0;
}
