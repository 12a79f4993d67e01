// The route of a running application is read from its argument vector, which
// the application's launcher (or anyone who started a look-alike) chose. The
// input is split at NUL bytes into arguments. A proxy route must be the
// canonical spelling of its own configuration, so that writing it back as the
// only proxy option yields the same route again.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/activity/ProfileUsageRoute.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using korvelin::ProfileUsageRoute;
  std::vector<std::string> arguments(1);
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0)
      arguments.emplace_back();
    else
      arguments.back() += static_cast<char>(data[i]);
  }
  const auto route = ProfileUsageRoute::observed(arguments);
  if (route.kind() == ProfileUsageRoute::Kind::proxy) {
    if (!route.configuration() || route.generation())
      __builtin_trap();
    const std::string canonical = "--proxy-server=" + route.configuration()->uri();
    bool found = false;
    for (const auto& argument : arguments)
      found = found || argument == canonical;
    if (!found || ProfileUsageRoute::observed({"/app", canonical}) != route)
      __builtin_trap();
  }
  return 0;
}
