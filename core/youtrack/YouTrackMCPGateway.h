#pragma once

// The per-run loopback gateway between a Codex profile and the YouTrack MCP
// endpoint. It listens on 127.0.0.1 at a port the system picks, admits only
// requests that present the run's capability, forwards a short list of MCP
// headers with the user's token added as a bearer credential, and streams
// the answer back (server-sent events included), one request per client
// connection. The token never reaches the profile's files or environment,
// and nothing here writes it anywhere but into the upstream request.
//
// Each client connection is served by a thread of its own (at most 16 at a
// time): it reads the request within its head and body limits, then drives
// the upstream exchange with libcurl, writing what arrives to the client
// before it asks for more, so a slow client slows the upstream down. A
// client that closes, sends more bytes, or the gateway stopping ends the
// upstream exchange at once.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "core/profile/ProfileProxyConfiguration.h"

namespace korvelin {

// Seconds.
struct YouTrackGatewayTiming {
  double header = 10;          // accepting a connection -> end of the request head
  double body = 30;            // end of the head -> request complete
  double responseHeader = 30;  // forwarding -> the upstream's response head
  double ordinaryIdle = 60;    // between upstream data of an ordinary response
  double sseIdle = 300;        // between upstream data of a "text/event-stream"
  double send = 30;            // one write to the client
  bool operator==(const YouTrackGatewayTiming&) const = default;
};

// Where and how the gateway reaches the upstream; shared by every request.
struct YouTrackGatewayUpstream {
  // An https URL whose path is "/mcp"; http is accepted only for a loopback
  // host (127.0.0.1, localhost, [::1]), where the token never leaves the machine.
  std::string url;
  // A PEM file trusted instead of the system's authorities (tests, private CAs).
  std::optional<std::string> certificateAuthorities;
};

// True for an upstream URL the gateway may send the token to (see above).
bool isAcceptableGatewayUpstream(const std::string& url);

class GatewayServer {
 public:
  static constexpr int kMaximumConnections = 16;

  // Requires http or socks5 for `proxy` (the supervisor checks it). Throws
  // `youTrackGatewayUnavailable` for an upstream URL the gateway refuses and
  // `invalidYouTrackToken` for a token that could not be one header line.
  GatewayServer(std::string capability,
                YouTrackGatewayUpstream upstream,
                std::string token,
                std::optional<ProfileProxyConfiguration> proxy,
                YouTrackGatewayTiming timing = {});
  ~GatewayServer();  // stops
  GatewayServer(const GatewayServer&) = delete;
  GatewayServer& operator=(const GatewayServer&) = delete;

  // Starts listening and returns the bound port; once. Throws
  // `youTrackGatewayUnavailable` when the listener cannot be had.
  std::uint16_t start();
  // Stops listening and ends every connection and upstream exchange;
  // returns when none is left. Idempotent.
  void stop();

  const std::string& capability() const;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace korvelin
