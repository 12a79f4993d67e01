#pragma once

// Everything that travels between the core and a guardian process: the
// activation line on the guardian's standard input, its "READY " answer, and
// the one-line requests and replies of its control socket. Both ends use
// these functions, so the two sides cannot drift apart.

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

#include "core/base/Uuid.h"
#include "core/process/LiveProcessIdentity.h"

namespace korvelin {

// Moves one line over a non-blocking descriptor within a deadline. Time is
// the monotonic clock; the wall clock may jump. Every failure (time-out,
// end-of-file, over-long line, invalid UTF-8, system error) is thrown as
// KorvelinCoreError::proxyDisconnected. No shared state: any thread may call.
class GuardianProtocol {
 public:
  GuardianProtocol() = delete;

  // The limit both ends read with: at most 4095 bytes before the line feed.
  static constexpr int kLineLimit = 4096;
  // The most `writeLine` sends, line feed included.
  static constexpr std::size_t kMaxWrittenBytes = 8192;
  // Seconds either end allows for one request or reply line on the control
  // socket (the client waits longer for the reply to STOP).
  static constexpr double kLineTimeout = 0.5;

  // Reads one line and returns it without its line feed. `timeout` (seconds)
  // bounds the whole line, so a peer that trickles bytes cannot hold the
  // caller longer. Fails once the buffer holds `limit` bytes without a line
  // feed. Reads a byte at a time so nothing after the line is consumed.
  // `byteTimeout` (seconds) also bounds the wait for each single byte.
  static std::string readLine(int fd,
                              double timeout,
                              int limit,
                              double byteTimeout = std::numeric_limits<double>::infinity());

  // Writes `line` and a line feed within `timeout` seconds. A line longer
  // than kMaxWrittenBytes with its line feed fails before anything is sent.
  static void writeLine(std::string_view line, int fd, double timeout);

 private:
  // Waits until `fd` reports one of `events` before the absolute `deadline`
  // (seconds of monotonic time); an error or hang-up without them fails.
  static void ready(int fd, short events, double deadline);
};

// Largest Xray configuration a guardian accepts, in bytes.
inline constexpr std::size_t kMaxGuardianConfigurationBytes = 16384;

// Exactly 64 hexadecimal digits, either case: the guardian's shared secret.
bool isGuardianCapability(std::string_view text);

// The record the owner writes, as one line, to a new guardian's standard
// input: its secret, the Xray configuration and the identifier of this run.
struct Activation {
  std::string capability;
  std::string configuration;
  Uuid generation;

  // Standard Base64 of the JSON object; the caller appends the line feed.
  std::string encode() const;

  // The guardian's reading of an activation line (without its line feed).
  // Unknown keys are ignored; absent when the line is not Base64 of a JSON
  // object with a valid capability, a Base64 configuration of at most
  // kMaxGuardianConfigurationBytes and a UUID generation.
  static std::optional<Activation> decode(std::string_view line);

  bool operator==(const Activation&) const = default;
};

// The Xray process identifier named by a guardian's "READY " line (line feed
// removed): a decimal 32-bit number of at least 2, or absent.
std::optional<std::int32_t> parseReadyLine(std::string_view line);

enum class GuardianCommand { stop, attach, status };

// A request the guardian accepts: the command and, for ATTACH, the
// controller's identity as sent (not yet checked to be live).
struct GuardianRequest {
  GuardianCommand command = GuardianCommand::status;
  std::optional<LiveProcessIdentity> controller;

  bool operator==(const GuardianRequest&) const = default;
};

// The guardian's reading of one request line. The line splits at spaces
// (empty pieces dropped) into the command, the capability, the lower-case
// generation and, for ATTACH only, the Base64 JSON identity of the
// controller. Absent for anything the guardian must refuse without a reply.
std::optional<GuardianRequest> parseGuardianRequest(std::string_view line,
                                                    std::string_view capability,
                                                    std::string_view generation);

// The request line a client sends (without its line feed).
std::string formatGuardianRequest(std::string_view command,
                                  std::string_view capability,
                                  const Uuid& generation,
                                  std::optional<std::string_view> payload = std::nullopt);

// ATTACH's payload: standard Base64 of the identity's JSON, and back.
std::string encodeIdentityPayload(const LiveProcessIdentity& identity);
std::optional<LiveProcessIdentity> decodeIdentityPayload(std::string_view payload);

// What a STATUS reply carries: the running Xray process and, when there is
// one, the attached controller.
struct GuardianStatus {
  LiveProcessIdentity child;
  std::optional<LiveProcessIdentity> attached;

  // "STATUS " followed by standard Base64 of the JSON object.
  std::string replyLine() const;

  // Reads a STATUS reply line; anything else is proxyDisconnected, as if
  // the guardian had not answered.
  static GuardianStatus fromReplyLine(std::string_view reply);

  bool operator==(const GuardianStatus&) const = default;
};

// JSON object with `child` and, only when present, `attached`; decoding
// refuses any other key.
void to_json(nlohmann::json& json, const GuardianStatus& status);
void from_json(const nlohmann::json& json, GuardianStatus& status);

// How the proxy of a profile found running after a restart of the host was
// judged; stored and compared by its raw value.
enum class RestoredProxyStatus { notApplicable, available, unverified, unavailable };

std::string_view rawValue(RestoredProxyStatus status);
// Absent for any text that is not one of the four raw values.
std::optional<RestoredProxyStatus> restoredProxyStatus(std::string_view raw);

}  // namespace korvelin
