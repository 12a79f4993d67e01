#pragma once

// Unicode rules for text that users type or import: names, variables,
// arguments. Backed by ICU so that white space, control characters and
// user-perceived characters follow the Unicode tables rather than ASCII.
// Every function expects valid UTF-8 (see Utf8.h); invalid sequences count as
// one U+FFFD each.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace korvelin::unicode {

// Which code points `trimmed` removes from both ends.
enum class Trim {
  whiteSpace,            // tab and space separators (Zs), not line breaks
  whiteSpaceAndNewlines  // every White_Space code point, line breaks included
};

std::string_view trimmed(std::string_view text, Trim which);

// True for every White_Space code point (the set `whiteSpaceAndNewlines` trims).
bool isWhiteSpace(char32_t codePoint);

// Byte offset of the first White_Space code point, or npos.
std::size_t findWhiteSpace(std::string_view text);

// Columns a terminal gives `text`: two for wide and full-width characters
// (East Asian Width W and F), none for combining marks and format
// characters, one for everything else.
std::size_t displayWidth(std::string_view text);

// Number of user-perceived characters (extended grapheme clusters).
std::size_t characterCount(std::string_view text);

// The first `count` user-perceived characters of `text` (all of it when it
// has fewer), never splitting one.
std::string_view prefixCharacters(std::string_view text, std::size_t count);

// True when some code point is a control (Cc) or format (Cf) character.
bool containsControlCharacter(std::string_view text);

// Full Unicode lower-casing in the root locale.
std::string lowercased(std::string_view text);

// Full Unicode case folding: the form in which two names that differ only in
// letter case compare equal ("Straße" and "STRASSE" both fold to "strasse").
std::string caseFolded(std::string_view text);

// `text` without a leading byte-order mark (U+FEFF), which some editors write
// at the start of a UTF-8 file.
std::string_view droppingByteOrderMark(std::string_view text);

// Splits at every line break: LF, CR LF, a lone CR, VT, FF, NEL, LS and PS.
// "a\n" gives {"a", ""}; the empty text gives {""}.
std::vector<std::string_view> splitLines(std::string_view text);

}  // namespace korvelin::unicode
