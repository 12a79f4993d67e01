#include "core/profile/ProfileProxyConfiguration.h"

#include <arpa/inet.h>

#include <algorithm>

#include <nlohmann/json.hpp>

#include "core/base/CoreError.h"
#include "core/base/EnumNames.h"
#include "core/base/JsonSupport.h"
#include "core/text/UnicodeText.h"
#include "core/text/Utf8.h"

namespace korvelin {

namespace {

constexpr const char* kHostText = "Proxy host must be a valid ASCII hostname or IP address.";
constexpr const char* kPortText = "Proxy port must be between 1 and 65535.";
constexpr const char* kURIText = "Proxy must be written as scheme://host:port.";
constexpr std::size_t kMaximumPortDigits = 5;
constexpr std::size_t kMaximumHostBytes = 253;
constexpr std::size_t kMaximumLabelBytes = 63;

[[noreturn]] void refuseHost() {
  throw KorvelinCoreError::invalidProxyConfiguration(kHostText);
}

bool isAsciiLetterOrDigit(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

std::string lowercased(std::string_view text) {
  std::string result(text);
  std::transform(result.begin(), result.end(), result.begin(), [](char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  });
  return result;
}

std::string normalizedIPv6(const std::string& text) {
  if (text.find_first_of("%[]") != std::string::npos)
    refuseHost();
  in6_addr address{};
  if (::inet_pton(AF_INET6, text.c_str(), &address) != 1)
    refuseHost();
  char buffer[INET6_ADDRSTRLEN];
  if (!::inet_ntop(AF_INET6, &address, buffer, sizeof buffer))
    refuseHost();
  return lowercased(buffer);
}

std::string normalizedNameOrIPv4(const std::string& text) {
  // The system parser also takes shortened and octal forms ("1.2.3",
  // "010.0.0.1"); only the form it would print itself is accepted, so that
  // one address has one spelling.
  in_addr address{};
  if (::inet_aton(text.c_str(), &address) != 0) {
    char buffer[INET_ADDRSTRLEN];
    if (!::inet_ntop(AF_INET, &address, buffer, sizeof buffer) || text != buffer)
      refuseHost();
    return text;
  }
  if (text.find_first_not_of("0123456789.") == std::string::npos)
    refuseHost();
  if (text.back() == '.')
    refuseHost();

  std::string host = lowercased(text);
  std::size_t start = 0;
  while (true) {
    std::size_t end = host.find('.', start);
    std::string_view label(host.data() + start,
                           (end == std::string::npos ? host.size() : end) - start);
    if (label.empty() || label.size() > kMaximumLabelBytes || label.front() == '-' ||
        label.back() == '-' || !std::all_of(label.begin(), label.end(), [](char c) {
          return isAsciiLetterOrDigit(c) || c == '-';
        }))
      refuseHost();
    if (end == std::string::npos)
      break;
    start = end + 1;
  }
  return host;
}

std::uint16_t checkedPort(std::int64_t port) {
  if (port < 1 || port > 65535)
    throw KorvelinCoreError::invalidProxyConfiguration(kPortText);
  return static_cast<std::uint16_t>(port);
}

}  // namespace

namespace {
constexpr EnumNames<ProfileProxyScheme, 3> kSchemeNames{{
    {ProfileProxyScheme::http, "http"},
    {ProfileProxyScheme::https, "https"},
    {ProfileProxyScheme::socks5, "socks5"},
}};
}  // namespace

std::string_view rawValue(ProfileProxyScheme scheme) {
  return kSchemeNames.name(scheme);
}

std::optional<ProfileProxyScheme> profileProxySchemeFromRawValue(std::string_view text) {
  return kSchemeNames.value(text);
}

std::string ProfileProxyConfiguration::normalizedHost(std::string_view host) {
  if (!isValidUtf8(host))
    refuseHost();
  const std::string trimmed =
      std::string(unicode::trimmed(host, unicode::Trim::whiteSpaceAndNewlines));
  if (trimmed.empty() || trimmed.size() > kMaximumHostBytes)
    refuseHost();
  // Printable ASCII only: this also keeps NUL bytes away from the C parsers.
  if (!std::all_of(trimmed.begin(), trimmed.end(), [](char c) { return c >= 33 && c <= 126; }))
    refuseHost();
  return trimmed.find(':') == std::string::npos ? normalizedNameOrIPv4(trimmed)
                                                : normalizedIPv6(trimmed);
}

ProfileProxyConfiguration::ProfileProxyConfiguration(ProfileProxyScheme scheme,
                                                     std::string_view host,
                                                     std::int64_t port)
    : scheme(scheme), port(checkedPort(port)) {
  this->host = normalizedHost(host);
}

ProfileProxyConfiguration ProfileProxyConfiguration::validated() const {
  return ProfileProxyConfiguration(scheme, host, port);
}

ProfileProxyConfiguration ProfileProxyConfiguration::fromURI(std::string_view uri) {
  const auto refuse = [] { return KorvelinCoreError::invalidProxyConfiguration(kURIText); };
  const auto separator = uri.find("://");
  if (separator == std::string_view::npos)
    throw refuse();
  const auto scheme = profileProxySchemeFromRawValue(uri.substr(0, separator));
  if (!scheme)
    throw refuse();
  const std::string_view authority = uri.substr(separator + 3);
  std::string_view host, port;
  if (authority.starts_with('[')) {
    const auto close = authority.find(']');
    if (close == std::string_view::npos || authority.substr(close + 1, 1) != ":")
      throw refuse();
    host = authority.substr(1, close - 1);
    port = authority.substr(close + 2);
  } else {
    const auto colon = authority.rfind(':');
    if (colon == std::string_view::npos)
      throw refuse();
    host = authority.substr(0, colon);
    port = authority.substr(colon + 1);
  }
  if (port.empty() || port.size() > kMaximumPortDigits ||
      port.find_first_not_of("0123456789") != std::string_view::npos)
    throw refuse();
  return ProfileProxyConfiguration(*scheme, host, std::stoi(std::string(port)));
}

std::string ProfileProxyConfiguration::endpoint() const {
  std::string shownHost = host.find(':') == std::string::npos ? host : "[" + host + "]";
  return shownHost + ":" + std::to_string(port);
}

std::string ProfileProxyConfiguration::uri() const {
  return std::string(rawValue(scheme)) + "://" + endpoint();
}

void to_json(nlohmann::json& json, const ProfileProxyConfiguration& proxy) {
  json = nlohmann::json{
      {"scheme", rawValue(proxy.scheme)}, {"host", proxy.host}, {"port", proxy.port}};
}

ProfileProxyConfiguration profileProxyConfigurationFromJSON(const nlohmann::json& json) {
  try {
    auto scheme = profileProxySchemeFromRawValue(jsonio::requireString(json, "scheme"));
    if (!scheme)
      throw jsonio::ShapeError("unknown scheme");
    return ProfileProxyConfiguration(*scheme, jsonio::requireString(json, "host"),
                                     jsonio::requireInteger<std::int64_t>(json, "port"));
  } catch (const jsonio::ShapeError&) {
  } catch (const KorvelinCoreError&) {
  }
  throw jsonio::ShapeError("Invalid proxy configuration.");
}

}  // namespace korvelin
