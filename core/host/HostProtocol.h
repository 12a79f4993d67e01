#pragma once

// The control protocol of the host: one request per connection, a single
// line of JSON, answered by one or more lines of JSON. Both directions are
// bounded; a request that is not exactly one of the shapes below is refused
// with one line saying why, and nothing is done.
//
//   {"operation": "ps"}
//   {"operation": "run", "profile": UUID, "program": "/abs/path",
//    "arguments": [...], "environment": {...}, "wait": bool}
//   {"operation": "stop", "profile": UUID, "timeout": seconds}
//   {"operation": "proxyStart", "profile": UUID, "link": LINK,
//    ["connection": UUID], "engine": PATH, "guardian": PATH, "probeURL": URL}
//   {"operation": "proxyStop", "profile": UUID}
//   {"operation": "lease"}: the host's open lock file, passed with one byte
//    (no JSON reply), so that a command that changes files of the base works
//    under the host's single-instance lease
//   {"operation": "launch", "profile": UUID, "engine": PATH or "",
//    "guardian": PATH or "", "probeURL": URL, "browserShim": PATH or "",
//    "wait": bool}

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "core/base/Uuid.h"

namespace korvelin {

// A request line, its line feed included, and a reply line.
inline constexpr std::size_t kMaxHostRequestBytes = 65536;
inline constexpr std::size_t kMaxHostReplyBytes = 1 << 20;
inline constexpr std::size_t kMaxHostArguments = 1024;
inline constexpr std::size_t kMaxHostEnvironment = 256;

enum class HostOperation { ps, run, stop, proxyStart, proxyStop, launch, lease };

struct HostRequest {
  HostOperation operation = HostOperation::ps;
  Uuid profileID;  // every operation but ps
  // run
  std::string program;  // absolute path
  std::vector<std::string> arguments;
  std::map<std::string, std::string> environment;
  bool wait = false;  // run, launch: keep the connection and report the run's end
  // stop
  double timeout = 10;
  // proxyStart (and launch: the tools, whose paths may then be empty)
  std::string link;
  std::optional<Uuid> connectionID;
  std::string engine;
  std::string guardian;
  std::string probeURL;
  // launch: the browser program a Claude profile is given ("": none)
  std::string browserShim;

  bool operator==(const HostRequest&) const = default;
};

// The request, or the one-line reason it was refused. `line` excludes the
// terminating line feed.
std::variant<HostRequest, std::string> parseHostRequest(std::string_view line);

// The JSON of a request (what the client sends); the parser accepts exactly
// what this writes.
nlohmann::json encodeHostRequest(const HostRequest& request);

// Reply lines: {"event": NAME, ...}. A refusal is {"event": "error",
// "message": English text, "code": the library error's code or "host"}.
nlohmann::json hostErrorReply(std::string_view message, std::string_view code = "host");

}  // namespace korvelin
