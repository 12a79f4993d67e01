#include <gtest/gtest.h>

#include "core/base/EnumNames.h"
#include "core/base/HexCoding.h"
#include "core/files/FilePath.h"

namespace korvelin {
namespace {

TEST(HexCodingTest, PercentEscapesDecodeOnlyWhenWellFormedAndAllowed) {
  struct Row {
    std::string_view text;
    std::optional<std::string> decoded;
  };
  const Row rows[] = {
      {"a%20b%2fc", "a b/c"}, {"%F0%9F%87%A9", "\xF0\x9F\x87\xA9"},
      {"%", std::nullopt},    {"%4", std::nullopt},
      {"%4g", std::nullopt},  {"%g4", std::nullopt},
      {"ok%2", std::nullopt},
  };
  for (const auto& row : rows)
    EXPECT_EQ(percentDecoded(row.text), row.decoded) << row.text;
  EXPECT_EQ(percentDecoded("a%2Fb", "/"), std::nullopt) << "a refused byte";
  EXPECT_EQ(percentDecoded("a/b", "/"), "a/b") << "only escapes are refused";
}

TEST(HexCodingTest, FileURLsRoundTripAndRefuseEscapedSeparators) {
  const std::string path = "/tmp/a b/%c/\xC3\xA9";
  EXPECT_EQ(fileURLString(path, false), "file:///tmp/a%20b/%25c/%C3%A9");
  EXPECT_EQ(pathFromFileURL(fileURLString(path, false)), path);
  for (std::string_view url :
       {"file:///a%2Fb", "file:///a%00b", "file:///a?b", "file:///a#b", "file:///a%zz"})
    EXPECT_EQ(pathFromFileURL(url), std::nullopt) << url;
}

TEST(HexCodingTest, HexTextAndNamesOfEnumerations) {
  EXPECT_EQ(hexEncoded(std::string_view("\x00\x9f\xff", 3)), "009fff");
  EXPECT_EQ(hexEncoded("\x9f", HexLetters::upper), "9F");
  enum class Color { red, blue };
  constexpr EnumNames<Color, 2> names{{{Color::red, "red"}, {Color::blue, "blue"}}};
  static_assert(names.name(Color::blue) == "blue");
  EXPECT_EQ(names.value("blue"), Color::blue);
  EXPECT_EQ(names.value("Blue"), std::nullopt);
  EXPECT_EQ(names.name(static_cast<Color>(7)), "red");
}

}  // namespace
}  // namespace korvelin
