#include "tests/support/CatalogFixtures.h"

#include <sys/stat.h>

#include "core/files/FilePath.h"

namespace korvelin::testing {

CodexInstallation chromeInstallation() {
  CodexInstallation installation;
  installation.bundleURL = "file:///Applications/Google%20Chrome.app/";
  installation.displayName = "Chrome";
  installation.bundleIdentifier = "com.google.Chrome";
  installation.marketingVersion = "131.0";
  installation.buildVersion = "131.0.1";
  installation.executableURL =
      "file:///Applications/Google%20Chrome.app/Contents/MacOS/Google%20Chrome";
  installation.backendURL = installation.executableURL;
  installation.architectures = {"arm64"};
  installation.signingTeamIdentifier = "EQHXZ8M8AV";
  installation.codeDirectoryHash = "00ff";
  installation.executableIdentity = {1, 2, 3, 4};
  installation.backendIdentity = installation.executableIdentity;
  return installation;
}

CodexInstallation codexInstallation(const std::string& backendPath) {
  CodexInstallation installation = chromeInstallation();
  installation.bundleURL = "file:///Applications/ChatGPT.app/";
  installation.displayName = "Codex";
  installation.bundleIdentifier = "com.openai.codex";
  installation.marketingVersion = "26.903.61454";
  installation.buildVersion = "8378";
  installation.executableURL = "file:///Applications/ChatGPT.app/Contents/MacOS/ChatGPT";
  installation.backendURL = fileURLString(backendPath, false);
  installation.signingTeamIdentifier = "2DC432GLL2";
  struct stat info;
  if (::lstat(backendPath.c_str(), &info) == 0)
    installation.backendIdentity = FileIdentity::of(info);
  return installation;
}

CodexInstallation claudeInstallation() {
  auto installation = chromeInstallation();
  installation.bundleURL = "file:///Applications/Claude.app/";
  installation.displayName = "Claude";
  installation.bundleIdentifier = "com.anthropic.claudefordesktop";
  installation.executableURL = "file:///Applications/Claude.app/Contents/MacOS/Claude";
  installation.backendURL = installation.executableURL;
  installation.signingTeamIdentifier = "Q6L2SF6YDW";
  return installation;
}

}  // namespace korvelin::testing
