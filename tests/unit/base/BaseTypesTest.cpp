// The base types: the rules every error description follows (the texts
// themselves live in one place, the case list in CoreError.h), hex and
// percent coding, and enumeration names.

#include <gtest/gtest.h>

#include <cerrno>
#include <set>
#include <vector>

#include "core/base/CoreError.h"
#include "core/base/EnumNames.h"
#include "core/base/HexCoding.h"
#include "core/files/FilePath.h"

namespace korvelin {
namespace {

using E = KorvelinCoreError;
const Uuid kId = *Uuid::parse("e621e1f8-c36c-495a-93fc-0c247a3e6e5f");

TEST(CoreErrorTest, PayloadPiecesFillTheTextInOrderAndHiddenOnesStayOut) {
  // A detail with a placeholder of its own and a trailing "." is taken as it is.
  const std::string detail = "d/{}x.\n\"b\"" + std::string(5000, 'x');
  const struct {
    E error;
    E::Case errorCase;
    std::string description;
  } rows[] = {
      {E::bundleNotFound(detail), E::Case::bundleNotFound,
       "Codex bundle not found at " + detail + "."},
      {E::invalidEnvironmentVariables(detail), E::Case::invalidEnvironmentVariables, detail},
      {E::profileNotFound(kId), E::Case::profileNotFound,
       "Profile E621E1F8-C36C-495A-93FC-0C247A3E6E5F was not found."},
      {E::unverifiedVersion("{}", "1234"), E::Case::unverifiedVersion,
       "Codex version {} (1234) is not verified."},
      {E::keychainOperationFailed("read", -25300), E::Case::keychainOperationFailed,
       "Keychain read failed with status -25300."},
      {E::profileUpdateBlocked(kId), E::Case::profileUpdateBlocked,
       "Stop the profile before editing its settings."},
      {E::youTrackCredentialUnavailable(-25300), E::Case::youTrackCredentialUnavailable,
       "The YouTrack credential is unavailable in this Korvelin build."},
      {E::youTrackCredentialMutationBlocked(), E::Case::youTrackCredentialMutationBlocked,
       "Stop all managed profiles before replacing or deleting the YouTrack token."},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.description.substr(0, 40));
    EXPECT_EQ(row.error.errorCase(), row.errorCase);
    EXPECT_EQ(row.error.errorDescription(), row.description);
    EXPECT_STREQ(row.error.what(), row.description.c_str());
  }
  EXPECT_EQ(E::bundleNotFound(detail).detail(), detail);
  EXPECT_EQ(*E::alreadyRunning(kId).profileID(), kId);
}

TEST(CoreErrorTest, EveryCaseHasItsOwnCode) {
  std::set<std::string_view> codes;
  for (size_t i = 0; i < E::kCaseCount; ++i)
    codes.insert(E::codeOf(static_cast<E::Case>(i)));
  EXPECT_EQ(codes.size(), E::kCaseCount);
  EXPECT_EQ(E::profileRecoveryRequired(kId).code(), "profileRecoveryRequired");
}

TEST(CoreErrorTest, EqualityComparesCaseAndPayload) {
  const Uuid other = *Uuid::parse("00000000-0000-0000-0000-000000000001");
  EXPECT_EQ(E::profileNotFound(kId), E::profileNotFound(*Uuid::parse(kId.lowercaseString())));
  EXPECT_NE(E::profileNotFound(kId), E::profileNotFound(other));
  EXPECT_NE(E::profileNotFound(kId), E::alreadyRunning(kId));
  EXPECT_NE(E::unsafeProfilePath("a"), E::unsafeProfilePath("b"));
  EXPECT_NE(E::unsafeProfilePath("a"), E::unsafeProfileBase("a"));
  // Payloads that a fixed description hides still take part in equality.
  EXPECT_NE(E::youTrackCredentialUnavailable(1), E::youTrackCredentialUnavailable(2));
  EXPECT_NE(E::profileUpdateBlocked(kId), E::profileUpdateBlocked(other));
}

TEST(CoreErrorTest, FactoriesServeAsErrorFactories) {
  ErrorFactory factory = &E::logCreationFailed;
  EXPECT_EQ(factory("x"), E::logCreationFailed("x"));
  EXPECT_EQ(factory.failed(ENOENT, "open", "a"),
            E::logCreationFailed("open failed for a: No such file or directory"));
  std::vector<std::string> reported;
  const auto always = ErrorFactory::always(E::alreadyRunning(kId),
                                           [&](const std::string& d) { reported.push_back(d); });
  EXPECT_EQ(always("why"), E::alreadyRunning(kId));
  EXPECT_EQ(reported, std::vector<std::string>{"why"});
}

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
