#pragma once

// Hexadecimal digits and percent escapes (RFC 3986), the one coder for both:
// capabilities and keys as hex text, file URLs and share links as
// percent-encoded text.

#include <optional>
#include <string>
#include <string_view>

namespace korvelin {

// The value of one hexadecimal digit of either case, or -1.
int hexDigitValue(char c);
inline bool isHexDigit(char c) {
  return hexDigitValue(c) >= 0;
}

enum class HexLetters { lower, upper };

// Two digits per byte.
std::string hexEncoded(std::string_view bytes, HexLetters letters = HexLetters::lower);

// Keeps the bytes `keep` accepts and writes every other byte as "%XX" with
// upper-case digits.
std::string percentEncoded(std::string_view text, bool (*keep)(unsigned char c));

// Replaces every "%XX" escape by its byte. Absent when an escape is cut short
// or not hexadecimal, or decodes to one of `refusedBytes` (a byte that would
// change what the text means, such as an escaped separator).
std::optional<std::string> percentDecoded(std::string_view text,
                                          std::string_view refusedBytes = {});

}  // namespace korvelin
