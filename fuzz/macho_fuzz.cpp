// Executables inside a bundle come from outside: the architecture reader must
// refuse any bytes it does not understand with its one error, never crash or
// read outside the input, and name at most one architecture per slice.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/apps/MachOArchitectureInspector.h"
#include "core/base/CoreError.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  try {
    const auto names = korvelin::MachOArchitectureInspector::machOArchitectures(bytes);
    if (names.empty() || names.size() > 128)
      __builtin_trap();
  } catch (const korvelin::KorvelinCoreError& error) {
    if (error.errorCase() != korvelin::KorvelinCoreError::Case::architectureInspectionFailed)
      __builtin_trap();
  }
  return 0;
}
