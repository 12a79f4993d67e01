#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "core/base/CoreError.h"
#include "core/profile/ProfileEnvironment.h"
#include "tests/support/ThrownError.h"

namespace korvelin {
namespace {

using Variables = std::vector<ProfileEnvironmentVariable>;

template <typename Call>
std::optional<std::string> failureText(Call&& call) {
  return testing::thrownDescription(KorvelinCoreError::Case::invalidEnvironmentVariables, call);
}

const std::string kPattern = "Environment variable names must match [A-Za-z_][A-Za-z0-9_]*.";

TEST(ProfileEnvironmentTest, ValidationStopsAtTheFirstBrokenRule) {
  struct Case {
    Variables variables;
    std::optional<std::string> error;
  };
  const std::vector<Case> cases = {
      {{{"_X1", "v"}, {"home", "/tmp"}, {"EMPTY", ""}, {"EQ", "a=b"}, {"NL", "a\nb"}}, {}},
      {{{"1X", "v"}}, kPattern},
      {{{"A-B", "v"}}, kPattern},
      {{{"", "v"}}, kPattern},
      {{{"A B", "v"}}, kPattern},
      {{{"\xC3\x89T\xC3\x89", "v"}}, kPattern},
      {{{"HOME", "/tmp"}}, "HOME is managed by Korvelin and cannot be overridden."},
      {{{"A", "1"}, {"A", "2"}}, "Environment variable A is duplicated."},
      {{{"A", std::string("x\0y", 3)}}, "Environment variable values cannot contain a null byte."},
      // Order: the first variable's problem wins over a later one's.
      {{{"HTTPS_PROXY", "x"}, {"1X", "v"}},
       "HTTPS_PROXY is managed by Korvelin and cannot be overridden."},
      {{{"A", "1"}, {"B", std::string(1, '\0')}, {"A", "2"}},
       "Environment variable values cannot contain a null byte."},
  };
  for (const auto& c : cases)
    EXPECT_EQ(failureText([&] { ProfileEnvironment::validate(c.variables); }), c.error)
        << c.variables.front().name;
}

TEST(ProfileEnvironmentTest, EveryReservedNameIsRefusedButOnlyInItsExactCase) {
  for (const auto& name : ProfileEnvironment::reservedNames) {
    EXPECT_EQ(failureText([&] {
                ProfileEnvironment::validate({{name, "x"}});
              }),
              name + " is managed by Korvelin and cannot be overridden.");
    std::string lower = name;
    for (char& c : lower)
      c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_FALSE(failureText([&] { ProfileEnvironment::validate({{lower, "x"}}); })) << lower;
  }
}

TEST(ProfileEnvironmentTest, ParsesDotEnvText) {
  struct Case {
    const char* why;
    std::string text;
    Variables variables;
  };
  const std::vector<Case> cases = {
      {"export prefix and single quotes", "export KEY='a b'", {{"KEY", "a b"}}},
      {"double quotes", "KEY=\"a b\"", {{"KEY", "a b"}}},
      {"nothing unescaped inside quotes", R"(KEY="a\nb")", {{"KEY", R"(a\nb)"}}},
      {"mismatched quotes kept", "KEY='a\"", {{"KEY", "'a\""}}},
      {"a lone quote kept", "KEY=\"", {{"KEY", "\""}}},
      {"empty quotes", "KEY=''", {{"KEY", ""}}},
      {"value keeps every = after the first", "URL=a=b=c", {{"URL", "a=b=c"}}},
      {"key and value trimmed, comments and blank lines skipped",
       "# comment\n\n   \t\n  A = 1 \t\n  # indented comment\nB=",
       {{"A", "1"}, {"B", ""}}},
      {"CR LF", "A=1\r\nB=2\r\n", {{"A", "1"}, {"B", "2"}}},
      {"byte-order mark",
       "\xEF\xBB\xBF"
       "A=1",
       {{"A", "1"}}},
      {"file order kept", "Z=1\nA=2", {{"Z", "1"}, {"A", "2"}}},
      {"empty text", "", {}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ProfileEnvironment::parseDotEnv(c.text), c.variables) << c.why;
}

TEST(ProfileEnvironmentTest, DotEnvFailuresNameTheLineOrKey) {
  struct Case {
    std::string text;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"A=1\nB=2\nC", "Line 3 must use KEY=VALUE format."},
      {"A=1\r\nB=2\r\nC", "Line 3 must use KEY=VALUE format."},
      {"A=1\rB", "Line 2 must use KEY=VALUE format."},
      {"# one\n\nexport KEY", "Line 3 must use KEY=VALUE format."},
      {"A=1\nA=2", "Environment variable A is duplicated in the imported file."},
      // The file-level duplicate is found before the variables are validated.
      {"1X=1\n1X=2", "Environment variable 1X is duplicated in the imported file."},
      {"HOME=/x", "HOME is managed by Korvelin and cannot be overridden."},
      {"=value", kPattern},
      {"export\tA=1", kPattern},
      {"A=\xff", "The imported file must be UTF-8 text."},
  };
  for (const auto& c : cases)
    EXPECT_EQ(failureText([&] { ProfileEnvironment::parseDotEnv(c.text); }), c.error) << c.text;
}

TEST(ProfileEnvironmentTest, DictionaryValidatesFirst) {
  EXPECT_EQ(ProfileEnvironment::dictionary({{"B", "2"}, {"A", "1"}}),
            (std::map<std::string, std::string>{{"A", "1"}, {"B", "2"}}));
  EXPECT_TRUE(failureText([] { ProfileEnvironment::dictionary({{"A", "1"}, {"A", "2"}}); }));
}

}  // namespace
}  // namespace korvelin
