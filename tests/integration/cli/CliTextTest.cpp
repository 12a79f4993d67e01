#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/base/Base64.h"
#include "core/process/LiveProcessIdentity.h"
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

class CliOutputTest : public testing::ProfileCliTest {};

// Another process's identity as JSON of exactly seven keys, the same as this
// process sees; and input, wherever it was typed, never echoed with control
// characters.
TEST_F(CliOutputTest, IdentityAndNoControlCharactersEchoed) {
  const std::string title = "\x1b]0;retitled\x07";
  const std::string clear =
      "\x1b[2J\xc2\x9b"
      "1m\x7f";
  const std::string hostileBase = dir_.path() + "/" + clear;
  testing::Subprocess child({"/bin/sh", "-c", "read line", title, "two\nlines"},
                            testing::SubprocessOptions{.keepStdinOpen = true});
  const std::string pid = std::to_string(child.pid());
  const std::vector<std::string> arguments = {testing::korvelinPath(), "identity", pid,
                                              "--arguments"};
  ASSERT_TRUE(testing::eventually(
      [&] { return testing::run(arguments).output.find("lines") != std::string::npos; }));
  // Each argument stays on its own line, whatever it holds.
  EXPECT_EQ(testing::run(arguments).output, "/bin/sh\n-c\nread line\n?]0;retitled?\ntwo?lines\n");

  const auto here = LiveProcessIdentity::capture(child.pid());
  ASSERT_TRUE(here);
  const auto identity = testing::run({testing::korvelinPath(), "identity", pid, "--json"});
  ASSERT_EQ(identity.exitCode, 0) << identity.errors;
  const auto json = nlohmann::json::parse(identity.output);
  std::vector<std::string> keys;
  for (const auto& [key, value] : json.items())
    keys.push_back(key);
  EXPECT_EQ(keys, (std::vector<std::string>{"bootSessionID", "executable", "group", "pid",
                                            "startMicroseconds", "startSeconds", "uid"}));
  // Another process, later, names the same incarnation the same way.
  EXPECT_EQ(json.get<LiveProcessIdentity>(), *here);

  const struct {
    const char* name;
    std::vector<std::string> arguments;
  } cases[] = {
      {"process identifier", {testing::korvelinPath(), "identity", "12" + title}},
      {"profile identifier", korvelin({"paths", clear})},
      {"profile identifier of run", korvelin({"run", title, "--", "/bin/true"})},
      {"--env assignment", korvelin({"run", "--env", clear, profile_, "--", "/bin/true"})},
      {"--base in an error", {testing::korvelinPath(), "--base", hostileBase, "check", profile_}},
      {"--base in output", {testing::korvelinPath(), "--base", hostileBase, "paths", profile_}},
      {"option value in a usage error", korvelin({"vless", "check", "x", "--port", clear})},
      {"unknown option", korvelin({"paths", profile_, "--" + title})},
      {"another process's arguments", arguments},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto result = testing::run(c.arguments);
    EXPECT_FALSE(result.output.empty() && result.errors.empty());
    EXPECT_EQ(firstControlIn(result.output), "") << result.output;
    EXPECT_EQ(firstControlIn(result.errors), "") << result.errors;
  }
}

// A process identifier that is not one, or names no process: one line.
TEST(CliTextTest, BadOrAbsentProcessesGetOneLineErrors) {
  const struct {
    std::vector<std::string> arguments;
    int exitCode;
  } cases[] = {
      {{"identity", "abc"}, 2}, {{"identity", "--", "-5"}, 2},
      {{"identity", "-5"}, 2},  {{"identity", "12x"}, 2},
      {{"identity", "0"}, 2},   {{"identity", "99999999999"}, 2},
      {{"identity", "1"}, 1},   {{"identity", "999999999"}, 1},
      {{"identity"}, 2},        {{"identity", "1", "--arguments", "--bogus"}, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments.back());
    const auto result = korvelin(c.arguments);
    EXPECT_EQ(result.exitCode, c.exitCode) << result.errors;
    EXPECT_EQ(result.output, "");
    EXPECT_THAT(result.errors, ::testing::MatchesRegex("korvelin: [^\n]+\n"));
  }
}

}  // namespace
}  // namespace korvelin
