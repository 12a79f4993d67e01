// Imported argument files, as text or as JSON: an odd first byte of the input
// chooses JSON (the seeds start with "1" or "0"). Refusals are the one
// arguments error; an accepted list passes validation on its own and, from
// text, holds no empty argument and no line break.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/base/CoreError.h"
#include "core/profile/ProfileLaunchArguments.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  namespace Arguments = korvelin::ProfileLaunchArguments;
  if (size == 0)
    return 0;
  const bool json = data[0] & 1;
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  try {
    const auto arguments = Arguments::parse(text, json);
    Arguments::validate(arguments);
    for (const auto& argument : arguments)
      if (!json && (argument.empty() || argument.find_first_of("\r\n") != std::string::npos))
        __builtin_trap();
  } catch (const korvelin::KorvelinCoreError& e) {
    if (e.errorCase() != korvelin::KorvelinCoreError::Case::invalidLaunchArguments)
      __builtin_trap();
  }
  return 0;
}
