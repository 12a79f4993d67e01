#include "core/proxy/VLESSConnection.h"

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <initializer_list>
#include <map>

#include <nlohmann/json.hpp>

#include "core/base/CoreError.h"
#include "core/base/EnumNames.h"
#include "core/base/HexCoding.h"
#include "core/base/Iso8601Date.h"
#include "core/base/JsonSupport.h"
#include "core/text/UnicodeText.h"
#include "core/text/Utf8.h"

namespace korvelin {

namespace {

using nlohmann::json;

constexpr std::size_t kMaximumLinkBytes = 32768;
constexpr std::string_view kLinkPrefix = "vless://";
constexpr std::string_view kVisionFlow = "xtls-rprx-vision";
constexpr std::string_view kDefaultFingerprint = "chrome";
constexpr std::array<std::string_view, 8> kFingerprints = {
    "chrome", "firefox", "safari", "ios", "android", "edge", "random", "randomized"};
constexpr std::size_t kMaximumConnectionNameCharacters = 60;

// Every rejection is this one error: a finer reason would only invite
// printing parts of the link, and the link carries the user's credentials.
[[noreturn]] void reject() {
  throw KorvelinCoreError::invalidVLESSConfiguration();
}

void require(bool condition) {
  if (!condition)
    reject();
}

// --- Characters of a link (RFC 3986) --------------------------------------

bool isAsciiLetter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool isDigit(char c) {
  return c >= '0' && c <= '9';
}
bool isUnreserved(char c) {
  return isAsciiLetter(c) || isDigit(c) || c == '-' || c == '.' || c == '_' || c == '~';
}
bool isSubDelimiter(char c) {
  return std::string_view("!$&'()*+,;=").find(c) != std::string_view::npos;
}

// True when `part` consists of unreserved characters, sub-delimiters, the
// characters in `extra` and well-formed percent escapes. The grammar admits
// printable ASCII only, so a text that passes has no white space and no
// control characters anywhere.
bool isWellFormed(std::string_view part, std::string_view extra) {
  for (std::size_t i = 0; i < part.size(); ++i) {
    const char c = part[i];
    if (c == '%') {
      if (i + 2 >= part.size() || !isHexDigit(part[i + 1]) || !isHexDigit(part[i + 2]))
        return false;
      i += 2;
    } else if (!isUnreserved(c) && !isSubDelimiter(c) && extra.find(c) == std::string_view::npos) {
      return false;
    }
  }
  return true;
}

// Decodes the escapes of a well-formed part; the result must be UTF-8.
std::string decodedPart(std::string_view part) {
  auto result = percentDecoded(part);
  require(result && isValidUtf8(*result));
  return std::move(*result);
}

// --- Value rules ------------------------------------------------------------

bool isHostname(std::string_view text) {
  if (text.empty() || text.size() > 253 || text.back() == '.')
    return false;
  // Only letters, digits, "-" and "." pass below, so no white space can
  // survive to make trimming matter.
  std::size_t start = 0;
  for (;;) {
    const std::size_t dot = text.find('.', start);
    const std::string_view label = text.substr(start, dot - start);
    if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-')
      return false;
    for (char c : label)
      if (!isAsciiLetter(c) && !isDigit(c) && c != '-')
        return false;
    if (dot == std::string_view::npos)
      return true;
    start = dot + 1;
  }
}

bool isBase64URL(std::string_view text, std::size_t minimumBytes, std::size_t maximumBytes) {
  if (text.size() < minimumBytes || text.size() > maximumBytes)
    return false;
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return isAsciiLetter(c) || isDigit(c) || c == '-' || c == '_'; });
}

bool isServiceName(std::string_view text) {
  return !text.empty() && text.size() <= 1024 &&
         unicode::trimmed(text, unicode::Trim::whiteSpaceAndNewlines).size() == text.size() &&
         !unicode::containsControlCharacter(text);
}

bool isSupportedFingerprint(std::string_view text) {
  return std::find(kFingerprints.begin(), kFingerprints.end(), text) != kFingerprints.end();
}

