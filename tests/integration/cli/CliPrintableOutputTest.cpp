#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/ProfileCliTest.h"
#include "tests/support/Subprocess.h"

namespace korvelin {
namespace {

using testing::korvelinPath;
using testing::run;

// Bytes a terminal acts on: every C0 control but the line feed that ends
// each line, DEL, and the C1 controls in their UTF-8 form.
std::string firstControlIn(const std::string& text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    const bool c1 = byte == 0xC2 && i + 1 < text.size() &&
                    static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                    static_cast<unsigned char>(text[i + 1]) <= 0x9F;
    if ((byte < 0x20 && byte != '\n') || byte == 0x7F || c1)
      return "at byte " + std::to_string(i);
  }
  return "";
}

class CliPrintableOutputTest : public testing::ProfileCliTest {};

TEST_F(CliPrintableOutputTest, InputIsNeverEchoedWithControlCharacters) {
  const std::string title = "\x1b]0;retitled\x07";
  const std::string clear =
      "\x1b[2J\xc2\x9b"
      "1m\x7f";
  const std::string hostileBase = dir_.path() + "/" + clear;
  testing::Subprocess child({"/bin/sh", "-c", "read line", title, "two\nlines"},
                            testing::SubprocessOptions{.keepStdinOpen = true});
  const std::string pid = std::to_string(child.pid());
  ASSERT_TRUE(testing::eventually([&] {
    return run({korvelinPath(), "identity", pid, "--arguments"}).output.find("lines") !=
           std::string::npos;
  }));

  struct Case {
    const char* name;
    std::vector<std::string> arguments;
  };
  const std::vector<Case> cases = {
      {"process identifier", {korvelinPath(), "identity", "12" + title}},
      {"profile identifier", korvelin({"paths", clear})},
      {"profile identifier of run", korvelin({"run", title, "--", "/bin/true"})},
      {"--env assignment", korvelin({"run", "--env", clear, profile_, "--", "/bin/true"})},
      {"--base in an error", {korvelinPath(), "--base", hostileBase, "check", profile_}},
      {"--base in output", {korvelinPath(), "--base", hostileBase, "paths", profile_}},
      {"option value in a usage error", korvelin({"vless", "check", "x", "--port", clear})},
      {"unknown option", korvelin({"paths", profile_, "--" + title})},
      {"another process's arguments", {korvelinPath(), "identity", pid, "--arguments"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto result = run(c.arguments);
    EXPECT_FALSE(result.output.empty() && result.errors.empty());
    EXPECT_EQ(firstControlIn(result.output), "") << result.output;
    EXPECT_EQ(firstControlIn(result.errors), "") << result.errors;
  }
  // Each argument stays on its own line, whatever it holds.
  EXPECT_EQ(run({korvelinPath(), "identity", pid, "--arguments"}).output,
            "/bin/sh\n-c\nread line\n?]0;retitled?\ntwo?lines\n");
}

}  // namespace
}  // namespace korvelin
