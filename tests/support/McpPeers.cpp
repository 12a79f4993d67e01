#include "tests/support/McpPeers.h"

#include <stdexcept>

#include "tests/support/FileTreeHelpers.h"
#include "tests/support/RealXray.h"
#include "tests/support/ServicesSupport.h"

namespace korvelin::testing {

static std::string script(const std::string& name) {
  return KORVELIN_SOURCE_DIR "/tests/support/mcp/" + name;
}

std::optional<std::string> realMcpPythonPath(std::string& reason) {
  return cachedPeerPath("mcp", KORVELIN_MCP_VERSION, reason);
}

McpUpstream::McpUpstream(const std::string& python, const std::string& token, bool tls)
    : tls_(tls) {
  std::vector<std::string> argv = {
      python, script("upstream_server.py"), "--directory", directory_.path(), "--token", token};
  if (!tls)
    argv.push_back("--plain");
  process_ = std::make_unique<Subprocess>(argv);
  if (!process_->waitForOutput("\n", std::chrono::seconds(30)) ||
      !process_->output().starts_with("READY "))
    throw std::runtime_error("the MCP upstream did not start: " + process_->errors());
  port_ = static_cast<std::uint16_t>(std::stoi(process_->output().substr(6)));
}

std::string McpUpstream::url() const {
  return (tls_ ? "https" : "http") + std::string("://127.0.0.1:") + std::to_string(port_) + "/mcp";
}

std::vector<nlohmann::json> McpUpstream::requests() const {
  std::vector<nlohmann::json> requests;
  for (const auto& line : linesOf(readText(directory_.child("requests.jsonl"))))
    requests.push_back(nlohmann::json::parse(line));
  return requests;
}

nlohmann::json runMcpSession(const std::string& python,
                             const std::string& url,
                             const McpSessionOptions& options) {
  std::vector<std::string> argv = {python,    script("session_client.py"),  "--url", url,
                                   "--calls", std::to_string(options.calls)};
  for (const auto& header : options.headers) {
    argv.push_back("--header");
    argv.push_back(header);
  }
  if (options.certificateAuthority) {
    argv.push_back("--ca");
    argv.push_back(*options.certificateAuthority);
  }
  Subprocess client(argv);
  const auto status = client.wait(std::chrono::seconds(120));
  if (!status || *status != 0)
    throw std::runtime_error("the MCP session failed: " + client.errors());
  return nlohmann::json::parse(client.output());
}

}  // namespace korvelin::testing