// --- The link ---------------------------------------------------------------

// The syntactic pieces of "vless://USER@HOST:PORT?QUERY#FRAGMENT", each
// checked against its RFC 3986 grammar but not yet decoded or interpreted.
struct LinkParts {
  std::string_view user;
  std::string_view host;  // without the brackets of an IPv6 literal
  std::string_view portText;
  std::string_view query;
};

LinkParts splitLink(std::string_view uri) {
  require(!uri.empty() && uri.size() <= kMaximumLinkBytes);
  require(uri.substr(0, kLinkPrefix.size()) == kLinkPrefix);
  const std::string_view rest = uri.substr(kLinkPrefix.size());
  const std::size_t authorityEnd = std::min(rest.find_first_of("/?#"), rest.size());
  const std::string_view authority = rest.substr(0, authorityEnd);
  std::string_view tail = rest.substr(authorityEnd);

  LinkParts parts;
  // The user ends at the last "@"; userinfo may not contain "@" itself, and a
  // ":" would start a password, which a VLESS link never carries.
  const std::size_t at = authority.rfind('@');
  require(at != std::string_view::npos);
  parts.user = authority.substr(0, at);
  require(isWellFormed(parts.user, "") && parts.user.find(':') == std::string_view::npos);

  const std::string_view endpoint = authority.substr(at + 1);
  std::string_view afterHost;
  if (!endpoint.empty() && endpoint.front() == '[') {
    const std::size_t close = endpoint.find(']');
    require(close != std::string_view::npos);
    parts.host = endpoint.substr(1, close - 1);
    afterHost = endpoint.substr(close + 1);
    require(parts.host.find(':') != std::string_view::npos);  // brackets hold IPv6 only
  } else {
    const std::size_t colon = std::min(endpoint.find(':'), endpoint.size());
    parts.host = endpoint.substr(0, colon);
    afterHost = endpoint.substr(colon);
    // A registered name: no escapes (a decoded host would differ from the
    // text as written) and no brackets.
    require(std::all_of(parts.host.begin(), parts.host.end(),
                        [](char c) { return isUnreserved(c) || isSubDelimiter(c); }));
  }
  require(!parts.host.empty() && afterHost.size() > 1 && afterHost.front() == ':');
  parts.portText = afterHost.substr(1);
  require(std::all_of(parts.portText.begin(), parts.portText.end(), isDigit));

  // Nothing between the authority and the query: the path must be empty.
  require(tail.empty() || tail.front() != '/');
  std::string_view fragment;
  if (const std::size_t hash = tail.find('#'); hash != std::string_view::npos) {
    fragment = tail.substr(hash + 1);
    tail = tail.substr(0, hash);
  }
  if (!tail.empty())
    parts.query = tail.substr(1);  // drop the "?"
  // The fragment is a remark for people; it is checked for well-formedness
  // and otherwise ignored.
  require(isWellFormed(parts.query, ":@/?") && isWellFormed(fragment, ":@/?"));
  return parts;
}

std::uint16_t validatedPort(std::string_view text) {
  require(!text.empty() && text.size() <= 5);
  unsigned value = 0;
  for (char c : text)
    value = value * 10 + static_cast<unsigned>(c - '0');
  // "0443" names port 443 but is not how anyone writes it: refused.
  require(value >= 1 && value <= 65535 && std::to_string(value) == text);
  return static_cast<std::uint16_t>(value);
}

using QueryItems = std::map<std::string, std::string, std::less<>>;

QueryItems queryItems(std::string_view query) {
  QueryItems items;
  if (query.empty())
    return items;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = std::min(query.find('&', start), query.size());
    const std::string_view item = query.substr(start, end - start);
    const std::size_t equals = item.find('=');
    require(equals != std::string_view::npos);
    std::string name = decodedPart(item.substr(0, equals));
    require(!name.empty());
    require(items.emplace(std::move(name), decodedPart(item.substr(equals + 1))).second);
    if (end == query.size())
      return items;
    start = end + 1;
  }
}

