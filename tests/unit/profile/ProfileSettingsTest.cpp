// The profile's own settings as people write them: environment variables
// (also from .env text) and launch arguments (also from an imported file).

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/base/CoreError.h"
#include "core/profile/ProfileEnvironment.h"
#include "core/profile/ProfileLaunchArguments.h"
#include "tests/support/FileTreeHelpers.h"
#include "tests/support/TempDir.h"
#include "tests/support/ThrownError.h"

namespace korvelin {
namespace {

using Variables = std::vector<ProfileEnvironmentVariable>;

template <typename Call>
std::optional<std::string> variablesFailure(Call&& call) {
  return testing::thrownDescription(KorvelinCoreError::Case::invalidEnvironmentVariables, call);
}

const std::string kPattern = "Environment variable names must match [A-Za-z_][A-Za-z0-9_]*.";
const std::string kUtf8 = "The imported file must be UTF-8 text.";
const std::string kByteOrderMark = "\xEF\xBB\xBF";
const std::string kNull = "Environment variable values cannot contain a null byte.";

std::string managed(const std::string& name) {
  return name + " is managed by Korvelin and cannot be overridden.";
}

TEST(ProfileEnvironmentTest, ValidationStopsAtTheFirstBrokenRuleAndReservesExactNames) {
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
      {{{"HOME", "/tmp"}}, managed("HOME")},
      {{{"A", "1"}, {"A", "2"}}, "Environment variable A is duplicated."},
      {{{"A", std::string("x\0y", 3)}}, kNull},
      // Order: the first variable's problem wins over a later one's.
      {{{"HTTPS_PROXY", "x"}, {"1X", "v"}}, managed("HTTPS_PROXY")},
      {{{"A", "1"}, {"B", std::string(1, '\0')}, {"A", "2"}}, kNull},
  };
  for (const auto& c : cases)
    EXPECT_EQ(variablesFailure([&] { ProfileEnvironment::validate(c.variables); }), c.error)
        << c.variables.front().name;

  // Every reserved name, but only in its exact case.
  for (const auto& name : ProfileEnvironment::reservedNames) {
    std::string lower = name;
    std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
    const Variables reserved = {{name, "x"}}, unreserved = {{lower, "x"}};
    EXPECT_EQ(variablesFailure([&] { ProfileEnvironment::validate(reserved); }), managed(name));
    EXPECT_FALSE(variablesFailure([&] { ProfileEnvironment::validate(unreserved); })) << lower;
  }

  // The dictionary is validated first.
  EXPECT_EQ(ProfileEnvironment::dictionary({{"B", "2"}, {"A", "1"}}),
            (std::map<std::string, std::string>{{"A", "1"}, {"B", "2"}}));
  EXPECT_TRUE(variablesFailure([] { ProfileEnvironment::dictionary({{"A", "1"}, {"A", "2"}}); }));
}

TEST(ProfileEnvironmentTest, ParsesDotEnvTextOrNamesTheLineOrKeyAtFault) {
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
      {"byte-order mark", kByteOrderMark + "A=1", {{"A", "1"}}},
      {"file order kept", "Z=1\nA=2", {{"Z", "1"}, {"A", "2"}}},
      {"empty text", "", {}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ProfileEnvironment::parseDotEnv(c.text), c.variables) << c.why;

  // Failures name the line or the key.
  const std::vector<std::pair<std::string, std::string>> failures = {
      {"A=1\nB=2\nC", "Line 3 must use KEY=VALUE format."},
      {"A=1\r\nB=2\r\nC", "Line 3 must use KEY=VALUE format."},
      {"A=1\rB", "Line 2 must use KEY=VALUE format."},
      {"# one\n\nexport KEY", "Line 3 must use KEY=VALUE format."},
      {"A=1\nA=2", "Environment variable A is duplicated in the imported file."},
      // The file-level duplicate is found before the variables are validated.
      {"1X=1\n1X=2", "Environment variable 1X is duplicated in the imported file."},
      {"HOME=/x", managed("HOME")},
      {"=value", kPattern},
      {"export\tA=1", kPattern},
      {"A=\xff", kUtf8},
  };
  for (const auto& [text, error] : failures)
    EXPECT_EQ(variablesFailure([&] { ProfileEnvironment::parseDotEnv(text); }), error) << text;
}

namespace Arguments = ProfileLaunchArguments;
using List = std::vector<std::string>;

const std::string kManaged =
    "Profile paths, proxy, process and security options are managed by Korvelin.";
const std::string kSeparator = "The -- separator is not supported.";
const std::string kEmpty = "Arguments cannot be empty or contain a null byte.";
const std::string kNotArray = "Expected a JSON array of strings.";

template <typename Call>
std::optional<std::string> failureText(Call&& call) {
  return testing::thrownDescription(KorvelinCoreError::Case::invalidLaunchArguments, call);
}

std::optional<std::string> validationFailure(const std::string& argument) {
  return failureText([&] { Arguments::validate({argument}); });
}

TEST(ProfileLaunchArgumentsTest, ValidationRefusesManagedOptionsSeparatorsAndEmptyArguments) {
  // Managed options, in every dash form.
  const List refused = {
      "--user-data-dir=/x",
      "-USER-DATA-DIR",
      "---proxy-server x",
      "--remote-debugging-port=9222",
      "--Inspect-Brk",
      "--proxy-bypass-list=*",
      "--no-sandbox",
      "-no-sandbox",
      "--js-flags=--x",
      "--ignore-certificate-errors-spki-list=abc",
      "--type=renderer",
      "--home\t/x",
      "--config\xE2\x80\x83value",       // cut at an em space
      "--DIS\xE2\x84\xAA-CACHE-DIR=/x",  // KELVIN SIGN lower-cases to "k"
      "--remote-debugging-pipe",
      "--inspect",
      "--inspector-x=1",
      "--codex-home=/x",
      "--no-proxy-server",
      // Chromium trims white space around every argument before it looks
      // for a switch, so these are options too.
      " --proxy-server=socks5://127.0.0.1:1",
      "\t--user-data-dir=/x",
      " --remote-debugging-port=9222",
      "\n\v\f\r--no-sandbox ",
      "\xC2\xA0--inspect",
  };
  for (const auto& argument : refused)
    EXPECT_EQ(validationFailure(argument), kManaged) << argument;

  for (const auto& name : Arguments::reservedOptionNames)
    EXPECT_EQ(validationFailure("--" + name), kManaged) << name;

  // Other arguments pass.
  const List accepted = {
      "--lang=de", "--foo=--",          "user-data-dir", "--proxy",    "--homepage=x",   "--typed",
      "-",         "value with spaces", "=--",           " --lang=de", "  user-data-dir"};
  for (const auto& argument : accepted)
    EXPECT_EQ(validationFailure(argument), std::nullopt) << argument;

  // The separator and empty arguments.
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"--", kSeparator},
      {"  --  ", kSeparator},
      {"\n--\t", kSeparator},
      {"", kEmpty},
      {std::string("--a\0b", 5), kEmpty},
  };
  for (const auto& [argument, error] : cases)
    EXPECT_EQ(validationFailure(argument), error);
  // The first broken rule in list order is the one reported.
  const List twoFaults = {"--lang=de", "--", "--no-sandbox"};
  EXPECT_EQ(failureText([&] { Arguments::validate(twoFaults); }), kSeparator);
}

