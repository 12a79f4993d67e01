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

std::string envelope(const std::string& payload, const std::string& signature) {
  return testing::manifestEnvelope(payload, signature);
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
  struct Row {
    const char* name;
    Edit edit;
    std::optional<Case> expected;
    std::function<std::string(const std::string& payload)> wrap = {};
  };
  auto set = [](const char* key, nlohmann::ordered_json value) {
    return [key, value](nlohmann::ordered_json& m) { m[key] = value; };
  };
  const std::vector<Row> rows = {
      {"valid", [](auto&) {}, std::nullopt},
      {"published 300 s ahead", set("publishedAt", kNow + 300), std::nullopt},
      {"published 301 s ahead", set("publishedAt", kNow + 301), Case::invalidManifest},
      {"expires at now",
       [](auto& m) {
         m["publishedAt"] = kNow - 10;
         m["expiresAt"] = kNow;
       },
       Case::invalidManifest},
      {"valid for exactly 30 days",
       [](auto& m) {
         m["publishedAt"] = kNow - 10;
         m["expiresAt"] = kNow - 10 + 2592000;
       },
       std::nullopt},
      {"valid for 30 days and 1 s",
       [](auto& m) {
         m["publishedAt"] = kNow - 10;
         m["expiresAt"] = kNow - 9 + 2592000;
       },
       Case::invalidManifest},
      {"another application", set("bundleIdentifier", "com.example.other"), Case::invalidManifest},
      {"schema 2", set("schemaVersion", 2), Case::invalidManifest},
      {"schema 1.0", set("schemaVersion", 1.0), Case::invalidManifest},
      {"beta channel", set("channel", "beta"), Case::invalidManifest},
      {"version 1.2.3.4", set("version", "1.2.3.4"), std::nullopt},
      {"version 1.2.3.4.5", set("version", "1.2.3.4.5"), Case::invalidManifest},
      {"version v1.2", set("version", "v1.2"), Case::invalidManifest},
      {"version with a line break", set("version", "1.2\n"), Case::invalidManifest},
      {"build 0", set("build", 0), Case::invalidManifest},
      {"negative build", set("build", -1), Case::invalidManifest},
      {"needs a later system", set("minimumSystemVersion", "14.10.1"), Case::invalidManifest},
      {"notes of 8000 bytes", set("notes", std::string(8000, 'n')), std::nullopt},
      {"notes of 8001 bytes", set("notes", std::string(8001, 'n')), Case::invalidManifest},
      {".DMG", set("downloadURL", "https://updates.example.com/K.DMG"), std::nullopt},
      {".zip", set("downloadURL", "https://updates.example.com/K.zip"), Case::invalidManifest},
      {"http download", set("downloadURL", "http://updates.example.com/K.dmg"),
       Case::invalidManifest},
      {"download with a query", set("downloadURL", "https://updates.example.com/K.dmg?x=1"),
       Case::invalidManifest},
      {"size 1 GiB", set("size", 1073741824), std::nullopt},
      {"size 1 GiB + 1", set("size", 1073741825), Case::invalidManifest},
      {"size 0", set("size", 0), Case::invalidManifest},
      {"upper-case hash", set("sha256", std::string(64, 'F')), std::nullopt},
      {"short hash", set("sha256", std::string(63, 'a')), Case::invalidManifest},
      {"unknown member", set("channelNote", "x"), Case::invalidManifest},
      {"missing member", [](auto& m) { m.erase("notes"); }, Case::invalidManifest},
      {"re-serialised payload", [](auto&) {}, Case::invalidSignature,
       [&](const std::string& payload) {
         return envelope(nlohmann::json::parse(payload).dump(2), keys.sign(payload));
       }},
      {"wrong key", [](auto&) {}, Case::invalidSignature,
       [&](const std::string& payload) { return envelope(payload, otherKeys.sign(payload)); }},
      {"63-byte signature", [](auto&) {}, Case::invalidSignature,
       [&](const std::string& payload) { return envelope(payload, keys.sign(payload).substr(1)); }},
      {"not an envelope", [](auto&) {}, Case::invalidManifest,
       [&](const std::string& payload) { return payload; }},
      {"envelope with a third member", [](auto&) {}, Case::invalidManifest,
       [&](const std::string& payload) {
         auto e = nlohmann::json::parse(envelope(payload, keys.sign(payload)));
         e["extra"] = 1;
         return e.dump();
       }},
      {"over 131072 bytes", [](auto&) {}, Case::invalidManifest,
       [&](const std::string& payload) {
         return envelope(payload, keys.sign(payload)) + std::string(131072, ' ');
       }},
  };
  for (const auto& row : rows) {
    auto document = manifest();
    row.edit(document);
    const std::string payload = document.dump();
    const std::string data = row.wrap ? row.wrap(payload) : envelope(payload, keys.sign(payload));
    std::optional<AppUpdateRelease> release;
    EXPECT_EQ(failure([&] {
                release = AppUpdateRelease::authenticate(data, configuration, kApp, kNow, "14.10");
              }),
              row.expected)
        << row.name;
    if (!row.expected && release) {
      EXPECT_EQ(nlohmann::json(*release), nlohmann::json::parse(document.dump())) << row.name;
    }
  }
}

TEST(AppUpdateManifestTest, SystemVersionComparesNumerically) {
  const Keys keys;
  const AppUpdateConfiguration configuration("https://updates.example.com/feed", keys.publicKey);
  struct Row {
    std::string minimum, system;
    bool accepted;
  };
  const std::vector<Row> rows = {{"14.9", "14.10", true}, {"14.10", "14.9", false},
                                 {"14", "14.0.0", true},  {"6.1.1", "6.1", false},
                                 {"6.1", "", false},      {"6.1", "6.1-rc", false}};
  for (const auto& row : rows) {
    auto document = manifest();
    document["minimumSystemVersion"] = row.minimum;
    const std::string payload = document.dump();
    EXPECT_EQ(!failure([&] {
      AppUpdateRelease::authenticate(envelope(payload, keys.sign(payload)), configuration, kApp,
                                     kNow, row.system);
    }),
              row.accepted)
        << row.minimum << " on " << row.system;
  }
}

TEST(AppUpdateManifestTest, Configuration) {
  const std::string key(32, 'k');
  struct Row {
    std::string url;
    std::size_t keySize;
    bool valid;
  };
  const std::vector<Row> rows = {
      {"https://updates.example.com/feed.json", 32, true},
      {"https://updates.example.com/feed?x=1", 32, false},
      {"https://updates.example.com/feed?", 32, false},
      {"https://updates.example.com/feed#top", 32, false},
      {"http://updates.example.com/feed", 32, false},
      {"HTTPS://updates.example.com/feed", 32, false},
      {"https://user@updates.example.com/feed", 32, false},
      {"https:///feed", 32, false},
      {"https://updates.example.com/feed", 31, false},
      {"https://updates.example.com/feed", 33, false},
  };
  for (const auto& row : rows)
    EXPECT_EQ(!failure([&] { AppUpdateConfiguration(row.url, std::string(row.keySize, 'k')); }),
              row.valid)
        << row.url << " " << row.keySize;

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