const std::string* find(const QueryItems& items, std::string_view name) {
  auto it = items.find(name);
  return it == items.end() ? nullptr : &it->second;
}

std::optional<std::string> optionalItem(const QueryItems& items, std::string_view name) {
  if (const std::string* value = find(items, name))
    return *value;
  return std::nullopt;
}

const std::string& requiredItem(const QueryItems& items, std::string_view name) {
  const std::string* value = find(items, name);
  require(value != nullptr);
  return *value;
}

void requireOnlyNames(const QueryItems& items, std::initializer_list<std::string_view> allowed) {
  for (const auto& [name, value] : items)
    require(std::find(allowed.begin(), allowed.end(), name) != allowed.end());
}

// pbk and fp are required with REALITY; sid, spx and pqv are optional.
void readRealitySettings(const QueryItems& items, VLESSRealityConfiguration& configuration) {
  const std::string& publicKey = requiredItem(items, "pbk");
  require(isBase64URL(publicKey, 32, 64));
  configuration.publicKey = publicKey;
  configuration.fingerprint = requiredItem(items, "fp");
  require(isSupportedFingerprint(configuration.fingerprint));

  if (const std::string* shortID = find(items, "sid")) {
    require(shortID->size() <= 16 && shortID->size() % 2 == 0 &&
            std::all_of(shortID->begin(), shortID->end(), isHexDigit));
    configuration.shortID = unicode::lowercased(*shortID);
  }
  if (const std::string* spiderX = find(items, "spx")) {
    require(!spiderX->empty() && spiderX->front() == '/' && spiderX->size() <= 512);
    configuration.spiderX = *spiderX;
  }
  if (const std::string* verify = find(items, "pqv")) {
    require(isBase64URL(*verify, 64, 16384));
    configuration.mldsa65Verify = *verify;
  }
}

void readGrpcSettings(const QueryItems& items, VLESSRealityConfiguration& configuration) {
  const std::string& serviceName = requiredItem(items, "serviceName");
  require(isServiceName(serviceName));
  configuration.serviceName = serviceName;
  if (const std::string* mode = find(items, "mode"))
    require(*mode == "gun");
  if (const std::string* alpn = find(items, "alpn")) {
    require(*alpn == "h2");
    configuration.alpn = *alpn;
  }
  if (const std::string* authority = find(items, "authority")) {
    require(isHostname(*authority));
    configuration.authority = *authority;
  }
}

json oneElementList(const std::string& value) {
  return json::array({value});
}

}  // namespace

namespace {
constexpr EnumNames<VLESSConnectionTransport, 2> kTransportNames{{
    {VLESSConnectionTransport::realityTCP, "realityTCP"},
    {VLESSConnectionTransport::grpc, "grpc"},
}};
constexpr EnumNames<VLESSConnectionTransport, 2> kTransportDisplayNames{{
    {VLESSConnectionTransport::realityTCP, "VLESS (TCP + REALITY)"},
    {VLESSConnectionTransport::grpc, "VLESS (gRPC)"},
}};
constexpr EnumNames<VLESSTransportSecurity, 2> kSecurityNames{{
    {VLESSTransportSecurity::reality, "reality"},
    {VLESSTransportSecurity::tls, "tls"},
}};
}  // namespace

std::string_view rawValue(VLESSConnectionTransport transport) {
  return kTransportNames.name(transport);
}

std::string_view rawValue(VLESSTransportSecurity security) {
  return kSecurityNames.name(security);
}

std::string_view displayName(VLESSConnectionTransport transport) {
  return kTransportDisplayNames.name(transport);
}

