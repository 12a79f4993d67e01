#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace korvelin {

// Standard Base64 (RFC 4648 alphabet, with `=` padding, no line breaks).
std::string base64Encode(std::string_view bytes);

// Strict decoding: padding required, no whitespace or other characters, no
// stray bits in the last group. Absent for anything else.
std::optional<std::string> base64Decode(std::string_view text);

}  // namespace korvelin
