// The profile's model: proxy settings, names, dates and the catalogue's
// rules, and the profile's own settings as people write them: environment
// variables (also from .env text) and launch arguments (also from an
// imported file).

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/base/Iso8601Date.h"
#include "core/base/JsonSupport.h"
#include "core/profile/AppProfile.h"
#include "core/profile/ProfileEnvironment.h"
#include "core/profile/ProfileLaunchArguments.h"
#include "core/profile/ProfileProxyConfiguration.h"
#include "core/text/UnicodeText.h"
#include "tests/support/FileTreeHelpers.h"
#include "tests/support/TempDir.h"
#include "tests/support/ThrownError.h"

namespace korvelin {
namespace {

using namespace std::chrono;

constexpr const char* kHostText = "Proxy host must be a valid ASCII hostname or IP address.";
constexpr const char* kPortText = "Proxy port must be between 1 and 65535.";

std::string repeated(std::string_view piece, int count) {
  std::string result;
  for (int i = 0; i < count; ++i)
    result += piece;
  return result;
}

// The detail of the invalidProxyConfiguration that `operation` throws.
template <typename Call>
std::optional<std::string> expectProxyRefusal(Call&& operation) {
  return testing::thrownDetail(KorvelinCoreError::Case::invalidProxyConfiguration, operation);
}

TEST(ProxyHostTest, NormalizesToOneSpellingOrRefuses) {
  const std::string label63 = repeated("a", 63);
  const std::string longest = repeated(label63 + ".", 3) + repeated("b", 61);  // 253 bytes
  // Ideographic and no-break spaces are trimmed.
  const std::vector<std::pair<std::string, std::string>> normalized = {
      {"  My-Proxy  ", "my-proxy"},
      {"\u3000host\u00a0", "host"},
      {"127.0.0.1", "127.0.0.1"},
      {"::FFFF:1.2.3.4", "::ffff:1.2.3.4"},
      {"::1", "::1"},
      {label63 + ".com", label63 + ".com"},
      {longest, longest},
  };
  for (const auto& [input, host] : normalized)
    EXPECT_EQ(ProfileProxyConfiguration::normalizedHost(input), host);
  // "1.2.3" is read as 1.2.0.3 by the parser; zero-padded and hexadecimal
  // parts, a port, a zone, brackets, a label over 63 bytes or a name over
  // 253 are refused.
  std::vector<std::string> refused = {
      "1.2.3",      "127.000.0.1",  "0x7f.0.0.1", "1.2.3.4.", "[::1]",   "fe80::1%en0",
      "1.2.3.4:80", "example.com.", "a..b",       "-a.com",   "a_b.com", "bad\xff",
      "",
  };
  refused.insert(refused.end(), {"proxy.\xc3\xa9xample.com", std::string("a\0b", 3), longest + "b",
                                 repeated("a", 64) + ".com"});
  for (const auto& input : refused)
    EXPECT_EQ(expectProxyRefusal([&] { ProfileProxyConfiguration::normalizedHost(input); }),
              kHostText)
        << input;
}

TEST(ProxyConfigurationTest, PortBoundsEndpointUriAndDecoding) {
  for (std::int64_t port : {std::int64_t{0}, std::int64_t{65536}, std::int64_t{-1}}) {
    EXPECT_EQ(expectProxyRefusal(
                  [&] { ProfileProxyConfiguration(ProfileProxyScheme::http, "proxy", port); }),
              kPortText);
  }
  EXPECT_EQ(ProfileProxyConfiguration(ProfileProxyScheme::https, "Proxy", 65535).uri(),
            "https://proxy:65535");
  const ProfileProxyConfiguration v6(ProfileProxyScheme::socks5, "::1", 1080);
  EXPECT_EQ(v6.endpoint(), "[::1]:1080");
  EXPECT_EQ(v6.uri(), "socks5://[::1]:1080");
  ProfileProxyConfiguration stored = v6;
  stored.port = 0;
  EXPECT_EQ(expectProxyRefusal([&] { stored.validated(); }), kPortText);

  // Decoding runs the initializer.
  auto decode = [](const std::string& text) {
    return jsonio::decode(
        text, &KorvelinCoreError::invalidProfileCatalog, "proxy",
        [](const nlohmann::json& json) { return profileProxyConfigurationFromJSON(json); });
  };
  auto proxy = decode(R"({"scheme":"socks5","host":"::FFFF:127.0.0.1","port":1080})");
  EXPECT_EQ(proxy.host, "::ffff:127.0.0.1");
  EXPECT_EQ(nlohmann::json(proxy).dump(),
            R"({"host":"::ffff:127.0.0.1","port":1080,"scheme":"socks5"})");
  for (const char* bad :
       {R"({"scheme":"socks5","host":"h"})", R"({"scheme":"ftp","host":"h","port":1})",
        R"({"scheme":"http","host":"h","port":"80"})", R"({"scheme":"http","host":"h","port":0})",
        R"({"scheme":"http","host":"[::1]","port":1})"})
    EXPECT_EQ(testing::expectCoreError([&] { decode(bad); }),
              KorvelinCoreError::invalidProfileCatalog("proxy: Invalid proxy configuration."));
}

TEST(ProfileNameTest, CountsUserPerceivedCharactersAndRefusesOuterSpace) {
  const std::string family =
      "\U0001F468\u200D\U0001F469\u200D\U0001F467";  // one character, 18 bytes
  const std::string accented = "e\u0301";            // one character
  // A zero-width space is a format character, not white space.
  const std::vector<std::string> valid = {repeated("a", 60), repeated(family, 60),
                                          repeated(accented, 60), "Wo rk", "\u200bWork"};
  const std::vector<std::string> invalid = {
      repeated("a", 61), repeated(family, 61), "", " Work", "Work\n", "\u00a0Work", "bad\xff"};
  for (const auto& name : valid)
    EXPECT_TRUE(isValidProfileName(name)) << name;
  for (const auto& name : invalid)
    EXPECT_FALSE(isValidProfileName(name)) << name;
  EXPECT_EQ(unicode::characterCount("\U0001F1FA\U0001F1F8" + accented + "x"), 3u);
  EXPECT_EQ(std::string(
                unicode::trimmed("\r\n\u2029 a b \t\u0085", unicode::Trim::whiteSpaceAndNewlines)),
            "a b");
}

TEST(Iso8601Test, WholeSecondsWithZoneDesignator) {
  const sys_seconds date = sys_days{2026y / January / 5} + 10h + 20min + 30s;
  EXPECT_EQ(iso8601String(date), "2026-01-05T10:20:30Z");
  EXPECT_EQ(parseIso8601("2026-01-05T12:20:30+02:00"), date);
  EXPECT_EQ(parseIso8601("2026-01-05T05:20:30-05:00"), date);
  for (const char* bad : {"2026-02-29T00:00:00Z", "2026-01-05T10:20:30.5Z", "2026-01-05T10:20:30",
                          "2026-01-05t10:20:30z", "2026-01-05T10:20:60Z",
                          "2026-01-05T10:20:30+0200", "0000-01-01T00:00:00+00:01"})
    EXPECT_FALSE(parseIso8601(bad)) << bad;
}

AppProfile sampleProfile() {
  AppProfile profile;
  profile.id = *Uuid::parse("0A1B2C3D-4E5F-4071-8293-A4B5C6D7E8F9");
  profile.name = "Work";
  profile.color = ProfileColorToken::teal;
  profile.application = {"Codex", "com.openai.codex", "/Applications/ChatGPT.app", "1.2", "345"};
  profile.adapterIdentifier = "com.korvelin.adapter.codex";
  profile.createdAt = sys_days{2026y / January / 5} + 10h + 20min + 30s;
  return profile;
}

AppProfile decodeProfile(const std::string& text) {
  return jsonio::decode(text, &KorvelinCoreError::invalidProfileCatalog, "profile",
                        [](const nlohmann::json& json) { return json.get<AppProfile>(); });
}

TEST(AppProfileJsonTest, OptionalKeysAreOmittedAndMalformedDocumentsRefused) {
  const std::string minimal =
      R"({"adapterIdentifier":"com.korvelin.adapter.codex","application":{"buildVersion":"345",)"
      R"("bundleIdentifier":"com.openai.codex","bundlePath":"/Applications/ChatGPT.app",)"
      R"("displayName":"Codex","marketingVersion":"1.2"},"color":"teal",)"
      R"("createdAt":"2026-01-05T10:20:30Z","id":"0A1B2C3D-4E5F-4071-8293-A4B5C6D7E8F9","name":"Work"})";
  const AppProfile profile = decodeProfile(minimal);
  EXPECT_EQ(profile, sampleProfile());
  nlohmann::json written = profile;
  auto expected = nlohmann::json::parse(minimal);
  expected["allowSystemRouteFallback"] = false;
  EXPECT_EQ(written, expected);

  // Every optional field survives a round trip (the fuzz target covers the
  // rest); null reads as absent.
  AppProfile full = sampleProfile();
  full.proxy = ProfileProxyConfiguration(ProfileProxyScheme::socks5, "::1", 1080);
  full.environmentVariables = {{"A", "1"}};
  full.launchArguments = {"--flag"};
  EXPECT_EQ(decodeProfile(nlohmann::json(full).dump()), full);
  auto withNulls = nlohmann::json::parse(minimal);
  withNulls["proxy"] = nullptr;
  withNulls["launchArguments"] = nullptr;
  EXPECT_EQ(decodeProfile(withNulls.dump()), sampleProfile());

  // Malformed documents are one catalogue error.
  const std::pair<const char*, nlohmann::json> edits[] = {
      // null: remove the key
      {"id", nullptr},
      {"id", "not-a-uuid"},
      {"color", "purple"},
      {"application", {{"displayName", "x"}}},
      {"createdAt", "yesterday"},
      {"allowSystemRouteFallback", "yes"},
      {"environmentVariables", {{"name", "A"}}},
      {"launchArguments", {1, 2}},
      {"proxy", {{"scheme", "http"}}},
  };
  for (const auto& [key, value] : edits) {
    auto document = written;
    value.is_null() ? (void)document.erase(key) : (void)(document[key] = value);
    auto error = testing::expectCoreError([&] { decodeProfile(document.dump()); });
    EXPECT_EQ(error.detail().rfind("profile: ", 0), 0u) << key;
  }
}

TEST(AppProfileRulesTest, FirstBrokenRuleIsReportedWithTheCatalogueText) {
  const ProfileProxyConfiguration proxy(ProfileProxyScheme::http, "proxy", 8080);
  const auto connection = Uuid::random();
  ProfileProxyConfiguration notCanonical = proxy, noPort = proxy;
  notCanonical.host = "Proxy";
  noPort.port = 0;
  const std::string routing = "invalid profile proxy configuration";
  const std::string application = "invalid profile application metadata";
  using Change = std::function<void(AppProfile&)>;
  const std::vector<std::pair<Change, std::optional<std::string>>> cases = {
      {[](AppProfile&) {}, std::nullopt},
      {[](AppProfile& p) { p.name = " Work"; }, "invalid profile name"},
      {[](AppProfile& p) { p.adapterIdentifier = "com.korvelin.adapter.chrome"; }, application},
      {[](AppProfile& p) { p.application.displayName = repeated("d", 121); }, application},
      {[&](AppProfile& p) { p.proxy = proxy, p.proxyConnectionID = connection; }, routing},
      {[](AppProfile& p) { p.allowSystemRouteFallback = true; }, routing},
      {[&](AppProfile& p) { p.allowSystemRouteFallback = true, p.proxyConnectionID = connection; },
       std::nullopt},
      // A stored host must already be canonical, a stored port never 0.
      {[&](AppProfile& p) { p.proxy = notCanonical; }, routing},
      {[&](AppProfile& p) { p.proxy = noPort; }, routing},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    AppProfile profile = sampleProfile();
    cases[i].first(profile);
    EXPECT_EQ(profileModelViolation(profile), cases[i].second) << i;
  }
}

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
  for (const std::string name : {"1X", "A-B", "", "A B", "\xC3\x89T\xC3\x89"}) {
    const Variables badName = {{name, "v"}};
    EXPECT_EQ(variablesFailure([&] { ProfileEnvironment::validate(badName); }), kPattern) << name;
  }

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
  // Managed options, in every dash form; "--config" is cut at an em space,
  // and KELVIN SIGN lower-cases to "k".
  List refused = {
      "--user-data-dir=/x", "-USER-DATA-DIR",        "---proxy-server x",
      "--Inspect-Brk",      "--no-sandbox",          "-no-sandbox",
      "--js-flags=--x",     "--type=renderer",       "--home\t/x",
      "--inspect",          "--inspector-x=1",       "--codex-home=/x",
      "--no-proxy-server",  "--proxy-bypass-list=*",
  };
  refused.insert(refused.end(), {"--remote-debugging-port=9222", "--remote-debugging-pipe",
                                 "--ignore-certificate-errors-spki-list=abc",
                                 "--config\xE2\x80\x83value", "--DIS\xE2\x84\xAA-CACHE-DIR=/x"});
  // Chromium trims white space around every argument before it looks for a
  // switch, so these are options too.
  refused.insert(refused.end(),
                 {" --proxy-server=socks5://127.0.0.1:1", "\t--user-data-dir=/x",
                  " --remote-debugging-port=9222", "\n\v\f\r--no-sandbox ", "\xC2\xA0--inspect"});
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
