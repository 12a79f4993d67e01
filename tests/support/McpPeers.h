#pragma once

// The MCP SDK as a test peer (the Python `mcp` package that scripts/bootstrap
// installs in a virtual environment of its own): a stand-in for the YouTrack
// MCP endpoint that requires a bearer token and records what it receives,
// and a client session, both small scripts in tests/support/mcp/.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"

namespace korvelin::testing {

// The environment's Python launcher; absent with the reason to skip.
std::optional<std::string> realMcpPythonPath(std::string& reason);

class McpUpstream {
 public:
  // Serves /mcp over TLS with a CA of its own, or plain HTTP.
  McpUpstream(const std::string& python, const std::string& token, bool tls = true);
  std::uint16_t port() const { return port_; }
  std::string url() const;
  // The CA that signed its certificate (TLS only).
  std::string certificateAuthority() const { return directory_.child("ca.pem"); }
  // Every request so far: {"method", "path", "client", "headers"}.
  std::vector<nlohmann::json> requests() const;

 private:
  ScopedTempDir directory_;
  bool tls_;
  std::uint16_t port_ = 0;
  std::unique_ptr<Subprocess> process_;
};

struct McpSessionOptions {
  std::vector<std::string> headers;  // "Name=value"
  std::optional<std::string> certificateAuthority;
  int calls = 0;
};

// One session (initialize, list tools, `calls` tool calls, close) against
// `url`: {"tools", "calls", "latencies", "responseHeaders"}. Throws with the
// client's errors when it fails.
nlohmann::json runMcpSession(const std::string& python,
                             const std::string& url,
                             const McpSessionOptions& options);

}  // namespace korvelin::testing
