#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/guardian/GuardianClient.h"
#include "core/guardian/GuardianProtocol.h"
#include "demo/LoopbackRealityServer.h"
#include "tests/support/Subprocess.h"

namespace korvelin::testing {

// A loopback TCP port nobody listens on right now.
inline std::uint16_t unusedLoopbackPort() {
  return demo::freeLoopbackPort();
}

// An Xray configuration whose SOCKS inbound listens on 127.0.0.1:`port`.
std::string engineConfiguration(std::uint16_t port);

// A fresh capability: 64 lower-case hexadecimal digits.
std::string randomCapability();

// The identity of a child once it runs `program` rather than the test binary
// it was forked from; absent if that does not happen within a few seconds.
std::optional<LiveProcessIdentity> identityOnceRunning(pid_t pid, const std::string& program);

// A guardian process started the way the core starts one: arguments, a
// random capability and generation, the activation line written to its
// standard input, which stays open (the test is the owner).
class GuardianProcess {
 public:
  struct Options {
    std::string engine;               // the --xray argument
    std::string configuration;        // handed to the engine
    std::vector<std::string> prefix;  // a wrapper program and its arguments
  };

  explicit GuardianProcess(Options options);
  ~GuardianProcess();  // removes a socket file a killed guardian left behind

  // Reads the "READY " line; false when the guardian ended or said nothing
  // sensible within the timeout.
  bool waitUntilReady(std::chrono::milliseconds timeout = std::chrono::seconds(10));

  Subprocess& process() { return *process_; }
  pid_t pid() const { return process_->pid(); }
  pid_t enginePid() const { return enginePid_; }
  const std::string& socketPath() const { return socketPath_; }
  const std::string& capability() const { return capability_; }
  const Uuid& generation() const { return generation_; }

  // The durable record's view of this guardian (valid after waitUntilReady).
  GuardianEndpoint endpoint() const;

  // One exchange through the core's client.
  std::string request(std::string_view command,
                      std::optional<std::string_view> payload = std::nullopt) const;

  // The line a well-formed request for this guardian would carry.
  std::string requestLine(std::string_view command,
                          std::optional<std::string_view> payload = std::nullopt) const;

  // Closes the owner's end of standard input.
  void closeOwner() { process_->closeStdin(); }

 private:
  std::string capability_;
  Uuid generation_;
  std::string socketPath_;
  std::unique_ptr<Subprocess> process_;
  std::optional<LiveProcessIdentity> identity_;
  pid_t enginePid_ = -1;
};

// Sends `bytes` as they are over a new connection to `socketPath` and returns
// everything the peer wrote before it closed: an empty text is a refusal.
// Absent when no connection could be made or the peer kept it open beyond the
// timeout.
std::optional<std::string> rawExchange(const std::string& socketPath,
                                       const std::string& bytes,
                                       std::chrono::milliseconds timeout = std::chrono::seconds(5));

}  // namespace korvelin::testing
