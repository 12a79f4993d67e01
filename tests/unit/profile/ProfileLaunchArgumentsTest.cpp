#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "core/base/CoreError.h"
#include "core/profile/ProfileLaunchArguments.h"
#include "tests/support/TempDir.h"
#include "tests/support/ThrownError.h"

namespace korvelin {
namespace {

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

TEST(ProfileLaunchArgumentsTest, ManagedOptionsAreRefusedInEveryDashForm) {
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
}

TEST(ProfileLaunchArgumentsTest, OtherArgumentsPass) {
  const List accepted = {
      "--lang=de", "--foo=--",          "user-data-dir", "--proxy",    "--homepage=x",   "--typed",
      "-",         "value with spaces", "=--",           " --lang=de", "  user-data-dir"};
  for (const auto& argument : accepted)
    EXPECT_EQ(validationFailure(argument), std::nullopt) << argument;
}

TEST(ProfileLaunchArgumentsTest, SeparatorAndEmptyArguments) {
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
  EXPECT_EQ(failureText([] {
              Arguments::validate({"--lang=de", "--", "--no-sandbox"});
            }),
            kSeparator);
}

TEST(ProfileLaunchArgumentsTest, ParsesImportedText) {
  struct Case {
    const char* why;
    std::string text;
    bool json;
    List arguments;
  };
  const std::vector<Case> cases = {
      {"LF, CR LF and lone CR; empty lines dropped",
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
      {R"({"a":1})", kNotArray},
      {R"([1])", kNotArray},
      {R"(["a",null])", kNotArray},
      {R"("--a")", kNotArray},
      {R"(["\ud800"])", kNotArray},
      {"[\"a\"] x", kNotArray},
      {"", kNotArray},
      {"[\"\xff\"]", "The imported file must be UTF-8 text."},
  };
  for (const auto& [text, error] : jsonFailures)
    EXPECT_EQ(failureText([&] { Arguments::parse(text, true); }), error) << text;
  // Parsed lists are validated.
  EXPECT_EQ(failureText([] { Arguments::parse("--a\n--\n", false); }), kSeparator);
  EXPECT_EQ(failureText([] { Arguments::parse(R"(["--a", ""])", true); }), kEmpty);
}

class ImportFileTest : public ::testing::Test {
 protected:
  std::string write(const std::string& name, const std::string& content) {
    const std::string path = dir_.child(name);
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }
  testing::ScopedTempDir dir_;
};

TEST_F(ImportFileTest, SizeLimitIsOneMebibyteInclusive) {
  std::string content(Arguments::kMaximumImportBytes, 'x');
  content.front() = '-';
  content.back() = '\n';
  EXPECT_EQ(Arguments::importFile(write("exact.txt", content)).front().size(), content.size() - 1);
  EXPECT_EQ(failureText([&] { Arguments::importFile(write("over.txt", content + "x")); }),
            "The imported file exceeds 1 MiB.");
}

TEST_F(ImportFileTest, ModeFollowsTheExtension) {
  const std::string array = "[\"--a\",\"--b\"]";
  EXPECT_EQ(Arguments::importFile(write("args.json", array)), (List{"--a", "--b"}));
  EXPECT_EQ(Arguments::importFile(write("args.txt", array)), List{array});
  EXPECT_EQ(Arguments::importFile(write(".json", "x\n")), List{"x"});  // a hidden name, not JSON
  EXPECT_EQ(failureText([&] { Arguments::importFile(write("object.json", "{\"a\":[]}")); }),
            kNotArray);
  EXPECT_EQ(failureText([&] { Arguments::importFile(write("latin1.txt", "--caf\xe9")); }),
            "The imported file must be UTF-8 text.");
}

TEST_F(ImportFileTest, UnreadableFilesFailWithoutBlockingOrLeaking) {
  const std::string target = write("real.txt", "--a\n");
  ASSERT_EQ(::symlink(target.c_str(), dir_.child("link.txt").c_str()), 0);
  ASSERT_EQ(::mkfifo(dir_.child("fifo").c_str(), 0600), 0);
  ASSERT_EQ(::mkdir(dir_.child("directory").c_str(), 0700), 0);

  const int before = testing::openDescriptorCount();
  for (const char* name : {"missing", "link.txt", "fifo", "directory"})
    EXPECT_EQ(failureText([&] { Arguments::importFile(dir_.child(name)); }),
              "The arguments file could not be read.")
        << name;
  EXPECT_EQ(testing::openDescriptorCount(), before);
}

}  // namespace
}  // namespace korvelin
