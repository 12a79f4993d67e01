#pragma once

// Text rules that depend on Unicode data (ICU): what a user sees as one
// character, and what counts as white space around a name.

#include <cstddef>
#include <string>
#include <string_view>

namespace korvelin {

// The number of user-perceived characters (extended grapheme clusters) of
// valid UTF-8: "é" written with a combining accent, a flag or a family emoji
// each count once.
std::size_t userPerceivedCharacterCount(std::string_view utf8);

// True for white space and line breaks: the space separators (Zs), U+2028,
// U+2029, tab, line feed, vertical tab, form feed, carriage return and U+0085.
bool isWhitespaceOrNewline(char32_t scalar);

// Valid UTF-8 without leading and trailing white space and line breaks.
std::string trimmingWhitespaceAndNewlines(std::string_view utf8);

}  // namespace korvelin
