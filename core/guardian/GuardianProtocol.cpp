#include "core/guardian/GuardianProtocol.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/base/Base64.h"
#include "core/base/CoreError.h"
#include "core/base/EnumNames.h"
#include "core/base/HexCoding.h"
#include "core/base/JsonSupport.h"
#include "core/base/SameSecret.h"
#include "core/platform/Eintr.h"
#include "core/platform/LocalSocket.h"
#include "core/text/Utf8.h"

namespace korvelin {

namespace {

using platform::retryOnEintr;

constexpr int kPollSliceMilliseconds = 25;
constexpr short kFailureEvents = POLLERR | POLLHUP | POLLNVAL;

double systemUptime() {
  using Seconds = std::chrono::duration<double>;
  return std::chrono::duration_cast<Seconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

[[noreturn]] void disconnected() {
  throw KorvelinCoreError::proxyDisconnected();
}

// proxyDisconnected carries no detail; this lets JSON decoding report it.
KorvelinCoreError disconnectedAfter(std::string) {
  return KorvelinCoreError::proxyDisconnected();
}

// The pieces of a request line: split at spaces, empty pieces dropped.
std::vector<std::string_view> requestPieces(std::string_view line) {
  std::vector<std::string_view> pieces;
  while (!line.empty()) {
    auto space = line.find(' ');
    auto piece = line.substr(0, space);
    if (!piece.empty())
      pieces.push_back(piece);
    if (space == std::string_view::npos)
      break;
    line.remove_prefix(space + 1);
  }
  return pieces;
}

}  // namespace

void GuardianProtocol::ready(int fd, short events, double deadline) {
  for (double now = systemUptime(); now < deadline; now = systemUptime()) {
    const int slice =
        std::min(kPollSliceMilliseconds, static_cast<int>(std::ceil((deadline - now) * 1000)));
    pollfd entry{fd, events, 0};
    const int count = retryOnEintr([&] { return ::poll(&entry, 1, slice); });
    if (count < 0)
      disconnected();
    if (count == 0)
      continue;
    if (entry.revents & events)
      return;
    if (entry.revents & kFailureEvents)
      disconnected();
  }
  disconnected();
}

std::string GuardianProtocol::readLine(int fd, double timeout, int limit, double byteTimeout) {
  const double deadline = systemUptime() + timeout;
  if (limit <= 0)
    disconnected();
  const auto capacity = static_cast<std::size_t>(limit);
  std::string line;
  for (;;) {
    // Wait before every byte, never read first: on a descriptor that blocks
    // after all, a read would outlast the deadline, and a peer that keeps
    // bytes coming could stretch the line past it.
    ready(fd, POLLIN, std::min(deadline, systemUptime() + byteTimeout));
    char byte;
    const ssize_t count = retryOnEintr([&] { return ::read(fd, &byte, 1); });
    if (count == 0)
      disconnected();
    if (count < 0) {
      if (errno != EAGAIN && errno != EWOULDBLOCK)
        disconnected();
      continue;
    }
    if (byte == '\n') {
      if (!isValidUtf8(line))
        disconnected();
      return line;
    }
    line.push_back(byte);
    if (line.size() >= capacity)
      disconnected();
  }
}

void GuardianProtocol::writeLine(std::string_view line, int fd, double timeout) {
  std::string bytes;
  bytes.reserve(line.size() + 1);
  bytes.append(line).push_back('\n');
  if (bytes.size() > kMaxWrittenBytes)
    disconnected();
  const double deadline = systemUptime() + timeout;
  std::size_t offset = 0;
  while (offset < bytes.size()) {
    ready(fd, POLLOUT, deadline);
    const ssize_t count = retryOnEintr(
        [&] { return platform::sendNoSignal(fd, bytes.data() + offset, bytes.size() - offset); });
    if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
      continue;
    if (count <= 0)
      disconnected();
    offset += static_cast<std::size_t>(count);
  }
}

bool isGuardianCapability(std::string_view text) {
  return text.size() == 64 && std::all_of(text.begin(), text.end(), isHexDigit);
}

std::string Activation::encode() const {
  const nlohmann::json object = {
      {"capability", capability},
      {"configuration", base64Encode(configuration)},
      {"generation", generation},
  };
  return base64Encode(jsonio::compact(object));
}

std::optional<Activation> Activation::decode(std::string_view line) {
  auto text = base64Decode(line);
  if (!text)
    return std::nullopt;
  try {
    return jsonio::decode(
        *text, &disconnectedAfter, "activation",
        [](const nlohmann::json& json) -> std::optional<Activation> {
          Activation activation;
          activation.capability = jsonio::requireString(json, "capability");
          auto configuration = base64Decode(jsonio::requireString(json, "configuration"));
          auto generation = Uuid::parse(jsonio::requireString(json, "generation"));
          if (!isGuardianCapability(activation.capability) || !configuration ||
              configuration->size() > kMaxGuardianConfigurationBytes || !generation)
            return std::nullopt;
          activation.configuration = std::move(*configuration);
          activation.generation = *generation;
          return activation;
        });
  } catch (const KorvelinCoreError&) {
    return std::nullopt;
  }
}

std::optional<std::int32_t> parseReadyLine(std::string_view line) {
  constexpr std::string_view kPrefix = "READY ";
  if (!line.starts_with(kPrefix))
    return std::nullopt;
  line.remove_prefix(kPrefix.size());
  std::int32_t pid = 0;
  auto [end, error] = std::from_chars(line.data(), line.data() + line.size(), pid);
  if (error != std::errc() || end != line.data() + line.size() || pid < 2)
    return std::nullopt;
  return pid;
}

std::optional<GuardianRequest> parseGuardianRequest(std::string_view line,
                                                    std::string_view capability,
                                                    std::string_view generation) {
  const auto pieces = requestPieces(line);
  if (pieces.size() < 3 || !sameSecret(pieces[1], capability) || pieces[2] != generation)
    return std::nullopt;
  const auto command = pieces[0];
  if (command == "STOP" && pieces.size() == 3)
    return GuardianRequest{GuardianCommand::stop, {}};
  if (command == "STATUS" && pieces.size() == 3)
    return GuardianRequest{GuardianCommand::status, {}};
  if (command == "ATTACH" && pieces.size() == 4) {
    auto controller = decodeIdentityPayload(pieces[3]);
    if (controller)
      return GuardianRequest{GuardianCommand::attach, std::move(controller)};
  }
  return std::nullopt;
}

std::string formatGuardianRequest(std::string_view command,
                                  std::string_view capability,
                                  const Uuid& generation,
                                  std::optional<std::string_view> payload) {
  std::string line;
  line.append(command).append(" ").append(capability).append(" ");
  line.append(generation.lowercaseString());
  if (payload)
    line.append(" ").append(*payload);
  return line;
}

std::string encodeIdentityPayload(const LiveProcessIdentity& identity) {
  return base64Encode(jsonio::compact(identity));
}

std::optional<LiveProcessIdentity> decodeIdentityPayload(std::string_view payload) {
  auto text = base64Decode(payload);
  if (!text)
    return std::nullopt;
  try {
    return jsonio::decode(*text, &disconnectedAfter, "identity", [](const nlohmann::json& json) {
      return json.get<LiveProcessIdentity>();
    });
  } catch (const KorvelinCoreError&) {
    return std::nullopt;
  }
}

std::string GuardianStatus::replyLine() const {
  return "STATUS " + base64Encode(jsonio::compact(*this));
}

GuardianStatus GuardianStatus::fromReplyLine(std::string_view reply) {
  constexpr std::string_view kPrefix = "STATUS ";
  if (!reply.starts_with(kPrefix))
    disconnected();
  auto text = base64Decode(reply.substr(kPrefix.size()));
  if (!text)
    disconnected();
  return jsonio::decode(*text, &disconnectedAfter, "status",
                        [](const nlohmann::json& json) { return json.get<GuardianStatus>(); });
}

void to_json(nlohmann::json& json, const GuardianStatus& status) {
  json = nlohmann::json{{"child", status.child}};
  if (status.attached)
    json["attached"] = *status.attached;
}

void from_json(const nlohmann::json& json, GuardianStatus& status) {
  if (json.contains("attached")) {
    jsonio::requireExactKeys(json, {"child", "attached"});
    status.attached = json.at("attached").get<LiveProcessIdentity>();
  } else {
    jsonio::requireExactKeys(json, {"child"});
    status.attached.reset();
  }
  status.child = json.at("child").get<LiveProcessIdentity>();
}

namespace {
constexpr EnumNames<RestoredProxyStatus, 4> kRestoredProxyStatuses{{
    {RestoredProxyStatus::notApplicable, "notApplicable"},
    {RestoredProxyStatus::available, "available"},
    {RestoredProxyStatus::unverified, "unverified"},
    {RestoredProxyStatus::unavailable, "unavailable"},
}};
}  // namespace

std::string_view rawValue(RestoredProxyStatus status) {
  return kRestoredProxyStatuses.name(status);
}

std::optional<RestoredProxyStatus> restoredProxyStatus(std::string_view raw) {
  return kRestoredProxyStatuses.value(raw);
}

}  // namespace korvelin
