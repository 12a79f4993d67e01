#pragma once

// The one mapping between an enumeration and the names it has in files,
// protocols and output: a table of (value, name) pairs, read both ways.
//
//   constexpr EnumNames<Color, 2> kColorNames{{{Color::red, "red"}, {Color::blue, "blue"}}};
//   kColorNames.name(Color::red) == "red";  kColorNames.value("blue") == Color::blue

#include <cstddef>
#include <optional>
#include <string_view>
#include <utility>

namespace korvelin {

template <typename Enum, std::size_t Count>
struct EnumNames {
  std::pair<Enum, std::string_view> entries[Count];

  // The name of a value; the first entry's name for a value not in the table
  // (only a cast can make one).
  constexpr std::string_view name(Enum value) const {
    for (const auto& [candidate, text] : entries)
      if (candidate == value)
        return text;
    return entries[0].second;
  }

  // The value of a name, compared exactly; absent for any other text.
  constexpr std::optional<Enum> value(std::string_view text) const {
    for (const auto& [candidate, name] : entries)
      if (name == text)
        return candidate;
    return std::nullopt;
  }
};

}  // namespace korvelin
