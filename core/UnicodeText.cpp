#include "core/UnicodeText.h"

#include <unicode/brkiter.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

#include <memory>

namespace korvelin {

namespace {

// Creating a break iterator loads rules; each thread keeps one.
icu::BreakIterator* characterBreaks() {
  thread_local std::unique_ptr<icu::BreakIterator> iterator = [] {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> created(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    return U_SUCCESS(status) ? std::move(created) : nullptr;
  }();
  return iterator.get();
}

// The scalar starting at `offset` and the offset after it; U+FFFD for a
// malformed sequence (callers pass valid UTF-8).
char32_t scalarAt(std::string_view text, std::size_t& offset) {
  UChar32 scalar = 0;
  int32_t i = static_cast<int32_t>(offset);
  U8_NEXT(reinterpret_cast<const uint8_t*>(text.data()), i, static_cast<int32_t>(text.size()), scalar);
  offset = static_cast<std::size_t>(i);
  return scalar < 0 ? U'\uFFFD' : static_cast<char32_t>(scalar);
}

}  // namespace

std::size_t userPerceivedCharacterCount(std::string_view utf8) {
  if (utf8.empty()) return 0;
  icu::UnicodeString text = icu::UnicodeString::fromUTF8(icu::StringPiece(utf8.data(), static_cast<int32_t>(utf8.size())));
  icu::BreakIterator* breaks = characterBreaks();
  if (!breaks) return static_cast<std::size_t>(text.countChar32());
  breaks->setText(text);
  std::size_t count = 0;
  for (int32_t boundary = breaks->next(); boundary != icu::BreakIterator::DONE; boundary = breaks->next())
    ++count;
  return count;
}

bool isWhitespaceOrNewline(char32_t scalar) {
  if ((scalar >= 0x09 && scalar <= 0x0D) || scalar == 0x85) return true;
  auto type = u_charType(static_cast<UChar32>(scalar));
  return type == U_SPACE_SEPARATOR || type == U_LINE_SEPARATOR || type == U_PARAGRAPH_SEPARATOR;
}

std::string trimmingWhitespaceAndNewlines(std::string_view utf8) {
  std::size_t start = 0;
  std::size_t end = 0;  // one past the last byte of the last non-space scalar
  bool seenContent = false;
  for (std::size_t offset = 0; offset < utf8.size();) {
    std::size_t before = offset;
    char32_t scalar = scalarAt(utf8, offset);
    if (isWhitespaceOrNewline(scalar)) continue;
    if (!seenContent) start = before;
    seenContent = true;
    end = offset;
  }
  return seenContent ? std::string(utf8.substr(start, end - start)) : std::string();
}

}  // namespace korvelin
