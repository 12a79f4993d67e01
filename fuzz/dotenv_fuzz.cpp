// KEY=VALUE text comes from files the user imports. Whatever it holds, the
// parser either refuses it with the one environment error or returns a list
// that passes validation on its own.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/base/CoreError.h"
#include "core/profile/ProfileEnvironment.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  namespace Environment = korvelin::ProfileEnvironment;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  try {
    const auto variables = Environment::parseDotEnv(text);
    Environment::validate(variables);
    if (Environment::dictionary(variables).size() != variables.size())
      __builtin_trap();
    for (const auto& variable : variables)
      if (variable.value.find_first_of("\r\n") != std::string::npos)
        __builtin_trap();
  } catch (const korvelin::KorvelinCoreError& e) {
    if (e.errorCase() != korvelin::KorvelinCoreError::Case::invalidEnvironmentVariables)
      __builtin_trap();
  }
  return 0;
}
