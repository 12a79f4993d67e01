// Journal lines are read back from a user-writable directory: the decoder
// must refuse anything malformed without crashing, and an event it accepts
// must encode to a line that decodes to the same event.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/activity/ProfileActivityJournal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view line(reinterpret_cast<const char*>(data), size);
  const auto event = korvelin::parseProfileActivityEvent(line);
  if (event) {
    const auto again = korvelin::parseProfileActivityEvent(korvelin::activityEventJSON(*event));
    if (!again || !(*again == *event))
      __builtin_trap();
  }
  return 0;
}
