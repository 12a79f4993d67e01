#include "core/base/HexCoding.h"

namespace korvelin {

namespace {

constexpr std::string_view kLowerDigits = "0123456789abcdef";
constexpr std::string_view kUpperDigits = "0123456789ABCDEF";

void appendHex(std::string& out, unsigned char byte, std::string_view digits) {
  out += digits[byte >> 4];
  out += digits[byte & 0xF];
}

}  // namespace

int hexDigitValue(char c) {
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  if (c >= 'A' && c <= 'F')
    return c - 'A' + 10;
  return -1;
}

std::string hexEncoded(std::string_view bytes, HexLetters letters) {
  const std::string_view digits = letters == HexLetters::lower ? kLowerDigits : kUpperDigits;
  std::string text;
  text.reserve(bytes.size() * 2);
  for (unsigned char byte : bytes)
    appendHex(text, byte, digits);
  return text;
}

std::string percentEncoded(std::string_view text, bool (*keep)(unsigned char c)) {
  std::string result;
  result.reserve(text.size());
  for (unsigned char c : text) {
    if (keep(c)) {
      result += static_cast<char>(c);
    } else {
      result += '%';
      appendHex(result, c, kUpperDigits);
    }
  }
  return result;
}

std::optional<std::string> percentDecoded(std::string_view text, std::string_view refusedBytes) {
  std::string result;
  result.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      result += text[i];
      continue;
    }
    const int high = i + 2 < text.size() ? hexDigitValue(text[i + 1]) : -1;
    const int low = high >= 0 ? hexDigitValue(text[i + 2]) : -1;
    if (low < 0)
      return std::nullopt;
    const char decoded = static_cast<char>(high * 16 + low);
    if (refusedBytes.find(decoded) != std::string_view::npos)
      return std::nullopt;
    result += decoded;
    i += 2;
  }
  return result;
}

}  // namespace korvelin
