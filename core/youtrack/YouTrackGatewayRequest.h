#pragma once

// The loopback gateway's HTTP/1.1 dialect: one request per connection, read
// whole before anything is forwarded. The order of the checks in
// `parseGatewayRequest` decides which status a malformed request gets.

#include <cstddef>
#include <map>
#include <string>
#include <string_view>
#include <variant>

namespace korvelin {

struct HTTPRequest {
  std::string method;
  std::string target;
  std::map<std::string, std::string> headers;  // lower-case name -> trimmed value
  std::string body;

  bool operator==(const HTTPRequest&) const = default;
};

// What the bytes received so far amount to: a status to refuse with, a
// complete request, or a request still arriving.
struct ParseFailure {
  int status;
  bool operator==(const ParseFailure&) const = default;
};
struct ParseIncomplete {
  bool operator==(const ParseIncomplete&) const = default;
};
using ParseResult = std::variant<ParseFailure, HTTPRequest, ParseIncomplete>;

inline constexpr std::size_t kGatewayMaximumHead = 32768;
inline constexpr std::size_t kGatewayMaximumBody = 4194304;
// A connection that has sent more than this is answered 413 at once.
inline constexpr std::size_t kGatewayMaximumRequest = kGatewayMaximumBody + kGatewayMaximumHead;
inline constexpr std::string_view kGatewayCapabilityHeader = "x-korvelin-capability";

ParseResult parseGatewayRequest(std::string_view received, std::string_view capability);

// Equal only when both have the same length and the same bytes; takes the
// same time for every pair of the same longer length (no early exit).
bool constantTimeEqual(std::string_view a, std::string_view b);

// A header value without the spaces and tabs around it.
std::string_view trimmedHeaderValue(std::string_view text);

// The whole answer the gateway gives a request it refuses.
std::string gatewayErrorResponse(int status);

// The standard reason phrase of an HTTP status ("OK", "Found", ...), or
// "Unknown" for a code without one.
std::string_view httpReasonPhrase(long status);

}  // namespace korvelin
