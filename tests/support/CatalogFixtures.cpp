#include "tests/support/CatalogFixtures.h"

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

}  // namespace korvelin::testing
