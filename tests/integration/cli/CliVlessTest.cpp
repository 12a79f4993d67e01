#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/proxy/VLESSConnection.h"
#include "tests/support/Subprocess.h"

namespace korvelin {
namespace {

using testing::korvelinPath;
using testing::run;

const std::string kUser = "b831381d-6324-4d53-ad4f-8cda48b30811";
const std::string kShortID = "6ba85179e30d4fc2";
const std::string kLink = "vless://" + kUser +
                          "@[2001:db8::7]:443?type=tcp&security=reality&sni=www.example.com"
                          "&fp=chrome&flow=xtls-rprx-vision&sid=" +
                          kShortID + "&pbk=SbVKOEMjK0sIlbwg4akyBg5mL5KZwwB-ed4eEE7YnRc#Home";
const std::string kInvalid = "korvelin: The VLESS link is invalid or uses unsupported settings.\n";

TEST(CliVlessTest, SummaryJsonAndXrayConfiguration) {
  auto summary = run({korvelinPath(), "vless", "check", kLink});
  ASSERT_EQ(summary.exitCode, 0) << summary.errors;
  EXPECT_NE(summary.output.find("VLESS (TCP + REALITY)"), std::string::npos);
  EXPECT_NE(summary.output.find("[2001:db8::7]:443"), std::string::npos);
  EXPECT_EQ(summary.output.find(kUser.substr(0, 8)), std::string::npos);
  EXPECT_EQ(summary.output.find(kShortID), std::string::npos);

  auto json = run({korvelinPath(), "vless", "check", "--json", kLink});
  ASSERT_EQ(json.exitCode, 0) << json.errors;
  const nlohmann::json expected = VLESSRealityConfiguration(kLink);
  EXPECT_EQ(nlohmann::json::parse(json.output), expected);

  auto xray = run({korvelinPath(), "vless", "check", kLink, "--port", "1080"});
  ASSERT_EQ(xray.exitCode, 0) << xray.errors;
  EXPECT_EQ(xray.output, VLESSRealityConfiguration(kLink).xrayJSON(1080));  // no line break
}

TEST(CliVlessTest, ReadsTheLinkFromStandardInput) {
  for (const std::string& input : {kLink, kLink + "\n", kLink + "\r\n"}) {
    auto result =
        run({korvelinPath(), "vless", "check", "-", "--port", "65535"}, {.standardInput = input});
    ASSERT_EQ(result.exitCode, 0) << result.errors;
    EXPECT_EQ(result.output, VLESSRealityConfiguration(kLink).xrayJSON(65535));
  }
  auto twoLines = run({korvelinPath(), "vless", "check", "-"}, {.standardInput = kLink + "\n\n"});
  EXPECT_EQ(twoLines.exitCode, 1);
  auto tooLong = run({korvelinPath(), "vless", "check", "-"},
                     {.standardInput = kLink + std::string(40000, 'a')});
  EXPECT_EQ(tooLong.exitCode, 1);
  EXPECT_EQ(tooLong.errors, kInvalid);
}

// A link refused late, by the rules of its transport, is not echoed either.
TEST(CliVlessTest, FailuresNeverEchoTheLink) {
  std::string bad = kLink;
  bad.insert(bad.find('#'), "&alpn=h2");  // alpn is not allowed on TCP
  auto invalid = run({korvelinPath(), "vless", "check", bad});
  EXPECT_EQ(invalid.exitCode, 1);
  EXPECT_EQ(invalid.errors, kInvalid);
  EXPECT_EQ(invalid.output, "");
}

}  // namespace
}  // namespace korvelin
