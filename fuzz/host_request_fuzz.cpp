// The host reads one request line from every client of its control socket.
// No line may crash or hang the parser, and whatever it accepts must be what
// a client's encoding of it gives back.

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <variant>

#include <nlohmann/json.hpp>

#include "core/host/HostProtocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace korvelin;
  const std::string_view line(reinterpret_cast<const char*>(data), size);
  const auto parsed = parseHostRequest(line);
  if (const auto* request = std::get_if<HostRequest>(&parsed)) {
    const auto again = parseHostRequest(encodeHostRequest(*request).dump());
    if (!std::holds_alternative<HostRequest>(again) || std::get<HostRequest>(again) != *request)
      __builtin_trap();
  }
  return 0;
}
