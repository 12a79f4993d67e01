#pragma once

// Puts the managed MCP server block into a Codex profile's config.toml while
// the YouTrack gateway serves the profile, takes it out again afterwards, and
// rolls back whatever a crash interrupted. The file is the user's as much as
// ours, so every change is one transaction inside the profile's ".codex":
//
//   1. the new content goes into ".korvelin-config-<uuid>.tmp" (fsync);
//   2. a journal naming the prior and the new file (identity and SHA-256) is
//      published as ".korvelin-youtrack-config-transaction.json";
//   3. the temporary file is exchanged with config.toml (or hard-linked as it
//      when there was none), then checked, and the journal removed.
//
// The next install, remove or reconcile of the profile rolls an interrupted
// transaction back to the prior bytes (never forward: its caller got no
// receipt) and sweeps temporary files no journal names. Every failure is
// `youTrackMCPConfigurationFailed`.

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/Uuid.h"
#include "core/codex/CodexMCPConfigBlock.h"

namespace korvelin {

class ProfilePaths;

// What an install leaves for the matching remove.
struct CodexMCPConfigReceipt {
  Uuid generation;
  std::string installedBytes;  // config.toml exactly as installed

  bool operator==(const CodexMCPConfigReceipt&) const = default;
};

// A read-only look at a profile's Codex configuration.
struct CodexMCPConfigStatus {
  bool codexHomeExists = false;
  bool configExists = false;
  std::size_t configBytes = 0;
  // The managed block, when config.toml holds exactly one well-formed block.
  std::optional<codexmcp::ManagedBlockSummary> block;
  // Why the block cannot be removed as it stands ("invalid managed markers"),
  // empty when it can.
  std::string markerProblem;
  // The managed server's name is defined outside any block (by the user, or
  // by a program that rewrote the file and dropped the markers).
  bool serverOutsideBlock = false;
  // An interrupted transaction waits for rollback.
  bool journalPending = false;
  // Temporary, staging and quarantine files present, by name.
  std::vector<std::string> leftovers;

  bool operator==(const CodexMCPConfigStatus&) const = default;
};

class CodexMCPConfigProvisioner {
 public:
  // Called with a fault point's name at each step a crash could interrupt;
  // throwing ends the operation there, leaving the files as a crash would.
  using FaultHook = std::function<void(std::string_view point)>;

  static constexpr std::string_view kCodexDirectoryName = ".codex";
  static constexpr std::string_view kConfigName = "config.toml";
  static constexpr std::string_view kJournalName = ".korvelin-youtrack-config-transaction.json";
  static constexpr std::string_view kTempPrefix = ".korvelin-config-";
  static constexpr std::string_view kStagingPrefix = ".korvelin-journal-";
  static constexpr std::string_view kRecoveryPrefix = ".korvelin-recovery-";

  CodexMCPConfigProvisioner() = default;
  explicit CodexMCPConfigProvisioner(FaultHook fault) : fault_(std::move(fault)) {}

  // Adds the block (replacing one left behind) to config.toml in the
  // profile's ".codex", creating the directory when it is missing.
  CodexMCPConfigReceipt install(const ProfilePaths& paths,
                                const Uuid& generation,
                                std::uint16_t port,
                                std::string_view capability);

  // Takes the block out again. Refused, changing nothing, when config.toml
  // no longer holds exactly the receipt's bytes.
  void remove(const ProfilePaths& paths, const CodexMCPConfigReceipt& receipt);

  // Rolls back an interrupted transaction and removes any block left behind.
  // Does nothing for a profile without a home or ".codex".
  void reconcile(const ProfilePaths& paths);

  // Reads without changing anything (no rollback, no repair).
  CodexMCPConfigStatus status(const ProfilePaths& paths);

  // The receipt config.toml stands for as it is now, when it holds one
  // well-formed block: for a remove by a caller that kept only the
  // generation. Read-only.
  std::optional<CodexMCPConfigReceipt> currentReceipt(const ProfilePaths& paths);

 private:
  CodexMCPConfigReceipt installLocked(const ProfilePaths& paths,
                                      const Uuid& generation,
                                      std::uint16_t port,
                                      std::string_view capability);
  void removeLocked(const ProfilePaths& paths, const CodexMCPConfigReceipt& receipt);
  void reconcileLocked(const ProfilePaths& paths);

  std::mutex lock_;
  FaultHook fault_;
};

}  // namespace korvelin