std::string VLESSRealityConfiguration::validatedEndpointHost(std::string_view host) {
  require(!host.empty() && host.size() <= 253);
  require(std::all_of(host.begin(), host.end(), [](char c) { return c >= '!' && c <= '~'; }));
  const std::string text(host);
  char canonical[INET6_ADDRSTRLEN] = {};
  if (host.find(':') != std::string_view::npos) {
    in6_addr address;
    require(::inet_pton(AF_INET6, text.c_str(), &address) == 1);
    require(::inet_ntop(AF_INET6, &address, canonical, sizeof canonical) != nullptr);
    return unicode::lowercased(canonical);
  }
  if (std::all_of(host.begin(), host.end(), [](char c) { return isDigit(c) || c == '.'; })) {
    in_addr address;
    require(::inet_pton(AF_INET, text.c_str(), &address) == 1);
    require(::inet_ntop(AF_INET, &address, canonical, sizeof canonical) != nullptr);
    require(text == canonical);
    return text;
  }
  require(isHostname(host));
  return unicode::lowercased(host);
}

VLESSRealityConfiguration::VLESSRealityConfiguration(std::string_view uri) {
  const LinkParts parts = splitLink(uri);
  auto user = Uuid::parse(decodedPart(parts.user));
  require(user.has_value());
  id = *user;
  port = validatedPort(parts.portText);
  host = validatedEndpointHost(parts.host);

  const QueryItems items = queryItems(parts.query);
  if (const std::string* encryption = find(items, "encryption"))
    require(*encryption == "none");
  const std::string& type = requiredItem(items, "type");
  const std::string& securityName = requiredItem(items, "security");
  const std::string& sni = requiredItem(items, "sni");
  require(securityName == "tls" || securityName == "reality");
  require(isHostname(sni));
  serverName = unicode::lowercased(sni);

  if (type == "tcp" && securityName == "reality") {
    requireOnlyNames(
        items, {"encryption", "flow", "fp", "pbk", "pqv", "security", "sid", "sni", "spx", "type"});
    require(requiredItem(items, "flow") == kVisionFlow);
    transport = VLESSConnectionTransport::realityTCP;
    security = VLESSTransportSecurity::reality;
    readRealitySettings(items, *this);
  } else if (type == "grpc" && securityName == "tls") {
    requireOnlyNames(items, {"alpn", "authority", "encryption", "fp", "mode", "security",
                             "serviceName", "sni", "type"});
    transport = VLESSConnectionTransport::grpc;
    security = VLESSTransportSecurity::tls;
    readGrpcSettings(items, *this);
    fingerprint = optionalItem(items, "fp").value_or(std::string(kDefaultFingerprint));
    require(isSupportedFingerprint(fingerprint));
  } else if (type == "grpc") {
    requireOnlyNames(items, {"alpn", "authority", "encryption", "fp", "mode", "security",
                             "serviceName", "sni", "type", "pbk", "pqv", "sid", "spx"});
    transport = VLESSConnectionTransport::grpc;
    security = VLESSTransportSecurity::reality;
    readGrpcSettings(items, *this);
    readRealitySettings(items, *this);
  } else {
    reject();
  }
}

std::string VLESSRealityConfiguration::xrayJSON(std::uint16_t loopbackPort) const {
  const bool isReality = security == VLESSTransportSecurity::reality;
  const bool isGrpc = transport == VLESSConnectionTransport::grpc;
  require(!isReality || publicKey.has_value());
  require(!isGrpc || serviceName.has_value());

  json user = {{"id", id.lowercaseString()}, {"encryption", "none"}};
  if (!isGrpc)
    user["flow"] = kVisionFlow;

  json stream = {{"network", isGrpc ? "grpc" : "tcp"}, {"security", rawValue(security)}};
  if (isGrpc) {
    json grpc = {{"serviceName", *serviceName}, {"multiMode", false}};
    if (authority)
      grpc["authority"] = *authority;
    stream["grpcSettings"] = std::move(grpc);
  }
  json transportSecurity = {{"fingerprint", fingerprint}, {"serverName", serverName}};
  if (isReality) {
    transportSecurity["publicKey"] = *publicKey;
    if (shortID)
      transportSecurity["shortId"] = *shortID;
    if (spiderX)
      transportSecurity["spiderX"] = *spiderX;
    if (mldsa65Verify)
      transportSecurity["mldsa65Verify"] = *mldsa65Verify;
  }
  if (alpn)
    transportSecurity["alpn"] = oneElementList(*alpn);
  stream[isReality ? "realitySettings" : "tlsSettings"] = std::move(transportSecurity);

  json server = {{"address", host}, {"port", port}, {"users", json::array({std::move(user)})}};
  json outbound = {{"protocol", "vless"},
                   {"settings", {{"vnext", json::array({std::move(server)})}}},
                   {"streamSettings", std::move(stream)}};
  json inbound = {{"listen", "127.0.0.1"},
                  {"port", loopbackPort},
                  {"protocol", "socks"},
                  {"settings", {{"auth", "noauth"}, {"udp", false}}}};
  json configuration = {{"log", {{"loglevel", "warning"}}},
                        {"inbounds", json::array({std::move(inbound)})},
                        {"outbounds", json::array({std::move(outbound)})}};
  try {
    return configuration.dump();
  } catch (const json::exception&) {
    reject();  // a hand-built configuration holding text that is not UTF-8
  }
}

