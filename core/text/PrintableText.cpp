#include "core/text/PrintableText.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <limits>

namespace korvelin {

namespace {

bool isShownAsIs(UChar32 c) {
  if (c < 0)
    return false;  // an invalid sequence
  switch (u_charType(c)) {
    case U_CONTROL_CHAR:
    case U_FORMAT_CHAR:
    case U_LINE_SEPARATOR:
    case U_PARAGRAPH_SEPARATOR:
      return false;
    default:
      return true;
  }
}

}  // namespace

std::string printableText(std::string_view text) {
  // ICU indexes with 32-bit integers; longer text is cut, never shown raw.
  const auto length =
      static_cast<int32_t>(std::min<std::size_t>(text.size(), std::numeric_limits<int32_t>::max()));
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  std::string result;
  result.reserve(static_cast<std::size_t>(length));
  for (int32_t i = 0; i < length;) {
    const int32_t start = i;
    UChar32 c;
    U8_NEXT(bytes, i, length, c);
    if (isShownAsIs(c))
      result.append(
          text.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(i - start)));
    else
      result += '?';
  }
  return result;
}

}  // namespace korvelin
