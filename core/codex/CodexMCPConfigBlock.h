#pragma once

// The managed MCP server block that Korvelin puts into a Codex profile's
// config.toml while the YouTrack gateway serves it, and the pure byte rules
// for adding and removing it. Nothing here touches a file.
//
//   # BEGIN KORVELIN MANAGED YOUTRACK MCP
//   # generation = <lower-case uuid>
//   [mcp_servers.korvelin_youtrack]
//   url = "http://127.0.0.1:<port>/mcp"
//   http_headers = { "X-Korvelin-Capability" = "<capability>" }
//   required = true
//   default_tools_approval_mode = "writes"
//   # END KORVELIN MANAGED YOUTRACK MCP

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/base/Uuid.h"

namespace korvelin::codexmcp {

inline constexpr std::string_view kBeginMarker = "# BEGIN KORVELIN MANAGED YOUTRACK MCP";
inline constexpr std::string_view kEndMarker = "# END KORVELIN MANAGED YOUTRACK MCP";
inline constexpr std::string_view kServerName = "korvelin_youtrack";
inline constexpr std::string_view kServerTable = "[mcp_servers.korvelin_youtrack]";
inline constexpr std::string_view kCapabilityHeader = "X-Korvelin-Capability";
// Every file read and every file written is at most this long.
inline constexpr std::size_t kMaxConfigBytes = 1024 * 1024;
inline constexpr std::size_t kMaxCapabilityBytes = 4096;

// Capabilities are tokens: 1 to 4096 characters of [A-Za-z0-9._~+/=-]. The
// block writes them verbatim inside a TOML string, so nothing that could end
// the string, the line or the block may be in one.
bool isValidCapability(std::string_view capability);

// The eight lines, without the line feeds before and after. The capability
// must be valid.
std::string managedBlock(const Uuid& generation, std::uint16_t port, std::string_view capability);

// `stripped` + "\n" + block + "\n": what install writes.
std::string addingManagedBlock(std::string_view stripped, std::string_view block);

// `bytes` without the managed block (and the one line feed on each side of
// it that the block owns). Unchanged when there is no marker. Throws
// `youTrackMCPConfigurationFailed` for more than 1 MiB, invalid UTF-8, marker
// counts that differ or exceed one, and an end before the begin.
std::string removingManagedBlock(std::string_view bytes);

// What a block in `bytes` says (for status). Absent without a well-formed block.
struct ManagedBlockSummary {
  std::optional<Uuid> generation;
  std::optional<std::uint16_t> port;
  bool operator==(const ManagedBlockSummary&) const = default;
};
std::optional<ManagedBlockSummary> summarizeManagedBlock(std::string_view bytes);

// True when `text` (a configuration without the managed block) may define an
// MCP server of the managed name in any TOML spelling: a table header, dotted
// or quoted keys (escapes included), an inline table. Conservative: any
// mention of the name counts.
bool definesManagedServer(std::string_view text);

}  // namespace korvelin::codexmcp
