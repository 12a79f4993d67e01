// codex-mcp-churn BASE PROFILE-UUID
// Installs and removes the managed MCP block in a loop until killed, the way
// a host does around each run of a Codex profile. A failure prints its
// description and exits 3: only a kill may end this program.

#include <cstdio>
#include <string>

#include "core/base/CoreError.h"
#include "core/codex/CodexMCPConfigProvisioner.h"
#include "core/profile/ProfilePaths.h"

int main(int argc, char** argv) {
  if (argc != 3)
    return 2;
  const auto id = korvelin::Uuid::parse(argv[2]);
  if (!id)
    return 2;
  const korvelin::ProfilePaths paths(*id, argv[1]);
  korvelin::CodexMCPConfigProvisioner provisioner;
  try {
    for (unsigned port = 20000;; port = port == 60000 ? 20000 : port + 1) {
      const auto receipt = provisioner.install(
          paths, korvelin::Uuid::random(), static_cast<std::uint16_t>(port), "churn-capability");
      provisioner.remove(paths, receipt);
    }
  } catch (const korvelin::KorvelinCoreError& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 3;
  }
}