void to_json(json& out, const VLESSRealityConfiguration& configuration) {
  out = {{"id", configuration.id},
         {"host", configuration.host},
         {"port", configuration.port},
         {"transport", rawValue(configuration.transport)},
         {"security", rawValue(configuration.security)},
         {"serverName", configuration.serverName},
         {"fingerprint", configuration.fingerprint}};
  auto optional = [&](const char* key, const std::optional<std::string>& value) {
    if (value)
      out[key] = *value;
  };
  optional("publicKey", configuration.publicKey);
  optional("shortID", configuration.shortID);
  optional("spiderX", configuration.spiderX);
  optional("mldsa65Verify", configuration.mldsa65Verify);
  optional("serviceName", configuration.serviceName);
  optional("authority", configuration.authority);
  optional("alpn", configuration.alpn);
}

// --- Saved connections ------------------------------------------------------

VLESSConnection::VLESSConnection(Uuid id,
                                 std::string_view name,
                                 Date createdAt,
                                 Date updatedAt,
                                 VLESSConnectionTransport transport)
    : id(id),
      name(validatedName(name)),
      createdAt(createdAt),
      updatedAt(updatedAt),
      transport(transport) {}

std::string VLESSConnection::validatedName(std::string_view name) {
  if (!isValidUtf8(name))
    throw KorvelinCoreError::invalidProxyConnectionName();
  const std::string_view trimmed = unicode::trimmed(name, unicode::Trim::whiteSpaceAndNewlines);
  const std::size_t characters = unicode::characterCount(trimmed);
  if (characters < 1 || characters > kMaximumConnectionNameCharacters ||
      unicode::containsControlCharacter(trimmed))
    throw KorvelinCoreError::invalidProxyConnectionName();
  return std::string(trimmed);
}

void to_json(json& out, const VLESSConnection& connection) {
  out = {{"id", connection.id},
         {"name", connection.name},
         {"createdAt", iso8601String(connection.createdAt)},
         {"updatedAt", iso8601String(connection.updatedAt)}};
}

void from_json(const json& in, VLESSConnection& connection) {
  jsonio::requireExactKeys(in, {"id", "name", "createdAt", "updatedAt"});
  auto date = [&](std::string_view key) {
    auto parsed = parseIso8601(jsonio::requireString(in, key));
    if (!parsed)
      throw jsonio::ShapeError("\"" + std::string(key) + "\" is not an ISO 8601 date");
    return *parsed;
  };
  VLESSConnection result;
  result.id = in.at("id").get<Uuid>();
  try {
    result.name = VLESSConnection::validatedName(jsonio::requireString(in, "name"));
  } catch (const KorvelinCoreError&) {
    throw jsonio::ShapeError("invalid connection name");
  }
  result.createdAt = date("createdAt");
  result.updatedAt = date("updatedAt");
  connection = std::move(result);
}

}  // namespace korvelin
