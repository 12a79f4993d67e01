#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/base/Base64.h"
#include "core/update/AppUpdateManifest.h"
#include "tests/support/SignedManifest.h"

namespace korvelin {
namespace {

using Case = AppUpdateError::Case;
constexpr double kNow = 1'800'000'000;
const std::string kApp = "com.korvelin.app";

using Keys = testing::ManifestKeys;
const auto envelope = testing::manifestEnvelope;

nlohmann::ordered_json manifest() {
  return {{"schemaVersion", 1},
          {"bundleIdentifier", kApp},
          {"channel", "stable"},
          {"version", "1.2.3"},
          {"build", 42},
          {"minimumSystemVersion", "14.9"},
          {"publishedAt", kNow - 60},
          {"expiresAt", kNow + 86400},
          {"notes", "Fixes."},
          {"downloadURL", "https://updates.example.com/Korvelin-1.2.3.dmg"},
          {"size", 1048576},
          {"sha256", std::string(64, 'a')}};
}

std::optional<Case> failure(const std::function<void()>& call) {
  try {
    call();
  } catch (const AppUpdateError& e) {
    return e.errorCase();
  }
  return std::nullopt;
}

TEST(AppUpdateManifestTest, SignedManifestBoundaries) {
  const Keys keys;
  const Keys otherKeys;
  const AppUpdateConfiguration configuration("https://updates.example.com/feed.json",
                                             keys.publicKey);
  using Edit = std::function<void(nlohmann::ordered_json&)>;
  using Wrap = std::function<std::string(const std::string& payload)>;
  struct Row {
    const char* name;
    Edit edit;
    std::optional<Case> expected;
    Wrap wrap = {};                // the feed's bytes; by default the signed envelope
    std::string system = "14.10";  // the running system's version
  };
  auto set = [](const char* key, nlohmann::ordered_json value) {
    return [key, value](nlohmann::ordered_json& m) { m[key] = value; };
  };
  auto dates = [](double published, double expires) {
    return [=](nlohmann::ordered_json& m) {
      m["publishedAt"] = published;
      m["expiresAt"] = expires;
    };
  };
  auto needs = [&](const char* minimum) { return set("minimumSystemVersion", minimum); };
  const Edit same = [](auto&) {};
  const auto signedBy = [](const Keys& k) -> Wrap {
    return [&k](const std::string& payload) { return envelope(payload, k.sign(payload)); };
  };
  const auto invalid = Case::invalidManifest;
  const std::vector<Row> rows = {
      {"published 300 s ahead", set("publishedAt", kNow + 300), std::nullopt},
      {"published 301 s ahead", set("publishedAt", kNow + 301), invalid},
      {"expires at now", dates(kNow - 10, kNow), invalid},
      {"valid for exactly 30 days", dates(kNow - 10, kNow - 10 + 2592000), std::nullopt},
      {"valid for 30 days and 1 s", dates(kNow - 10, kNow - 9 + 2592000), invalid},
      {"another application", set("bundleIdentifier", "com.example.other"), invalid},
      {"schema 2", set("schemaVersion", 2), invalid},
      {"schema 1.0", set("schemaVersion", 1.0), invalid},
      {"beta channel", set("channel", "beta"), invalid},
      {"version 1.2.3.4", set("version", "1.2.3.4"), std::nullopt},
      {"version 1.2.3.4.5", set("version", "1.2.3.4.5"), invalid},
      {"version v1.2", set("version", "v1.2"), invalid},
      {"version with a line break", set("version", "1.2\n"), invalid},
      {"build 0", set("build", 0), invalid},
      {"negative build", set("build", -1), invalid},
      {"needs a later system", needs("14.10.1"), invalid},
      {"14.10 on 14.9", needs("14.10"), invalid, {}, "14.9"},
      {"14 on 14.0.0", needs("14"), std::nullopt, {}, "14.0.0"},
      {"6.1.1 on 6.1", needs("6.1.1"), invalid, {}, "6.1"},
      {"6.1 on an empty version", needs("6.1"), invalid, {}, ""},
      {"6.1 on 6.1-rc", needs("6.1"), invalid, {}, "6.1-rc"},
      {"notes of 8000 bytes", set("notes", std::string(8000, 'n')), std::nullopt},
      {"notes of 8001 bytes", set("notes", std::string(8001, 'n')), invalid},
      {".DMG", set("downloadURL", "https://updates.example.com/K.DMG"), std::nullopt},
      {".zip", set("downloadURL", "https://updates.example.com/K.zip"), invalid},
      {"http download", set("downloadURL", "http://updates.example.com/K.dmg"), invalid},
      {"download with a query", set("downloadURL", "https://updates.example.com/K.dmg?x=1"),
       invalid},
      {"size 1 GiB", set("size", 1073741824), std::nullopt},
      {"size 1 GiB + 1", set("size", 1073741825), invalid},
      {"size 0", set("size", 0), invalid},
      {"upper-case hash", set("sha256", std::string(64, 'F')), std::nullopt},
      {"short hash", set("sha256", std::string(63, 'a')), invalid},
      {"unknown member", set("channelNote", "x"), invalid},
      {"missing member", [](auto& m) { m.erase("notes"); }, invalid},
      {"re-serialised payload", same, Case::invalidSignature,
       [&](const std::string& payload) {
         return envelope(nlohmann::json::parse(payload).dump(2), keys.sign(payload));
       }},
      {"wrong key", same, Case::invalidSignature, signedBy(otherKeys)},
      {"63-byte signature", same, Case::invalidSignature,
       [&](const std::string& payload) { return envelope(payload, keys.sign(payload).substr(1)); }},
      {"not an envelope", same, invalid, [&](const std::string& payload) { return payload; }},
      {"envelope with a third member", same, invalid,
       [&](const std::string& payload) {
         auto e = nlohmann::json::parse(envelope(payload, keys.sign(payload)));
         e["extra"] = 1;
         return e.dump();
       }},
      {"over 131072 bytes", same, invalid,
       [&](const std::string& payload) {
         return envelope(payload, keys.sign(payload)) + std::string(131072, ' ');
       }},
  };
  for (const auto& row : rows) {
    auto document = manifest();
    row.edit(document);
    const std::string payload = document.dump();
    const std::string data = (row.wrap ? row.wrap : signedBy(keys))(payload);
    std::optional<AppUpdateRelease> release;
    EXPECT_EQ(failure([&] {
                release =
                    AppUpdateRelease::authenticate(data, configuration, kApp, kNow, row.system);
              }),
              row.expected)
        << row.name;
    if (!row.expected && release) {
      EXPECT_EQ(nlohmann::json(*release), nlohmann::json::parse(document.dump())) << row.name;
    }
  }
}

TEST(AppUpdateManifestTest, Configuration) {
  const std::string key(32, 'k');
  const std::string feed = "https://updates.example.com/feed";
  const auto refused = [](const std::string& url, const std::string& publicKey) {
    return failure([&] { AppUpdateConfiguration(url, publicKey); });
  };
  EXPECT_EQ(refused(feed + ".json", key), std::nullopt);
  for (const std::string& url :
       {feed + "?x=1", feed + "?", feed + "#top", std::string("http://updates.example.com/feed"),
        std::string("HTTPS://updates.example.com/feed"),
        std::string("https://user@updates.example.com/feed"), std::string("https:///feed")})
    EXPECT_EQ(refused(url, key), Case::invalidConfiguration) << url;
  EXPECT_EQ(refused(feed, std::string(31, 'k')), Case::invalidConfiguration);
  EXPECT_EQ(refused(feed, std::string(33, 'k')), Case::invalidConfiguration);

  const std::string encoded = base64Encode(key);
  EXPECT_EQ(AppUpdateConfiguration::fromInfo(nlohmann::json::object()), std::nullopt);
  EXPECT_EQ(AppUpdateConfiguration::fromInfo({{"KorvelinUpdateFeedURL", "https://u.example/f"},
                                              {"KorvelinUpdatePublicKey", encoded}}),
            AppUpdateConfiguration("https://u.example/f", key));
  const std::vector<nlohmann::json> invalid = {
      {{"KorvelinUpdateFeedURL", "https://u.example/f"}},
      {{"KorvelinUpdatePublicKey", encoded}},
      {{"KorvelinUpdateFeedURL", "https://u.example/f"},
       {"KorvelinUpdatePublicKey", encoded + "="}},
      {{"KorvelinUpdateFeedURL", 1}, {"KorvelinUpdatePublicKey", encoded}},
      {{"KorvelinUpdateFeedURL", "https://u.example/f"},
       {"KorvelinUpdatePublicKey", base64Encode("short")}},
  };
  for (const auto& info : invalid)
    EXPECT_EQ(failure([&] { AppUpdateConfiguration::fromInfo(info); }), Case::invalidConfiguration)
        << info.dump();
}

}  // namespace
}  // namespace korvelin
