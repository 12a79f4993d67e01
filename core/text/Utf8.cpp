#include "core/text/Utf8.h"

#include <cstdint>

namespace korvelin {

namespace {

// Length of the valid sequence that starts at `i`, or 0 when none does.
size_t validSequenceLength(std::string_view s, size_t i) {
  auto byte = [&](size_t k) { return static_cast<uint8_t>(s[k]); };
  const uint8_t lead = byte(i);
  if (lead < 0x80)
    return 1;
  size_t length;
  uint8_t low = 0x80, high = 0xBF;  // bounds of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0)
      low = 0xA0;  // overlong
    if (lead == 0xED)
      high = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0)
      low = 0x90;  // overlong
    if (lead == 0xF4)
      high = 0x8F;  // above U+10FFFF
  } else {
    return 0;
  }
  if (i + length > s.size())
    return 0;
  if (byte(i + 1) < low || byte(i + 1) > high)
    return 0;
  for (size_t k = 2; k < length; ++k)
    if ((byte(i + k) & 0xC0) != 0x80)
      return 0;
  return length;
}

}  // namespace

bool isValidUtf8(std::string_view bytes) {
  for (size_t i = 0; i < bytes.size();) {
    size_t n = validSequenceLength(bytes, i);
    if (n == 0)
      return false;
    i += n;
  }
  return true;
}

std::string replacingInvalidUtf8(std::string_view bytes) {
  std::string result;
  result.reserve(bytes.size());
  for (size_t i = 0; i < bytes.size();) {
    size_t n = validSequenceLength(bytes, i);
    if (n == 0) {
      result += "\xEF\xBF\xBD";
      ++i;
    } else {
      result.append(bytes.substr(i, n));
      i += n;
    }
  }
  return result;
}

}  // namespace korvelin