TEST(ProfileLaunchArgumentsTest, ParsesImportedText) {
  struct Case {
    const char* why;
    std::string text;
    bool json;
    List arguments;
  };
  const std::vector<Case> cases = {
      {"LF, CR LF, lone CR; no empty line",
       "--a\r\n--b\rc\n\n\r\nd\n",
       false,
       {"--a", "--b", "c", "d"}},
      {"lines kept as written", "  --lang=de  \n\tx", false, {"  --lang=de  ", "\tx"}},
      {"byte-order mark dropped", "\xEF\xBB\xBF--a\n", false, {"--a"}},
      {"JSON array", R"([ "--a", "b c" ])", true, {"--a", "b c"}},
      {"JSON with a byte-order mark", "\xEF\xBB\xBF[\"--a\"]", true, {"--a"}},
      {"empty JSON array", "[]", true, {}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(Arguments::parse(c.text, c.json), c.arguments) << c.why;

  const std::vector<std::pair<std::string, std::string>> jsonFailures = {
      {R"({"a":1})", kNotArray}, {R"([1])", kNotArray},        {R"(["a",null])", kNotArray},
      {R"("--a")", kNotArray},   {R"(["\ud800"])", kNotArray}, {"[\"a\"] x", kNotArray},
      {"", kNotArray},           {"[\"\xff\"]", kUtf8},
  };
  for (const auto& [text, error] : jsonFailures)
    EXPECT_EQ(failureText([&] { Arguments::parse(text, true); }), error) << text;
  // Parsed lists are validated.
  EXPECT_EQ(failureText([] { Arguments::parse("--a\n--\n", false); }), kSeparator);
  EXPECT_EQ(failureText([] { Arguments::parse(R"(["--a", ""])", true); }), kEmpty);
}

TEST(ProfileLaunchArgumentsTest, ImportsAFileAsItsExtensionSaysWithinItsLimits) {
  testing::ScopedTempDir dir;
  const auto write = [&](const std::string& name, const std::string& content) {
    std::ofstream(dir.child(name), std::ios::binary) << content;
    return dir.child(name);
  };
  const auto refusal = [&](const std::string& path) {
    return failureText([&] { Arguments::importFile(path); });
  };

  // One mebibyte, inclusive.
  std::string content(Arguments::kMaximumImportBytes, 'x');
  content.front() = '-';
  content.back() = '\n';
  EXPECT_EQ(Arguments::importFile(write("exact.txt", content)).front().size(), content.size() - 1);
  EXPECT_EQ(refusal(write("over.txt", content + "x")), "The imported file exceeds 1 MiB.");

  // The extension chooses the form.
  const std::string array = "[\"--a\",\"--b\"]";
  EXPECT_EQ(Arguments::importFile(write("args.json", array)), (List{"--a", "--b"}));
  EXPECT_EQ(Arguments::importFile(write("args.txt", array)), List{array});
  EXPECT_EQ(Arguments::importFile(write(".json", "x\n")), List{"x"});  // a hidden name, not JSON
  EXPECT_EQ(refusal(write("object.json", "{\"a\":[]}")), kNotArray);
  EXPECT_EQ(refusal(write("latin1.txt", "--caf\xe9")), kUtf8);

  // What cannot be read fails without blocking or leaking.
  testing::makeSymlink(write("real.txt", "--a\n"), dir.child("link.txt"));
  ASSERT_EQ(::mkfifo(dir.child("fifo").c_str(), 0600), 0);
  testing::makeDirectory(dir.child("directory"));
  const int before = testing::openDescriptorCount();
  for (const char* name : {"missing", "link.txt", "fifo", "directory"})
    EXPECT_EQ(refusal(dir.child(name)), "The arguments file could not be read.") << name;
  EXPECT_EQ(testing::openDescriptorCount(), before);
}

}  // namespace
}  // namespace korvelin
