// Lease files survive host crashes and are read back before any recovery:
// the parser must refuse anything malformed without crashing, and whatever it
// accepts must survive a write and a second read unchanged.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/base/CoreError.h"
#include "core/process/LaunchLease.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  auto lease = korvelin::parseDurableProcessLease(bytes);
  if (lease && std::isfinite(lease->startedAt)) {
    auto again = korvelin::parseDurableProcessLease(
        korvelin::leaseJSON(lease->runID, lease->startedAt, lease->rootPID, lease->processGroupID,
                            lease->state, lease->identity));
    if (!again || !(*again == *lease))
      __builtin_trap();
  }
  try {
    korvelin::recoveryEvidenceJSON(korvelin::Uuid{}, korvelin::Uuid{}, 0, bytes);
  } catch (const korvelin::KorvelinCoreError&) {
  }
  return 0;
}
