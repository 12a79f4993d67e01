#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/base/Base64.h"
#include "tests/support/LoopbackHttpsServer.h"
#include "tests/support/ProfileCliTest.h"
#include "tests/support/SignedManifest.h"

namespace korvelin {
namespace {

testing::RunResult korvelin(std::vector<std::string> arguments,
                            std::vector<std::string> environment = {}) {
  environment.push_back("PATH=/usr/bin:/bin");
  return testing::runKorvelin(std::move(arguments), {.environment = environment});
}

// `arguments` after --language `language`.
std::vector<std::string> in(const std::string& language, std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), {"--language", language});
  return arguments;
}

// Which language people read: --language first, then LANGUAGE, LC_ALL,
// LC_MESSAGES and LANG; the library's catalogue and the command line's own.
TEST(CliTextTest, TheLanguageComesFromTheOptionOrTheEnvironment) {
  struct Case {
    std::vector<std::string> arguments;
    int exitCode;
    std::string shown;  // the line on standard output, or after "korvelin: " on standard error
    std::vector<std::string> environment = {};
  };
  const std::vector<std::string> saved = {"text", "Could not save profile catalog: {0}.", "a b"};
  const std::string en = "Could not save profile catalog: a b.";
  const std::string ru = "Не удалось сохранить каталог профилей: a b.";
  const std::string lang = "LANG=ru_RU.UTF-8", all = "LC_ALL=zh_CN.UTF-8";
  const std::vector<Case> cases = {
      {saved, 0, en},
      {saved, 0, ru, {lang}},
      {saved, 0, "无法保存配置目录：a b。", {lang, all}},
      {saved, 0, ru, {"LANGUAGE=de:ru", all}},
      {saved, 0, en, {"LANG=C.UTF-8"}},
      {in("en", saved), 0, en, {lang}},
      {{"text", "--language", "zh-Hans", "--count", "3", "days"}, 0, "3 天"},
      {in("ru", {"text", "--render", "Profile 9F2C was not found."}), 0, "Профиль 9F2C не найден."},
      {in("ru", {"text", "--render", "3 events", "--key", "{0} events"}), 0, "События: 3"},
      {in("ru", {"text", "No such key"}), 1, "такого ключа в каталоге нет: No such key"},
      {in("zh-Hans", {"identity", "xyz"}), 2, "无效的进程标识符“xyz”：应为正的十进制数"},
      {in("ru", {"vless", "check", "bogus"}), 1,
       "Ссылка VLESS недействительна или использует неподдерживаемые настройки."},
      {in("fr", {"text", "Cancel"}), 2, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments.back());
    const auto result = korvelin(c.arguments, c.environment);
    EXPECT_EQ(result.exitCode, c.exitCode) << result.errors;
    if (!c.shown.empty()) {
      EXPECT_EQ(c.exitCode == 0 ? result.output : result.errors,
                (c.exitCode == 0 ? "" : "korvelin: ") + c.shown + "\n");
    }
  }
  const auto json = korvelin(in("ru", {"text", "--count", "2", "profiles", "--json"}));
  ASSERT_EQ(json.exitCode, 0) << json.errors;
  EXPECT_EQ(nlohmann::json::parse(json.output),
            (nlohmann::json{
                {"count", 2}, {"kind", "profiles"}, {"language", "ru"}, {"text", "2 профиля"}}));
}

// A manifest of `version` expiring in `expiresIn` seconds, signed.
struct SignedFeed {
  testing::ManifestKeys keys;
  std::string publicKey = keys.publicKey;
  std::string envelope;
  SignedFeed(const std::string& version, double expiresIn) {
    const double now = static_cast<double>(std::time(nullptr));
    auto manifest = nlohmann::json::parse(R"({"schemaVersion": 1, "channel": "stable",
        "bundleIdentifier": "com.korvelin.app", "build": 7, "minimumSystemVersion": "1",
        "notes": "Faster.\nSafer.", "downloadURL": "https://updates.example.com/K.dmg",
        "size": 1000})");
    manifest["version"] = version;
    manifest["publishedAt"] = now - 60;
    manifest["expiresAt"] = now + expiresIn;
    manifest["sha256"] = std::string(64, '0');
    envelope = keys.envelope(manifest.dump());
  }
};

TEST(CliTextTest, UpdateCheckAndVerify) {
  testing::ScopedTempDir directory;
  const SignedFeed feed("99.0", 3600);
  testing::LoopbackHttpsServer server(directory.path(), [&](const std::string&) {
    return testing::LoopbackHttpsServer::Reply{testing::httpResponse(
        "200 OK", "Content-Length: " + std::to_string(feed.envelope.size()) + "\r\n",
        feed.envelope)};
  });
  const std::string key = base64Encode(feed.publicKey);
  const std::string otherKey = base64Encode(SignedFeed("1", 60).publicKey);
  const std::string file = directory.child("manifest.json");
  std::ofstream(file) << feed.envelope;
  const std::string app = "com.korvelin.app";
  const std::vector<std::string> check = {
      "update", "check", "--feed", server.url("/feed.json"), "--public-key", key, "--app-id", app};

  auto trusted = check;
  trusted.insert(trusted.end(), {"--ca-file", server.certificatePath()});
  const auto checked = korvelin(in("ru", trusted));
  ASSERT_EQ(checked.exitCode, 0) << checked.errors;
  EXPECT_EQ(checked.output.substr(0, checked.output.find('\n')), "Доступен Korvelin 99.0");
  EXPECT_THAT(checked.output, ::testing::HasSubstr("\nFaster.\nSafer.\n"));

  auto verify = [&](const std::string& publicKey, const std::string& id,
                    std::vector<std::string> extra = {}) {
    std::vector<std::string> arguments = {"update",  "verify",   file, "--public-key",
                                          publicKey, "--app-id", id};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    return arguments;
  };
  const std::string failed = "korvelin: Не удалось проверить обновления: ";
  const std::string invalid = failed + "Манифест обновления недействителен.\n";
  const struct {
    std::vector<std::string> arguments;
    int exitCode;
    std::string errors;
  } cases[] = {
      {verify(key, app, {"--json"}), 0, ""},
      {verify(otherKey, app), 1, failed + "Подпись манифеста обновления недействительна.\n"},
      {verify(key, "com.example.other"), 1, invalid},
      {verify(key, app, {"--now", std::to_string(std::time(nullptr) + 7200)}), 1, invalid},
      {verify("c2hvcnQ=", app), 2, failed + "Конфигурация канала обновлений недействительна.\n"},
      {check, 1, failed + "Не удалось скачать канал обновлений.\n"},  // untrusted
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments[1] + " " + c.arguments[4]);
    const auto result = korvelin(in("ru", c.arguments));
    EXPECT_EQ(result.exitCode, c.exitCode);
    EXPECT_EQ(result.errors, c.errors);
    if (c.exitCode == 0) {
      EXPECT_EQ(nlohmann::json::parse(result.output)["version"], "99.0");
    }
  }
}

}  // namespace
}  // namespace korvelin
