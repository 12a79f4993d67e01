// Writes one of the base's private stores over and over until it is killed,
// for tests that kill a writer in the middle of its writes:
//   store-writer token BASE      the YouTrack token: 8000 bytes of one letter,
//                                the next letter each time
//   store-writer approvals BASE  Codex approvals of builds 1 to 40 in turn
// Prints "writing" once the first write is done; exits 1 with the error on
// standard error when a write fails.

#include <iostream>
#include <string>

#include "core/apps/CodexCompatibilityApprovalStore.h"
#include "core/base/CoreError.h"
#include "core/youtrack/YouTrackCredentialStore.h"

int main(int argc, char** argv) {
  using namespace korvelin;
  if (argc != 3)
    return 2;
  const std::string what = argv[1], base = argv[2];
  YouTrackFileCredentialStore tokens(base);
  CodexCompatibilityApprovalStore approvals(base, ProfilePreparer(base + "/default"));
  CodexInstallation codex;
  codex.bundleIdentifier = "com.openai.codex";
  codex.marketingVersion = "26.903.61454";
  codex.signingTeamIdentifier = "2DC432GLL2";
  codex.codeDirectoryHash = "ab12";
  try {
    for (unsigned long i = 0;; ++i) {
      if (what == "token") {
        tokens.storeToken(std::string(8000, static_cast<char>('a' + i % 26)));
      } else {
        codex.buildVersion = std::to_string(1 + i % 40);
        approvals.approve(codex);
      }
      if (i == 0)
        std::cout << "writing" << std::endl;
    }
  } catch (const KorvelinCoreError& e) {
    std::cerr << e.what() << std::endl;
    return 1;
  }
}
