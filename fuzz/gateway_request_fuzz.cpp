// The loopback gateway parses whatever a local client sends. Nothing may
// crash it, and what it accepts must be exactly one whole request: the
// capability it was given, the body at the end, no line feed inside a
// header.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/youtrack/YouTrackGatewayRequest.h"

namespace {
const std::string kCapability(64, 'a');
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace korvelin;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const ParseResult result = parseGatewayRequest(text, kCapability);
  if (const auto* failure = std::get_if<ParseFailure>(&result)) {
    const std::string answer = gatewayErrorResponse(failure->status);
    if (answer.find(" " + std::to_string(failure->status) + " ") == std::string::npos)
      __builtin_trap();
  } else if (const auto* request = std::get_if<HTTPRequest>(&result)) {
    if (request->target != "/mcp" || request->headers.at("x-korvelin-capability") != kCapability ||
        !text.ends_with(request->body) || size > kGatewayMaximumRequest)
      __builtin_trap();
    // A lone carriage return may stand in a header (such headers are never
    // forwarded); a line feed never does.
    for (const auto& [name, value] : request->headers)
      if (name.empty() || name.find('\n') != std::string::npos ||
          value.find('\n') != std::string::npos)
        __builtin_trap();
  }
  return 0;
}
