#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/AppProfile.h"
#include "core/Iso8601Date.h"
#include "core/JsonSupport.h"
#include "core/ProfileProxyConfiguration.h"
#include "core/UnicodeText.h"

namespace korvelin {
namespace {

using namespace std::chrono;

constexpr const char* kHostText = "Proxy host must be a valid ASCII hostname or IP address.";
constexpr const char* kPortText = "Proxy port must be between 1 and 65535.";

std::string repeated(std::string_view piece, int count) {
  std::string result;
  for (int i = 0; i < count; ++i) result += piece;
  return result;
}

TEST(ProxyHostTest, NormalizesToOneSpellingOrRefuses) {
  struct Case {
    std::string input;
    std::optional<std::string> normalized;  // absent: refused
  };
  const std::string label63 = repeated("a", 63);
  const std::vector<Case> cases = {
      {"  My-Proxy  ", "my-proxy"},
      {"\tproxy.Example.COM\n", "proxy.example.com"},
      {"\u3000host\u00a0", "host"},  // ideographic and no-break spaces are trimmed
      {"127.0.0.1", "127.0.0.1"},
      {"1.2.3", std::nullopt},        // the parser reads 1.2.0.3
      {"127.000.0.1", std::nullopt},  // zero-padded
      {"0x7f.0.0.1", std::nullopt},   // hexadecimal
      {"999.1.1.1", std::nullopt},    // looks like an address, is none
      {"1.2.3.4.", std::nullopt},
      {"::FFFF:1.2.3.4", "::ffff:1.2.3.4"},
      {"2001:DB8:0:0:0:0:0:1", "2001:db8::1"},
      {"::1", "::1"},
      {"[::1]", std::nullopt},
      {"fe80::1%en0", std::nullopt},
      {"1.2.3.4:80", std::nullopt},
      {label63 + ".com", label63 + ".com"},
      {repeated("a", 64) + ".com", std::nullopt},
      {repeated(label63 + ".", 3) + repeated("b", 61), repeated(label63 + ".", 3) + repeated("b", 61)},
      {repeated(label63 + ".", 3) + repeated("b", 62), std::nullopt},  // 254 bytes
      {"example.com.", std::nullopt},
      {"a..b", std::nullopt},
      {"-a.com", std::nullopt},
      {"a-.com", std::nullopt},
      {"a_b.com", std::nullopt},
      {"a b", std::nullopt},
      {"proxy.\xc3\xa9xample.com", std::nullopt},
      {"bad\xff", std::nullopt},
      {std::string("a\0b", 3), std::nullopt},
      {"", std::nullopt},
      {" \n ", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input);
    if (c.normalized) {
      EXPECT_EQ(ProfileProxyConfiguration::normalizedHost(c.input), *c.normalized);
    } else {
      try {
        ProfileProxyConfiguration::normalizedHost(c.input);
        ADD_FAILURE() << "accepted";
      } catch (const KorvelinCoreError& e) {
        EXPECT_EQ(e, KorvelinCoreError::invalidProxyConfiguration(kHostText));
      }
    }
  }
}

TEST(ProxyConfigurationTest, PortBoundsEndpointAndUri) {
  for (std::int64_t port : {std::int64_t{0}, std::int64_t{65536}, std::int64_t{-1}, INT64_MAX}) {
    try {
      ProfileProxyConfiguration(ProfileProxyScheme::http, "proxy", port);
      ADD_FAILURE() << port;
    } catch (const KorvelinCoreError& e) {
      EXPECT_EQ(e, KorvelinCoreError::invalidProxyConfiguration(kPortText)) << port;
    }
  }
  EXPECT_EQ(ProfileProxyConfiguration(ProfileProxyScheme::https, "Proxy", 65535).uri(), "https://proxy:65535");
  const ProfileProxyConfiguration v6(ProfileProxyScheme::socks5, "::1", 1080);
  EXPECT_EQ(v6.endpoint(), "[::1]:1080");
  EXPECT_EQ(v6.uri(), "socks5://[::1]:1080");

  ProfileProxyConfiguration stored = v6;
  stored.port = 0;
  EXPECT_THROW(stored.validated(), KorvelinCoreError);
  stored = v6;
  stored.host = "  LOCALHOST ";
  EXPECT_EQ(stored.validated().host, "localhost");
}

TEST(ProxyConfigurationTest, JsonDecodingRunsTheInitializer) {
  auto decode = [](const std::string& text) {
    return jsonio::decode(text, &KorvelinCoreError::invalidProfileCatalog, "proxy",
                          [](const nlohmann::json& json) { return profileProxyConfigurationFromJSON(json); });
  };
  auto proxy = decode(R"({"scheme":"socks5","host":"::FFFF:127.0.0.1","port":1080})");
  EXPECT_EQ(proxy.host, "::ffff:127.0.0.1");
  EXPECT_EQ(nlohmann::json(proxy).dump(), R"({"host":"::ffff:127.0.0.1","port":1080,"scheme":"socks5"})");
  for (const char* bad : {R"({"scheme":"socks5","host":"h"})", R"({"scheme":"ftp","host":"h","port":1})",
                          R"({"scheme":"http","host":"h","port":"80"})", R"({"scheme":"http","host":"h","port":0})",
                          R"({"scheme":"http","host":"h","port":80.5})", R"({"scheme":"http","host":"[::1]","port":1})",
                          R"([1,2])"}) {
    try {
      decode(bad);
      ADD_FAILURE() << bad;
    } catch (const KorvelinCoreError& e) {
      EXPECT_EQ(e.detail(), "proxy: Invalid proxy configuration.") << bad;
    }
  }
}

TEST(ProfileNameTest, CountsUserPerceivedCharactersAndRefusesOuterSpace) {
  const std::string family = "\U0001F468\u200D\U0001F469\u200D\U0001F467";  // one character, 18 bytes
  const std::string accented = "e\u0301";                                      // one character
  struct Case {
    std::string name;
    bool valid;
  };
  const std::vector<Case> cases = {
      {repeated("a", 60), true},
      {repeated("a", 61), false},
      {repeated(family, 60), true},
      {repeated(family, 61), false},
      {repeated(accented, 60), true},
      {repeated(accented, 61), false},
      {"", false},
      {" Work", false},
      {"Work\n", false},
      {"\u00a0Work", false},
      {"Work\u2028", false},
      {"Wo rk", true},
      {"\u200bWork", true},  // zero-width space is a format character, not white space
      {"bad\xff", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(isValidProfileName(c.name), c.valid) << c.name;
  }
  EXPECT_EQ(unicode::characterCount("\U0001F1FA\U0001F1F8" + accented + "x"), 3u);
  EXPECT_EQ(std::string(unicode::trimmed("\r\n\u2029 a b \t\u0085", unicode::Trim::whiteSpaceAndNewlines)), "a b");
}

TEST(Iso8601Test, WholeSecondsWithZoneDesignator) {
  const sys_seconds date = sys_days{2026y / January / 5} + 10h + 20min + 30s;
  EXPECT_EQ(iso8601String(date), "2026-01-05T10:20:30Z");
  struct Case {
    const char* text;
    std::optional<sys_seconds> date;
  };
  const std::vector<Case> cases = {
      {"2026-01-05T10:20:30Z", date},
      {"2026-01-05T12:20:30+02:00", date},
      {"2026-01-05T05:20:30-05:00", date},
      {"2024-02-29T00:00:00Z", sys_days{2024y / February / 29}},
      {"2026-02-29T00:00:00Z", std::nullopt},
      {"2026-01-05T10:20:30.5Z", std::nullopt},
      {"2026-01-05T10:20:30", std::nullopt},
      {"2026-01-05t10:20:30z", std::nullopt},
      {"2026-01-05T24:00:00Z", std::nullopt},
      {"2026-01-05T10:20:60Z", std::nullopt},
      {"2026-01-05T10:20:30+0200", std::nullopt},
      {"0000-01-01T00:00:00+00:01", std::nullopt},  // before the first writable year
      {"+026-01-05T10:20:30Z", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(parseIso8601(c.text), c.date) << c.text;
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

TEST(AppProfileJsonTest, OptionalKeysAreOmittedAndReadAsDefaults) {
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

  // Every optional field present survives a round trip; null reads as absent.
  AppProfile full = sampleProfile();
  full.proxyConnectionID = Uuid::random();
  full.allowSystemRouteFallback = true;
  full.environmentVariables = {{"A", "1"}, {"B", ""}};
  full.launchArguments = {"--flag", "value with spaces"};
  EXPECT_EQ(decodeProfile(nlohmann::json(full).dump()), full);
  AppProfile proxied = sampleProfile();
  proxied.proxy = ProfileProxyConfiguration(ProfileProxyScheme::socks5, "::1", 1080);
  EXPECT_EQ(decodeProfile(nlohmann::json(proxied).dump()), proxied);
  auto withNulls = nlohmann::json::parse(minimal);
  withNulls["proxy"] = nullptr;
  withNulls["launchArguments"] = nullptr;
  EXPECT_EQ(decodeProfile(withNulls.dump()), sampleProfile());
}

TEST(AppProfileJsonTest, MalformedDocumentsAreOneCatalogError) {
  const auto good = nlohmann::json(sampleProfile());
  struct Edit {
    const char* key;
    nlohmann::json value;  // null: remove the key
  };
  const std::vector<Edit> edits = {
      {"id", nullptr},          {"id", "not-a-uuid"},          {"name", 5},
      {"color", "purple"},      {"application", nullptr},      {"application", {{"displayName", "x"}}},
      {"createdAt", "yesterday"}, {"createdAt", nullptr},      {"proxyConnectionID", "x"},
      {"allowSystemRouteFallback", "yes"}, {"environmentVariables", {{"name", "A"}}},
      {"launchArguments", {1, 2}}, {"proxy", {{"scheme", "http"}}},
  };
  for (const auto& edit : edits) {
    auto document = good;
    if (edit.value.is_null())
      document.erase(edit.key);
    else
      document[edit.key] = edit.value;
    try {
      decodeProfile(document.dump());
      ADD_FAILURE() << document.dump();
    } catch (const KorvelinCoreError& e) {
      EXPECT_EQ(e.errorCase(), KorvelinCoreError::Case::invalidProfileCatalog) << e.what();
      EXPECT_EQ(e.detail().rfind("profile: ", 0), 0u);
    }
  }
}

TEST(AppProfileRulesTest, FirstBrokenRuleIsReportedWithTheCatalogueText) {
  struct Case {
    const char* name;
    std::function<void(AppProfile&)> change;
    std::optional<std::string> violation;
  };
  const std::vector<Case> cases = {
      {"valid", [](AppProfile&) {}, std::nullopt},
      {"leading space", [](AppProfile& p) { p.name = " Work"; }, "invalid profile name"},
      {"61 characters", [](AppProfile& p) { p.name = repeated("x", 61); }, "invalid profile name"},
      {"unsupported pair", [](AppProfile& p) { p.adapterIdentifier = "com.korvelin.adapter.chrome"; },
       "invalid profile application metadata"},
      {"relative bundle", [](AppProfile& p) { p.application.bundlePath = "Applications/X.app"; },
       "invalid profile application metadata"},
      {"long display name", [](AppProfile& p) { p.application.displayName = repeated("d", 121); },
       "invalid profile application metadata"},
      {"empty build", [](AppProfile& p) { p.application.buildVersion = ""; },
       "invalid profile application metadata"},
      {"proxy and connection",
       [](AppProfile& p) {
         p.proxy = ProfileProxyConfiguration(ProfileProxyScheme::http, "proxy", 8080);
         p.proxyConnectionID = Uuid::random();
       },
       "invalid profile proxy configuration"},
      {"fallback without connection", [](AppProfile& p) { p.allowSystemRouteFallback = true; },
       "invalid profile proxy configuration"},
      {"fallback with connection",
       [](AppProfile& p) {
         p.allowSystemRouteFallback = true;
         p.proxyConnectionID = Uuid::random();
       },
       std::nullopt},
      {"stored host not canonical",
       [](AppProfile& p) {
         p.proxy = ProfileProxyConfiguration(ProfileProxyScheme::http, "proxy", 8080);
         p.proxy->host = "Proxy";
       },
       "invalid profile proxy configuration"},
      {"stored port 0",
       [](AppProfile& p) {
         p.proxy = ProfileProxyConfiguration(ProfileProxyScheme::http, "proxy", 8080);
         p.proxy->port = 0;
       },
       "invalid profile proxy configuration"},
  };
  for (const auto& c : cases) {
    AppProfile profile = sampleProfile();
    c.change(profile);
    EXPECT_EQ(profileModelViolation(profile), c.violation) << c.name;
  }
}

TEST(ProfileColorTokenTest, RawValuesInDisplayOrder) {
  std::vector<std::string> raw;
  for (auto color : kAllProfileColorTokens) {
    raw.emplace_back(rawValue(color));
    EXPECT_EQ(profileColorTokenFromRawValue(rawValue(color)), color);
  }
  EXPECT_EQ(raw, (std::vector<std::string>{"violet", "blue", "teal", "yellow", "orange", "red", "pink", "gray"}));
  EXPECT_FALSE(profileColorTokenFromRawValue("Violet"));
}

}  // namespace
}  // namespace korvelin
