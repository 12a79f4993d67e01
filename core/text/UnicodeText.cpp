#include "core/text/UnicodeText.h"

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utext.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <limits>
#include <memory>

namespace korvelin::unicode {

namespace {

// ICU indexes text with 32-bit integers; what the library reads from users is
// bounded far below that, and anything longer is looked at only this far.
int32_t icuLength(std::string_view text) {
  return static_cast<int32_t>(
      std::min<std::size_t>(text.size(), std::numeric_limits<int32_t>::max()));
}

// Calls `visit(codePoint, start, end)` for every code point in order.
template <typename Visit>
void forEachCodePoint(std::string_view text, Visit&& visit) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  const int32_t length = icuLength(text);
  for (int32_t i = 0; i < length;) {
    const int32_t start = i;
    UChar32 c;
    U8_NEXT_OR_FFFD(bytes, i, length, c);
    if (!visit(static_cast<char32_t>(c), start, i))
      return;
  }
}

bool isTrimmed(char32_t c, Trim which) {
  if (which == Trim::whiteSpaceAndNewlines)
    return isWhiteSpace(c);
  return c == U'\t' || u_charType(static_cast<UChar32>(c)) == U_SPACE_SEPARATOR;
}

bool isAscii(std::string_view text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

}  // namespace

bool isWhiteSpace(char32_t codePoint) {
  return u_isUWhiteSpace(static_cast<UChar32>(codePoint));
}

std::string_view trimmed(std::string_view text, Trim which) {
  std::size_t begin = text.size();
  std::size_t end = 0;
  forEachCodePoint(text, [&](char32_t c, int32_t start, int32_t next) {
    if (!isTrimmed(c, which)) {
      begin = std::min(begin, static_cast<std::size_t>(start));
      end = static_cast<std::size_t>(next);
    }
    return true;
  });
  if (begin >= end)
    return text.substr(0, 0);
  return text.substr(begin, end - begin);
}

std::size_t findWhiteSpace(std::string_view text) {
  std::size_t found = std::string_view::npos;
  forEachCodePoint(text, [&](char32_t c, int32_t start, int32_t) {
    if (isWhiteSpace(c))
      found = static_cast<std::size_t>(start);
    return found == std::string_view::npos;
  });
  return found;
}

std::size_t displayWidth(std::string_view text) {
  std::size_t columns = 0;
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  const auto length = icuLength(text);
  for (int32_t offset = 0; offset < length;) {
    UChar32 c;
    U8_NEXT_OR_FFFD(bytes, offset, length, c);
    const auto category = u_charType(c);
    if (category == U_NON_SPACING_MARK || category == U_ENCLOSING_MARK || category == U_FORMAT_CHAR)
      continue;
    const auto width = u_getIntPropertyValue(c, UCHAR_EAST_ASIAN_WIDTH);
    columns += width == U_EA_WIDE || width == U_EA_FULLWIDTH ? 2 : 1;
  }
  return columns;
}

namespace {

// Calls `visit(end)` with the byte offset after each user-perceived
// character in order, until it returns false. False when ICU could not
// split the text (its data missing).
template <typename Visit>
bool forEachCharacterEnd(std::string_view text, Visit&& visit) {
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<UText, decltype(&utext_close)> utext(
      utext_openUTF8(nullptr, text.data(), icuLength(text), &status), &utext_close);
  std::unique_ptr<icu::BreakIterator> characters(
      icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
  if (U_FAILURE(status))
    return false;
  characters->setText(utext.get(), status);
  if (U_FAILURE(status))
    return false;
  for (int32_t end = characters->next(); end != icu::BreakIterator::DONE; end = characters->next())
    if (!visit(static_cast<std::size_t>(end)))
      break;
  return true;
}

}  // namespace

std::size_t characterCount(std::string_view text) {
  if (text.empty())
    return 0;
  std::size_t count = 0;
  if (!forEachCharacterEnd(text, [&](std::size_t) { return ++count, true; }))
    return text.size();  // ICU data missing: count bytes, never fewer
  return count;
}

std::string_view prefixCharacters(std::string_view text, std::size_t count) {
  if (count == 0)
    return text.substr(0, 0);
  std::size_t taken = 0;
  std::size_t end = text.size();
  if (!forEachCharacterEnd(text, [&](std::size_t next) {
        end = next;
        return ++taken < count;
      }))
    return text.substr(0, std::min(count, text.size()));
  return text.substr(0, end);
}

bool containsControlCharacter(std::string_view text) {
  bool found = false;
  forEachCodePoint(text, [&](char32_t c, int32_t, int32_t) {
    const auto type = u_charType(static_cast<UChar32>(c));
    found = type == U_CONTROL_CHAR || type == U_FORMAT_CHAR;
    return !found;
  });
  return found;
}

std::string lowercased(std::string_view text) {
  std::string result;
  if (isAscii(text)) {
    result.assign(text);
    for (char& c : result)
      if (c >= 'A' && c <= 'Z')
        c = static_cast<char>(c - 'A' + 'a');
    return result;
  }
  icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), icuLength(text)))
      .toLower(icu::Locale::getRoot())
      .toUTF8String(result);
  return result;
}

std::string caseFolded(std::string_view text) {
  if (isAscii(text))
    return lowercased(text);
  std::string result;
  icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), icuLength(text)))
      .foldCase(U_FOLD_CASE_DEFAULT)
      .toUTF8String(result);
  return result;
}

std::string_view droppingByteOrderMark(std::string_view text) {
  constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
  if (text.substr(0, kByteOrderMark.size()) == kByteOrderMark)
    text.remove_prefix(kByteOrderMark.size());
  return text;
}

std::vector<std::string_view> splitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  std::size_t lineStart = 0;
  std::size_t skipUntil = 0;  // the LF of a CR LF pair belongs to the CR
  forEachCodePoint(text, [&](char32_t c, int32_t start, int32_t next) {
    const auto at = static_cast<std::size_t>(start);
    if (at < skipUntil)
      return true;
    const bool lineBreak = (c >= U'\n' && c <= U'\r') || c == 0x85 || c == 0x2028 || c == 0x2029;
    if (!lineBreak)
      return true;
    lines.push_back(text.substr(lineStart, at - lineStart));
    lineStart = static_cast<std::size_t>(next);
    if (c == U'\r' && lineStart < text.size() && text[lineStart] == '\n') {
      skipUntil = ++lineStart;
    }
    return true;
  });
  lines.push_back(text.substr(lineStart));
  return lines;
}

}  // namespace korvelin::unicode
