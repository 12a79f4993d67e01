// The history reads lines of launch logs, recovery evidence and the activity
// journal from the profile's logs directory. The first byte picks which kind
// of file the rest is a line of; every line must give an event of this
// profile with a summary, or nothing, and never crash.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/activity/ProfileActivityReader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const korvelin::Uuid profile =
      *korvelin::Uuid::parse("6E1B0B4C-3A0D-4F8E-9E5B-2D3C4B5A6F70");
  static const std::string files[] = {
      "launch-6e1b0b4c-3a0d-4f8e-9e5b-2d3c4b5a6f71.jsonl",
      "recovery-6e1b0b4c-3a0d-4f8e-9e5b-2d3c4b5a6f71.jsonl",
      "activity.jsonl",
  };
  if (size == 0)
    return 0;
  const std::string& file = files[data[0] % 3];
  const std::string_view line(reinterpret_cast<const char*>(data) + 1, size - 1);
  const auto event = korvelin::ProfileActivityReader::parseLine(profile, file, 1, line);
  if (event && (event->summary.empty() || event->profileID != profile ||
                !(event->occurredAt == event->occurredAt)))
    __builtin_trap();
  return 0;
}
