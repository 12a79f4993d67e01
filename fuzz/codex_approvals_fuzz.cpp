// codex-compatibility.json lies in the user's base directory: the decoder
// must refuse anything malformed without crashing, and what it accepts must
// encode to a document that decodes to the same approvals.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/apps/CodexCompatibilityApprovalStore.h"
#include "core/base/CoreError.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  try {
    const auto approvals = korvelin::decodeCodexCompatibilityApprovals(bytes);
    const auto again = korvelin::decodeCodexCompatibilityApprovals(
        korvelin::encodeCodexCompatibilityApprovals(approvals));
    if (again != approvals)
      __builtin_trap();
  } catch (const korvelin::KorvelinCoreError&) {
  }
  return 0;
}
