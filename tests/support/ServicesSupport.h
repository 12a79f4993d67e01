#pragma once

// Small helpers the service tests share: the client end of a TCP connection
// on loopback, for the servers the services run (the demo's echo server, the
// YouTrack gateway), and the lines of what a peer wrote.

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/platform/ScopedFD.h"

namespace korvelin::testing {

// A connection to 127.0.0.1:`port`.
platform::ScopedFD connectTo(std::uint16_t port);

// Everything the peer writes until it closes, with "<open>" appended when it
// is still open after `limit`.
std::string readToEnd(int fd, std::chrono::milliseconds limit = std::chrono::seconds(10));

// Sends all of `bytes` unless the peer goes away (no SIGPIPE).
void sendAll(int fd, const std::string& bytes);

// Connects, sends `bytes` (then ends the sending side when `halfClose`) and
// reads to the end.
std::string roundTrip(std::uint16_t port, const std::string& bytes, bool halfClose = false);

// The lines of `text`, without their line feeds.
std::vector<std::string> linesOf(const std::string& text);

// The JSON objects among the lines of `text`, in order.
std::vector<nlohmann::json> jsonLines(const std::string& text);

}  // namespace korvelin::testing
