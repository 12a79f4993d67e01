#include "core/profile/ProfileDiagnostics.h"

#include <arpa/inet.h>

#include <algorithm>

#include <nlohmann/json.hpp>

#include "core/base/CoreError.h"
#include "core/files/FilePath.h"
#include "core/files/FileSystemSecurity.h"
#include "core/process/ToolProcess.h"
#include "core/text/UnicodeText.h"
#include "core/text/Utf8.h"

namespace korvelin {
namespace {

using Kind = FileMetadata::Kind;

std::optional<FileMetadata> look(const std::string& path) {
  try {
    return SecureFileSystem::metadata(path);
  } catch (const KorvelinCoreError&) {
    return std::nullopt;
  }
}

DiagnosticCheck directories(const ProfilePaths& paths, const ProfilePreparer& preparer) {
  DiagnosticCheck check{"profileDirectories", DiagnosticStatus::fail, paths.root(), ""};
  try {
    preparer.validateBase(paths.baseDirectory());
  } catch (const KorvelinCoreError&) {
    check.detail = "The profile base is unsafe";
    return check;
  }
  const auto root = look(paths.root());
  if (!root) {
    check.status = DiagnosticStatus::pending;
    check.detail = "Profile is not prepared";
    return check;
  }
  try {
    SecureFileSystem::validateManagedHierarchy(paths);
  } catch (const KorvelinCoreError&) {
    check.detail = "A managed path is missing or unsafe";
    return check;
  }
  check.status = DiagnosticStatus::pass;
  check.detail = "All managed directories are private";
  return check;
}

}  // namespace

std::string_view rawValue(DiagnosticStatus status) {
  switch (status) {
    case DiagnosticStatus::pass:
      return "pass";
    case DiagnosticStatus::pending:
      return "pending";
    case DiagnosticStatus::fail:
      return "fail";
  }
  return {};
}

void to_json(nlohmann::json& json, const ProfileDiagnosticsReport& report) {
  json = {{"profileID", report.profileID.uppercaseString()}, {"checks", nlohmann::json::array()}};
  for (const auto& check : report.checks)
    json["checks"].push_back({{"identifier", check.identifier},
                              {"status", rawValue(check.status)},
                              {"path", check.path},
                              {"detail", check.detail}});
}

ProfileDiagnosticsReport ProfileDiagnostics::inspect(const ProfilePaths& paths,
                                                     const ProfilePreparer& preparer) {
  ProfileDiagnosticsReport report{paths.profileID(), {directories(paths, preparer)}};

  const std::string codexHome = appendingPathComponent(paths.home(), ".codex");
  DiagnosticCheck codex{"codexHome", DiagnosticStatus::pending, codexHome, "Not created yet"};
  if (auto found = look(codexHome)) {
    const bool directory = found->kind() == Kind::directory;
    codex.status = directory ? DiagnosticStatus::pass : DiagnosticStatus::fail;
    codex.detail = directory ? "Codex home present" : "Path is not a directory";
  }
  report.checks.push_back(codex);

  // Chromium's SingletonLock is a symbolic link: present is present.
  std::vector<std::string> found;
  for (const char* name : {"SingletonCookie", "SingletonLock", "SingletonSocket"})
    if (look(appendingPathComponent(paths.userData(), name)))
      found.emplace_back(name);
  DiagnosticCheck browser{"browserLock", DiagnosticStatus::pending, paths.userData(),
                          "No Chromium singleton artifacts yet"};
  if (!found.empty()) {
    browser.status = DiagnosticStatus::pass;
    browser.detail = "Present: ";
    for (std::size_t i = 0; i < found.size(); ++i)
      browser.detail += (i ? ", " : "") + found[i];
  }
  report.checks.push_back(browser);

  const std::string socket = appendingPathComponent(codexHome, "ipc/ipc.sock");
  DiagnosticCheck ipc{"codexIPC", DiagnosticStatus::pending, socket, "Not created yet"};
  if (auto entry = look(socket)) {
    const bool isSocket = entry->kind() == Kind::socket;
    ipc.status = isSocket ? DiagnosticStatus::pass : DiagnosticStatus::fail;
    ipc.detail = isSocket ? "Unix socket present" : "Path exists but is not a Unix socket";
  }
  report.checks.push_back(ipc);
  return report;
}

namespace {

std::string addressFrom(const std::string& output) {
  if (output.size() >= 65 || !isValidUtf8(output))
    throw KorvelinCoreError::proxyPreflightFailed();
  const std::string text(unicode::trimmed(output, unicode::Trim::whiteSpaceAndNewlines));
  unsigned char buffer[16];
  if (::inet_pton(AF_INET, text.c_str(), buffer) != 1 &&
      ::inet_pton(AF_INET6, text.c_str(), buffer) != 1)
    throw KorvelinCoreError::proxyPreflightFailed();
  return text;
}

std::vector<std::string> curlArguments(const std::optional<std::string>& proxy,
                                       const std::string& url) {
  std::vector<std::string> arguments = {
      "--fail", "--silent", "--show-error", "--connect-timeout", "5", "--max-time", "10"};
  if (proxy)
    arguments.insert(arguments.end(), {"--proxy", *proxy});
  else
    arguments.insert(arguments.end(), {"--noproxy", "*"});
  arguments.push_back(url);
  return arguments;
}

}  // namespace

std::string ProfileNetworkRouteProbe::defaultRunner(const std::vector<std::string>& arguments) {
  // No proxy variable of ours reaches curl: only what the arguments say.
  const auto result =
      runTool("/usr/bin/curl", arguments, {"PATH=/usr/bin:/bin"}, 65, std::chrono::seconds(15));
  if (result.exitCode != 0 || result.outputOverLimit)
    throw KorvelinCoreError::proxyPreflightFailed();
  return result.output;
}

std::string ProfileNetworkRouteProbe::probe(const ProfileProxyConfiguration& proxy) const {
  ProfileProxyConfiguration checked = proxy;
  try {
    checked = proxy.validated();
  } catch (const KorvelinCoreError&) {
    if (proxy.port == 0)
      throw KorvelinCoreError::invalidProxyConfiguration("Proxy port must be between 1 and 65535.");
    throw;
  }
  return addressFrom(run(curlArguments(checked.uri(), echoURL)));
}

std::string ProfileNetworkRouteProbe::probeDirect() const {
  return addressFrom(run(curlArguments(std::nullopt, echoURL)));
}

}  // namespace korvelin
