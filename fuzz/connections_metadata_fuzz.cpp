// "connections.json" lives in a directory the user can edit: decoding must
// refuse anything malformed with the storage error and nothing else, and
// what it accepts must survive being written back and read again.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/base/CoreError.h"
#include "core/proxy/VLESSConnectionRepository.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using korvelin::VLESSConnectionRepository;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  try {
    const auto connections = VLESSConnectionRepository::decodeMetadata(bytes);
    const auto again = VLESSConnectionRepository::decodeMetadata(
        VLESSConnectionRepository::encodeMetadata(connections));
    if (again != connections)
      __builtin_trap();
  } catch (const korvelin::KorvelinCoreError& error) {
    if (error.errorCase() != korvelin::KorvelinCoreError::Case::proxyConnectionStorageFailed)
      __builtin_trap();
  }
  return 0;
}
