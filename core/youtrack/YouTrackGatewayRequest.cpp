#include "core/youtrack/YouTrackGatewayRequest.h"

#include <optional>
#include <vector>

#include "core/text/Utf8.h"

namespace korvelin {

namespace {

constexpr std::string_view kTerminator = "\r\n\r\n";

std::vector<std::string_view> split(std::string_view text, std::string_view separator) {
  std::vector<std::string_view> parts;
  for (;;) {
    const auto at = text.find(separator);
    parts.push_back(text.substr(0, at));
    if (at == std::string_view::npos)
      return parts;
    text.remove_prefix(at + separator.size());
  }
}

std::string lowercased(std::string_view text) {
  std::string result(text);
  for (char& c : result)
    if (c >= 'A' && c <= 'Z')
      c = static_cast<char>(c - 'A' + 'a');
  return result;
}

// Only decimal digits, at most the body limit.
std::optional<std::size_t> contentLength(std::string_view text) {
  if (text.empty() || text.size() > 7)
    return std::nullopt;
  std::size_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9')
      return std::nullopt;
    value = value * 10 + static_cast<std::size_t>(c - '0');
  }
  if (value > kGatewayMaximumBody)
    return std::nullopt;
  return value;
}

bool hasBareLineFeed(std::string_view bytes) {
  for (std::size_t at = bytes.find('\n'); at != std::string_view::npos;
       at = bytes.find('\n', at + 1))
    if (at == 0 || bytes[at - 1] != '\r')
      return true;
  return false;
}

}  // namespace

ParseResult parseGatewayRequest(std::string_view received, std::string_view capability) {
  if (hasBareLineFeed(received))
    return ParseFailure{400};
  const auto end = received.find(kTerminator);
  if (end == std::string_view::npos)
    return received.size() > kGatewayMaximumHead ? ParseResult(ParseFailure{431})
                                                 : ParseResult(ParseIncomplete{});
  if (end > kGatewayMaximumHead)
    return ParseFailure{400};
  const std::string_view head = received.substr(0, end);
  if (!isValidUtf8(head))
    return ParseFailure{400};
  const auto lines = split(head, "\r\n");

  const auto requestLine = split(lines.front(), " ");
  if (requestLine.size() != 3 || requestLine[2] != "HTTP/1.1")
    return ParseFailure{400};
  HTTPRequest request;
  request.method = requestLine[0];
  request.target = requestLine[1];
  if (request.method != "GET" && request.method != "POST" && request.method != "DELETE")
    return ParseFailure{405};
  if (request.target != "/mcp")
    return ParseFailure{404};

  for (std::size_t i = 1; i < lines.size(); ++i) {
    const std::string_view line = lines[i];
    if (!line.empty() && (line.front() == ' ' || line.front() == '\t'))
      return ParseFailure{400};
    const auto colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0)
      return ParseFailure{400};
    auto [_, inserted] = request.headers.emplace(lowercased(line.substr(0, colon)),
                                                 trimmedHeaderValue(line.substr(colon + 1)));
    if (!inserted)
      return ParseFailure{400};
  }
  if (request.headers.contains("transfer-encoding"))
    return ParseFailure{400};
  std::size_t length = 0;
  if (const auto found = request.headers.find("content-length"); found != request.headers.end()) {
    const auto parsed = contentLength(found->second);
    if (!parsed)
      return ParseFailure{413};
    length = *parsed;
  }
  const std::size_t complete = end + kTerminator.size() + length;
  if (received.size() < complete)
    return ParseIncomplete{};
  if (received.size() > complete)
    return ParseFailure{400};
  const auto presented = request.headers.find(std::string(kGatewayCapabilityHeader));
  if (presented == request.headers.end() || !constantTimeEqual(presented->second, capability))
    return ParseFailure{401};
  request.body = received.substr(end + kTerminator.size());
  return request;
}

std::string_view trimmedHeaderValue(std::string_view text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos)
    return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

bool constantTimeEqual(std::string_view a, std::string_view b) {
  const std::size_t length = std::max(a.size(), b.size());
  volatile unsigned char difference = a.size() != b.size() ? 1 : 0;
  for (std::size_t i = 0; i < length; ++i) {
    const unsigned char x = i < a.size() ? static_cast<unsigned char>(a[i]) : 0;
    const unsigned char y = i < b.size() ? static_cast<unsigned char>(b[i]) : 0;
    difference = difference | static_cast<unsigned char>(x ^ y);
  }
  return difference == 0;
}

std::string gatewayErrorResponse(int status) {
  std::string_view reason = "Bad Gateway";
  switch (status) {
    case 400:
      reason = "Bad Request";
      break;
    case 401:
      reason = "Unauthorized";
      break;
    case 404:
      reason = "Not Found";
      break;
    case 405:
      reason = "Method Not Allowed";
      break;
    case 413:
      reason = "Payload Too Large";
      break;
    case 431:
      reason = "Request Header Fields Too Large";
      break;
    default:
      status = 502;
  }
  return "HTTP/1.1 " + std::to_string(status) + " " + std::string(reason) +
         "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
}

std::string_view httpReasonPhrase(long status) {
  switch (status) {
    case 100:
      return "Continue";
    case 101:
      return "Switching Protocols";
    case 200:
      return "OK";
    case 201:
      return "Created";
    case 202:
      return "Accepted";
    case 203:
      return "Non-Authoritative Information";
    case 204:
      return "No Content";
    case 205:
      return "Reset Content";
    case 206:
      return "Partial Content";
    case 300:
      return "Multiple Choices";
    case 301:
      return "Moved Permanently";
    case 302:
      return "Found";
    case 303:
      return "See Other";
    case 304:
      return "Not Modified";
    case 307:
      return "Temporary Redirect";
    case 308:
      return "Permanent Redirect";
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 402:
      return "Payment Required";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 406:
      return "Not Acceptable";
    case 408:
      return "Request Timeout";
    case 409:
      return "Conflict";
    case 410:
      return "Gone";
    case 411:
      return "Length Required";
    case 412:
      return "Precondition Failed";
    case 413:
      return "Payload Too Large";
    case 415:
      return "Unsupported Media Type";
    case 422:
      return "Unprocessable Content";
    case 429:
      return "Too Many Requests";
    case 431:
      return "Request Header Fields Too Large";
    case 500:
      return "Internal Server Error";
    case 501:
      return "Not Implemented";
    case 502:
      return "Bad Gateway";
    case 503:
      return "Service Unavailable";
    case 504:
      return "Gateway Timeout";
    default:
      return "Unknown";
  }
}

}  // namespace korvelin
