#pragma once

#include <string>
#include <string_view>

namespace korvelin {

// Strict UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF).
// Kept free of ICU so that the guardian, which needs only this, stays small.
bool isValidUtf8(std::string_view bytes);

// `bytes` with every invalid sequence replaced by U+FFFD.
std::string replacingInvalidUtf8(std::string_view bytes);

}  // namespace korvelin
