#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/base/Base64.h"
#include "tests/support/LoopbackHttpsServer.h"
#include "tests/support/SignedManifest.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"

namespace korvelin {
namespace {

using testing::korvelinPath;
using testing::run;

testing::RunResult korvelin(std::vector<std::string> arguments,
                            std::vector<std::string> environment = {}) {
  arguments.insert(arguments.begin(), korvelinPath());
  environment.push_back("PATH=/usr/bin:/bin");
  return run(arguments, {.environment = environment});
}

// Which language people read: --language first, then LANGUAGE, LC_ALL,
// LC_MESSAGES and LANG; the library's catalogue and the command line's own.
TEST(CliTextTest, TheLanguageComesFromTheOptionOrTheEnvironment) {
  struct Case {
    std::vector<std::string> arguments;
    std::vector<std::string> environment;
    int exitCode;
    std::string output;  // standard output, or standard error when the exit code is not 0
  };
  const std::string key = "Could not save profile catalog: {0}.";
  const std::vector<Case> cases = {
      {{"text", key, "disk full"}, {}, 0, "Could not save profile catalog: disk full.\n"},
      {{"text", key, "disk full"},
       {"LANG=ru_RU.UTF-8"},
       0,
       "Не удалось сохранить каталог профилей: disk full.\n"},
      {{"text", key, "x"},
       {"LANG=ru_RU.UTF-8", "LC_ALL=zh_CN.UTF-8"},
       0,
       "无法保存配置目录：x。\n"},
      {{"text", key, "x"},
       {"LANGUAGE=de:ru", "LC_ALL=zh_CN.UTF-8"},
       0,
       "Не удалось сохранить каталог профилей: x.\n"},
      {{"text", key, "x"}, {"LANG=C.UTF-8"}, 0, "Could not save profile catalog: x.\n"},
      {{"--language", "en", "text", key, "x"},
       {"LANG=ru_RU.UTF-8"},
       0,
       "Could not save profile catalog: x.\n"},
      {{"text", "--language", "zh-Hans", "--count", "3", "days"}, {}, 0, "3 天\n"},
      {{"--language", "ru", "text", "--render", "Profile 9F2C was not found."},
       {},
       0,
       "Профиль 9F2C не найден.\n"},
      {{"--language", "ru", "text", "--render", "3 events", "--key", "{0} events"},
       {},
       0,
       "События: 3\n"},
      {{"--language", "ru", "text", "No such key"},
       {},
       1,
       "korvelin: такого ключа в каталоге нет: No such key\n"},
      {{"--language", "zh-Hans", "identity", "xyz"},
       {},
       2,
       "korvelin: 无效的进程标识符“xyz”：应为正的十进制数\n"},
      {{"--language", "ru", "vless", "check", "bogus"},
       {},
       1,
       "korvelin: Ссылка VLESS недействительна или использует неподдерживаемые настройки.\n"},
      {{"--language", "fr", "text", "Cancel"}, {}, 2, ""},
  };
  for (const auto& c : cases) {
    const auto result = korvelin(c.arguments, c.environment);
    EXPECT_EQ(result.exitCode, c.exitCode) << c.arguments.back() << ": " << result.errors;
    if (!c.output.empty()) {
      EXPECT_EQ(c.exitCode == 0 ? result.output : result.errors, c.output) << c.arguments.back();
    }
  }
}

TEST(CliTextTest, JsonStaysInEnglishKeys) {
  const auto result = korvelin({"--language", "ru", "text", "--count", "2", "profiles", "--json"});
  ASSERT_EQ(result.exitCode, 0) << result.errors;
  const auto json = nlohmann::json::parse(result.output);
  EXPECT_EQ(json,
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
    envelope = keys.envelope(nlohmann::json{
        {"schemaVersion", 1},
        {"bundleIdentifier", "com.korvelin.app"},
        {"channel", "stable"},
        {"version", version},
        {"build", 7},
        {"minimumSystemVersion", "1"},
        {"publishedAt", now - 60},
        {"expiresAt", now + expiresIn},
        {"notes", "Faster.\nSafer."},
        {"downloadURL", "https://updates.example.com/K.dmg"},
        {"size", 1000},
        {"sha256",
         std::string(64, '0')}}.dump());
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

  auto check = korvelin({"--language", "ru", "update", "check", "--feed", server.url("/feed.json"),
                         "--public-key", key, "--app-id", "com.korvelin.app", "--ca-file",
                         server.certificatePath()});
  ASSERT_EQ(check.exitCode, 0) << check.errors;
  EXPECT_EQ(check.output.substr(0, check.output.find('\n')), "Доступен Korvelin 99.0");
  EXPECT_NE(check.output.find("\nFaster.\nSafer.\n"), std::string::npos) << check.output;

  struct Case {
    std::vector<std::string> arguments;
    int exitCode;
    std::string errors;
  };
  const std::vector<Case> cases = {
      {{"verify", file, "--public-key", key, "--app-id", "com.korvelin.app", "--json"}, 0, ""},
      {{"verify", file, "--public-key", otherKey, "--app-id", "com.korvelin.app"},
       1,
       "korvelin: Не удалось проверить обновления: Подпись манифеста обновления "
       "недействительна.\n"},
      {{"verify", file, "--public-key", key, "--app-id", "com.example.other"},
       1,
       "korvelin: Не удалось проверить обновления: Манифест обновления "
       "недействителен.\n"},
      {{"verify", file, "--public-key", key, "--app-id", "com.korvelin.app", "--now",
        std::to_string(std::time(nullptr) + 7200)},
       1,
       "korvelin: Не удалось проверить обновления: Манифест обновления "
       "недействителен.\n"},
      {{"verify", file, "--public-key", "c2hvcnQ=", "--app-id", "com.korvelin.app"},
       2,
       "korvelin: Не удалось проверить обновления: Конфигурация канала обновлений "
       "недействительна.\n"},
      {{"check", "--feed", server.url("/feed.json"), "--public-key", key, "--app-id",
        "com.korvelin.app"},
       1,
       "korvelin: Не удалось проверить обновления: Не удалось скачать канал "
       "обновлений.\n"},  // untrusted
  };
  for (const auto& c : cases) {
    std::vector<std::string> arguments = {"--language", "ru", "update"};
    arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
    const auto result = korvelin(arguments);
    EXPECT_EQ(result.exitCode, c.exitCode) << c.arguments[1] << " " << c.arguments[3];
    EXPECT_EQ(result.errors, c.errors) << c.arguments[1] << " " << c.arguments[3];
    if (c.exitCode == 0) {
      EXPECT_EQ(nlohmann::json::parse(result.output)["version"], "99.0");
    }
  }
}

}  // namespace
}  // namespace korvelin
