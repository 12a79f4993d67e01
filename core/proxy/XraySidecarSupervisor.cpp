#include "core/proxy/XraySidecarSupervisor.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <thread>

#include <sodium.h>
#include <nlohmann/json.hpp>

#include "core/activity/ProfileRuntimeObserver.h"
#include "core/base/CoreError.h"
#include "core/base/HexCoding.h"
#include "core/files/FilePath.h"
#include "core/guardian/GuardianClient.h"
#include "core/guardian/GuardianProtocol.h"
#include "core/platform/FileUtil.h"
#include "core/platform/LocalSocket.h"
#include "core/platform/Paths.h"
#include "core/platform/ScopedFD.h"
#include "core/process/ChildProcess.h"
#include "core/process/ProcessSnapshot.h"
#include "core/process/ToolProcess.h"
#include "core/proxy/VLESSConnection.h"
#include "core/text/UnicodeText.h"
#include "core/text/Utf8.h"

namespace korvelin {

GuardianEndpoint endpointOf(const XrayDurableState& record) {
  GuardianEndpoint endpoint;
  endpoint.protocolVersion = record.protocolVersion;
  endpoint.guardianIdentity = record.guardianIdentity;
  endpoint.guardianPID = record.guardianPID;
  endpoint.generation = record.generation;
  endpoint.socketPath = record.socketPath;
  endpoint.capability = record.capability;
  return endpoint;
}

using platform::ScopedFD;
using namespace std::chrono_literals;

namespace {

constexpr auto kReadinessRetryInterval = 150ms;
constexpr auto kStoppedGuardianWait = 4s;
constexpr auto kStoppedGuardianPoll = 10ms;
constexpr auto kRecoveryWait = 4s;
constexpr auto kRecoveryPoll = 20ms;
constexpr auto kDirectTerminationGrace = 1s;
constexpr std::size_t kProbeOutputLimit = 128;
constexpr std::size_t kListenerOutputLimit = 4096;
constexpr auto kToolTimeout = 15s;    // curl limits itself to 8 s; lsof is quick
constexpr int kReadyLineLimit = 128;  // at most 127 bytes before the line feed

double systemNow() {
  using namespace std::chrono;
  return duration<double>(system_clock::now().time_since_epoch()).count();
}

std::string randomCapability() {
  unsigned char bytes[32];
  randombytes_buf(bytes, sizeof bytes);
  return hexEncoded(std::string_view(reinterpret_cast<const char*>(bytes), sizeof bytes));
}

std::string socketDirectoryPrefix() {
  return std::string(platform::kTemporaryDirectory) + "/korvelin-xray-";
}

// STOP through the current protocol, or the legacy one for records written
// by an older core. Throws what the exchange throws.
void requestStop(const XrayDurableState& record) {
  const GuardianEndpoint endpoint = endpointOf(record);
  if (record.protocolVersion == kGuardianProtocolVersion) {
    if (requestGuardian(endpoint, "STOP") != "STOPPED")
      throw KorvelinCoreError::proxyDisconnected();
  } else {
    stopLegacyGuardian(endpoint, record.profileID);
  }
}

// An engine whose guardian died without stopping it: SIGTERM, then SIGKILL
// after the usual grace, each only while the pid is still the verified one.
void terminateVerifiedEngine(const XraySidecarHandle& handle) {
  const auto& identity = handle.processIdentity;
  if (!identity || !identity->isCurrent())
    return;
  ::kill(identity->pid, SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() + kDirectTerminationGrace;
  while (identity->isCurrent() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(kStoppedGuardianPoll);
  if (identity->isCurrent())
    ::kill(identity->pid, SIGKILL);
}

// The egress probe's answer must be an address, and the engine that gave it
// must still be there to be pinned.
LiveProcessIdentity verifiedEngine(const std::string& probe, std::int32_t engine) {
  if (!isIPAddress(probe))
    throw KorvelinCoreError::proxyPreflightFailed();
  auto identity = LiveProcessIdentity::capture(engine);
  if (!identity)
    throw KorvelinCoreError::proxyPreflightFailed();
  return *identity;
}

// Inside a catch block: a failed start reports a KorvelinCoreError as it is
// and anything else as a failed preflight.
[[noreturn]] void rethrowAsPreflightFailure() {
  try {
    throw;
  } catch (const KorvelinCoreError&) {
    throw;
  } catch (...) {
    throw KorvelinCoreError::proxyPreflightFailed();
  }
}

}  // namespace

ProfileProxyConfiguration XraySidecarHandle::localProxy() const {
  return ProfileProxyConfiguration(ProfileProxyScheme::socks5, "127.0.0.1", loopbackPort);
}

ProfileProxyConfiguration XraySidecarHandle::localHTTPProxy() const {
  return ProfileProxyConfiguration(ProfileProxyScheme::http, "127.0.0.1", loopbackPort);
}

void to_json(nlohmann::json& json, const XraySidecarHandle& handle) {
  json = {{"profileID", handle.profileID},       {"connectionID", handle.connectionID},
          {"generation", handle.generation},     {"processID", handle.processID},
          {"loopbackPort", handle.loopbackPort}, {"localProxy", handle.localProxy().uri()}};
  if (handle.processIdentity)
    json["processIdentity"] = *handle.processIdentity;
}

bool isIPAddress(std::string_view text) {
  const std::string copy(text);
  unsigned char buffer[sizeof(in6_addr)];
  return ::inet_pton(AF_INET, copy.c_str(), buffer) == 1 ||
         ::inet_pton(AF_INET6, copy.c_str(), buffer) == 1;
}

// The running sidecar of one profile.
struct XraySidecarSupervisor::Entry {
  XraySidecarHandle handle;
  ChildProcess process;     // the guardian (guarded) or the engine (direct)
  ScopedFD lifetimeWriter;  // the guardian's standard input; open = owned
  std::optional<std::string> leaseURL;
  std::optional<ProfilePaths> paths;
  std::optional<XrayDurableState> durableRecord;
  double lastProbeAt = 0;
  VLESSRuntimeHealth health;
  std::mutex probeLock;
  bool attached = false;
};

XraySidecarSupervisor::XraySidecarSupervisor(BinaryResolver binaryResolver,
                                             EgressProbe egressProbe,
                                             ListenerVerifier listenerVerifier,
                                             GuardianResolver guardianResolver,
                                             Clock now,
                                             double preflightTimeout,
                                             XrayDurableStateStore::FaultHook durableFaultHook)
    : resolveBinary_(std::move(binaryResolver)),
      probe_(std::move(egressProbe)),
      verifyListener_(std::move(listenerVerifier)),
      resolveGuardian_(std::move(guardianResolver)),
      now_(now ? std::move(now) : Clock(systemNow)),
      preflightTimeout_(preflightTimeout),
      durableState_(std::move(durableFaultHook)) {}

XraySidecarSupervisor::~XraySidecarSupervisor() {
  std::lock_guard guard(lock_);
  entries_.clear();
}

std::string XraySidecarSupervisor::validateBinary(const std::string& path) {
  struct stat info;
  if (::lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || (info.st_mode & 022) != 0 ||
      ::access(path.c_str(), X_OK) != 0)
    throw KorvelinCoreError::xrayUnavailable();
  return path;
}

std::uint16_t XraySidecarSupervisor::allocateLoopbackPort() {
  ScopedFD fd = platform::newInternetStreamSocket();
  if (!fd)
    throw KorvelinCoreError::proxyPreflightFailed();
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = 0;
  if (::inet_pton(AF_INET, "127.0.0.1", &address.sin_addr) != 1 ||
      ::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
    throw KorvelinCoreError::proxyPreflightFailed();
  socklen_t length = sizeof address;
  if (::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
    throw KorvelinCoreError::proxyPreflightFailed();
  return ntohs(address.sin_port);
}

bool XraySidecarSupervisor::lsofListenerVerifier(std::int32_t processID, std::uint16_t port) {
  const auto result = runTool(std::string(platform::kLsofPath),
                              {"-nP", "-a", "-p", std::to_string(processID),
                               "-iTCP:" + std::to_string(port), "-sTCP:LISTEN", "-Fn"},
                              {"PATH=/usr/bin:/bin:/usr/sbin"}, kListenerOutputLimit, kToolTimeout);
  if (result.exitCode != 0 || result.outputOverLimit || !isValidUtf8(result.output))
    return false;
  const std::string wanted = "n127.0.0.1:" + std::to_string(port);
  std::string_view rest = result.output;
  while (!rest.empty()) {
    const auto end = rest.find('\n');
    if (rest.substr(0, end) == wanted)
      return true;
    if (end == std::string_view::npos)
      break;
    rest.remove_prefix(end + 1);
  }
  return false;
}

std::string XraySidecarSupervisor::curlEgressProbe(std::uint16_t port,
                                                   const std::string& url,
                                                   double timeLimit) {
  char maxTime[32];
  std::snprintf(maxTime, sizeof maxTime, "%.3f", std::clamp(timeLimit, 0.001, kProbeTimeLimit));
  const auto result = runTool(std::string(platform::kCurlPath),
                              {"--fail", "--silent", "--show-error", "--max-time", maxTime,
                               "--socks5-hostname", "127.0.0.1:" + std::to_string(port), url},
                              {"PATH=/usr/bin:/bin"}, kProbeOutputLimit, kToolTimeout);
  if (result.exitCode != 0 || result.outputOverLimit || !isValidUtf8(result.output))
    throw KorvelinCoreError::proxyPreflightFailed();
  return std::string(unicode::trimmed(result.output, unicode::Trim::whiteSpaceAndNewlines));
}

void XraySidecarSupervisor::initializeManagedProfile(const ProfilePaths& paths) {
  durableState_.withLockedState(paths, true,
                                [](const XrayDurableState&, XrayDurableStateWriter&) {});
}

std::string XraySidecarSupervisor::awaitReadiness(const std::function<bool()>& stillRunning,
                                                  std::int32_t engine,
                                                  std::uint16_t port) {
  const double deadline = now_() + preflightTimeout_;
  for (;;) {
    if (!stillRunning())
      throw KorvelinCoreError::proxyPreflightFailed();
    // The probe gets only what is left of the preflight time, so a server
    // that stalls cannot carry a start past it.
    const double left = deadline - now_();
    if (left <= 0)
      throw KorvelinCoreError::proxyPreflightFailed();
    try {
      if (verifyListener_(engine, port))
        return probe_(port, std::min(kProbeTimeLimit, left));
    } catch (...) {
      // Not ready yet.
    }
    std::this_thread::sleep_for(kReadinessRetryInterval);
    if (now_() >= deadline)
      throw KorvelinCoreError::proxyPreflightFailed();
  }
}

XraySidecarHandle XraySidecarSupervisor::admit(const Uuid& profileID,
                                               std::shared_ptr<Entry> entry,
                                               const std::string& probe) {
  entry->lastProbeAt = now_();
  entry->health = VLESSRuntimeHealth::available(probe, entry->lastProbeAt);
  const XraySidecarHandle handle = entry->handle;
  std::lock_guard guard(lock_);
  if (entries_.count(profileID))
    throw KorvelinCoreError::alreadyRunning(profileID);
  entries_[profileID] = std::move(entry);
  return handle;
}

XraySidecarHandle XraySidecarSupervisor::start(const Uuid& profileID,
                                               const Uuid& connectionID,
                                               const VLESSRealityConfiguration& configuration,
                                               const ProfilePaths& paths) {
  if (paths.profileID() != profileID)
    throw KorvelinCoreError::profileIdentifierMismatch();
  if (!resolveGuardian_)
    return start(profileID, connectionID, configuration);
  return durableState_.withLockedState(
      paths, false, [&](const XrayDurableState& current, XrayDurableStateWriter& writer) {
        return startGuarded(profileID, connectionID, configuration, paths, current, writer);
      });
}

XraySidecarHandle XraySidecarSupervisor::startGuarded(
    const Uuid& profileID,
    const Uuid& connectionID,
    const VLESSRealityConfiguration& configuration,
    const ProfilePaths& paths,
    const XrayDurableState& current,
    XrayDurableStateWriter& writer) {
  {
    std::lock_guard guard(lock_);
    if (current.status != XrayDurableState::Status::empty || entries_.count(profileID))
      throw KorvelinCoreError::alreadyRunning(profileID);
  }
  const std::string xray = resolveBinary_();
  const std::string guardianPath = resolveGuardian_();
  const std::uint16_t port = allocateLoopbackPort();
  const Uuid generation = Uuid::random();
  const std::string capability = randomCapability();
  const std::string socketPath = guardianSocketPath(generation);

  ScopedFD inputRead, inputWrite, outputRead, outputWrite;
  if (!platform::newPipe(inputRead, inputWrite) || !platform::newPipe(outputRead, outputWrite))
    throw KorvelinCoreError::proxyPreflightFailed();

  // In a session of its own: a terminal's Ctrl-C or hang-up aimed at the host
  // must not take the proxy away from an application attached to it.
  auto entry = std::make_shared<Entry>();
  if (!entry->process.launch(guardianPath, {"--xray", xray, "--socket", socketPath},
                             {"PATH=/usr/bin:/bin"}, inputRead.get(), outputWrite.get(),
                             /*newSession=*/true))
    throw KorvelinCoreError::proxyPreflightFailed();
  inputRead.reset();
  outputWrite.reset();

  XrayDurableState record;
  bool recordWritten = false;
  try {
    auto guardianIdentity = LiveProcessIdentity::capture(entry->process.pid());
    if (!guardianIdentity)
      throw KorvelinCoreError::proxyPreflightFailed();

    record.status = XrayDurableState::Status::active;
    record.profileID = profileID;
    record.connectionID = connectionID;
    record.generation = generation;
    record.guardianPID = entry->process.pid();
    record.loopbackPort = port;
    record.socketPath = socketPath;
    record.capability = capability;
    record.protocolVersion = kGuardianProtocolVersion;
    record.guardianIdentity = guardianIdentity;
    writer.write(record);
    recordWritten = true;

    const Activation activation{capability, configuration.xrayJSON(port), generation};
    if (!platform::writeFull(inputWrite.get(), activation.encode() + "\n"))
      throw KorvelinCoreError::proxyPreflightFailed();

    ::fcntl(outputRead.get(), F_SETFL, ::fcntl(outputRead.get(), F_GETFL) | O_NONBLOCK);
    std::optional<std::int32_t> engine;
    try {
      engine = parseReadyLine(
          GuardianProtocol::readLine(outputRead.get(), kReadyLineTimeout, kReadyLineLimit));
    } catch (const KorvelinCoreError&) {
    }
    if (!engine)
      throw KorvelinCoreError::proxyPreflightFailed();

    const std::string probe =
        awaitReadiness([&] { return entry->process.isRunning(); }, *engine, port);
    entry->handle = {profileID, connectionID, generation,
                     *engine,   port,         verifiedEngine(probe, *engine)};
    entry->lifetimeWriter = std::move(inputWrite);
    entry->leaseURL = appendingPathComponent(paths.root(), XrayDurableStateStore::kStateFileName);
    entry->paths = paths;
    entry->durableRecord = record;
    return admit(profileID, entry, probe);
  } catch (...) {
    // Ask the guardian to go; only once it is gone may the record say so.
    if (recordWritten) {
      try {
        requestStop(record);
      } catch (...) {
      }
    }
    inputWrite.reset();  // an unattached guardian also stops at end of input
    if (entry->process.waitForExit(kStoppedGuardianWait, kStoppedGuardianPoll)) {
      if (recordWritten) {
        try {
          writer.write(XrayDurableState::emptyRecord(profileID));
        } catch (...) {
        }
      }
    }
    rethrowAsPreflightFailure();
  }
}

XraySidecarHandle XraySidecarSupervisor::start(const Uuid& profileID,
                                               const Uuid& connectionID,
                                               const VLESSRealityConfiguration& configuration) {
  {
    std::lock_guard guard(lock_);
    if (entries_.count(profileID))
      throw KorvelinCoreError::alreadyRunning(profileID);
  }
  const std::string xray = resolveBinary_();
  const std::uint16_t port = allocateLoopbackPort();
  ScopedFD inputRead, inputWrite;
  if (!platform::newPipe(inputRead, inputWrite))
    throw KorvelinCoreError::proxyPreflightFailed();
  auto entry = std::make_shared<Entry>();
  if (!entry->process.launch(xray, {"run", "-config", "stdin:"}, {"PATH=/usr/bin:/bin"},
                             inputRead.get()))
    throw KorvelinCoreError::proxyPreflightFailed();
  inputRead.reset();
  try {
    if (!platform::writeFull(inputWrite.get(), configuration.xrayJSON(port)))
      throw KorvelinCoreError::proxyPreflightFailed();
    inputWrite.reset();
    const std::int32_t engine = entry->process.pid();
    const std::string probe =
        awaitReadiness([&] { return entry->process.isRunning(); }, engine, port);
    entry->handle = {profileID, connectionID, Uuid::random(),
                     engine,    port,         verifiedEngine(probe, engine)};
    return admit(profileID, entry, probe);
  } catch (...) {
    entry->process.terminateAndReap(kDirectTerminationGrace);
    rethrowAsPreflightFailure();
  }
}

std::optional<XraySidecarHandle> XraySidecarSupervisor::handle(const Uuid& profileID) {
  std::lock_guard guard(lock_);
  auto it = entries_.find(profileID);
  if (it == entries_.end())
    return std::nullopt;
  return it->second->handle;
}

std::optional<VLESSRuntimeHealth> XraySidecarSupervisor::runtimeHealth(
    const Uuid& profileID,
    double minimumProbeInterval) {
  std::shared_ptr<Entry> entry;
  {
    std::lock_guard guard(lock_);
    auto it = entries_.find(profileID);
    if (it == entries_.end())
      return std::nullopt;
    entry = it->second;
  }
  std::lock_guard probeGuard(entry->probeLock);
  Uuid generation;
  VLESSRuntimeHealth cached;
  double lastProbeAt;
  {
    std::lock_guard guard(lock_);
    auto it = entries_.find(profileID);
    if (it == entries_.end() || it->second->handle.generation != entry->handle.generation)
      return std::nullopt;
    generation = entry->handle.generation;
    cached = entry->health;
    lastProbeAt = entry->lastProbeAt;
  }
  const auto& identity = entry->handle.processIdentity;
  auto alive = [&] { return entry->process.isRunning() && identity && identity->isCurrent(); };

  VLESSRuntimeHealth result;
  if (!alive()) {
    result = VLESSRuntimeHealth::recoveryRequired(now_());
  } else if (cached.isRecoveryRequired() || now_() - lastProbeAt < minimumProbeInterval) {
    return cached;
  } else {
    const std::int32_t engine = entry->handle.processID;
    const std::uint16_t port = entry->handle.loopbackPort;
    auto listening = [&] {
      try {
        return verifyListener_(engine, port);
      } catch (...) {
        return false;
      }
    };
    std::optional<std::string> probe;
    if (listening()) {
      try {
        probe = probe_(port, kProbeTimeLimit);
      } catch (...) {
      }
    }
    if (probe && alive() && listening())
      result = isIPAddress(*probe) ? VLESSRuntimeHealth::available(*probe, now_())
                                   : VLESSRuntimeHealth::unavailable(now_());
    else
      result = VLESSRuntimeHealth::recoveryRequired(now_());
  }
  std::lock_guard guard(lock_);
  auto it = entries_.find(profileID);
  if (it != entries_.end() && it->second->handle.generation == generation) {
    entry->health = result;
    entry->lastProbeAt = result.checkedAt;
  }
  return result;
}

std::optional<std::string> XraySidecarSupervisor::assertHealthy(const Uuid& profileID,
                                                                double minimumProbeInterval) {
  auto health = runtimeHealth(profileID, minimumProbeInterval);
  if (!health)
    return std::nullopt;
  if (!health->isAvailable())
    throw KorvelinCoreError::proxyDisconnected();
  return health->externalIP;
}

void XraySidecarSupervisor::attach(const Uuid& profileID, const ProcessSnapshot& run) {
  try {
    std::shared_ptr<Entry> entry;
    {
      std::lock_guard guard(lock_);
      auto it = entries_.find(profileID);
      if (it != entries_.end())
        entry = it->second;
    }
    if (run.profileID != profileID ||
        run.state == ProcessRunState::managedGroupStoppedAwaitingConfirmation ||
        run.state == ProcessRunState::stoppedConfirmed || !entry || !entry->durableRecord ||
        !entry->paths)
      throw KorvelinCoreError::proxyDisconnected();
    auto identity = LiveProcessIdentity::capture(run.rootPID);
    if (!identity || identity->group != run.processGroupID)
      throw KorvelinCoreError::proxyDisconnected();
    const auto observed = ProfileRuntimeObserver().observe(*entry->paths, identity->executable);
    if (observed.profileID != profileID || observed.rootPID != run.rootPID ||
        !identity->isCurrent())
      throw KorvelinCoreError::proxyDisconnected();
    if (requestGuardian(endpointOf(*entry->durableRecord), "ATTACH",
                        encodeIdentityPayload(*identity)) != "ATTACHED")
      throw KorvelinCoreError::proxyDisconnected();
    std::lock_guard guard(lock_);
    entry->attached = true;
  } catch (...) {
    throw KorvelinCoreError::proxyDisconnected();
  }
}

std::optional<std::string> XraySidecarSupervisor::continuityWarning(const Uuid& profileID) {
  std::lock_guard guard(lock_);
  auto it = entries_.find(profileID);
  if (it == entries_.end() || !it->second->durableRecord || it->second->attached)
    return std::nullopt;
  return std::string(kContinuityWarning);
}

void XraySidecarSupervisor::stop(const Uuid& profileID, const std::optional<Uuid>& generation) {
  std::shared_ptr<Entry> entry;
  {
    std::lock_guard guard(lock_);
    auto it = entries_.find(profileID);
    if (it == entries_.end())
      return;
    if (generation && *generation != it->second->handle.generation)
      return;
    entry = std::move(it->second);
    entries_.erase(it);
  }
  stopEntry(*entry);
}

void XraySidecarSupervisor::stopEntry(Entry& entry) {
  if (!entry.durableRecord || !entry.paths) {
    entry.process.terminateAndReap(kDirectTerminationGrace);
    return;
  }
  bool answered = false;
  try {
    requestStop(*entry.durableRecord);
    answered = true;
  } catch (...) {
    // No answer to STOP: end of input stops an unattached guardian, and an
    // attached one may already have ended with its application's session.
    entry.lifetimeWriter.reset();
  }
  if (!entry.process.waitForExit(kStoppedGuardianWait, kStoppedGuardianPoll)) {
    entry.lifetimeWriter.reset();
    return;  // still running: the record stays active for recovery
  }
  // Without an answer, only a guardian that went through its own shutdown
  // (exit status 0) has taken its engine with it. One that was killed may
  // have left the engine serving: end it while it is still the process we
  // verified, and keep the record active so that someone looks.
  const auto status = entry.process.waitStatus();
  if (!answered && !(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0)) {
    terminateVerifiedEngine(entry.handle);
    return;
  }
  try {
    const auto generation = entry.durableRecord->generation;
    const auto profileID = entry.handle.profileID;
    durableState_.withLockedState(
        *entry.paths, false, [&](const XrayDurableState& current, XrayDurableStateWriter& writer) {
          if (current.generation == generation)
            writer.write(XrayDurableState::emptyRecord(profileID));
        });
  } catch (...) {
  }
}

void XraySidecarSupervisor::stopAndWait(const Uuid& profileID,
                                        const std::optional<Uuid>& generation,
                                        const ProfilePaths& paths) {
  stop(profileID, generation);
  if (hasDurableSidecar(profileID, paths))
    throw KorvelinCoreError::profileRecoveryRequired(profileID);
}

bool XraySidecarSupervisor::hasDurableSidecar(const Uuid& profileID, const ProfilePaths& paths) {
  if (paths.profileID() != profileID)
    return true;
  try {
    auto record = durableState_.read(paths);
    return record && record->status == XrayDurableState::Status::active;
  } catch (...) {
    return true;
  }
}

void XraySidecarSupervisor::recover(const Uuid& profileID, const ProfilePaths& paths) {
  if (paths.profileID() != profileID)
    throw KorvelinCoreError::profileIdentifierMismatch();
  durableState_.withLockedState(
      paths, false, [&](const XrayDurableState& record, XrayDurableStateWriter& writer) {
        const std::string prefix = socketDirectoryPrefix();
        if (record.status != XrayDurableState::Status::active || record.profileID != profileID ||
            !record.guardianPID || !record.socketPath || !record.socketPath->starts_with(prefix) ||
            !record.socketPath->ends_with(".sock"))
          throw KorvelinCoreError::profileRecoveryRequired(profileID);
        const std::int32_t guardian = *record.guardianPID;
        // A recorded identity that is no longer current names a guardian that is
        // gone even though its pid was reused: the new process is a stranger,
        // never to be asked to stop.
        const auto& identity = record.guardianIdentity;
        auto gone = [&] {
          return processHasExited(guardian) || (identity && !identity->isCurrent());
        };
        if (gone()) {
          std::this_thread::sleep_for(1ms);
          if (!gone())
            throw KorvelinCoreError::profileRecoveryRequired(profileID);
          writer.write(XrayDurableState::emptyRecord(profileID));
          return;
        }
        requestStop(record);
        const auto deadline = std::chrono::steady_clock::now() + kRecoveryWait;
        while (!gone() && std::chrono::steady_clock::now() < deadline)
          std::this_thread::sleep_for(kRecoveryPoll);
        if (!gone())
          throw KorvelinCoreError::profileRecoveryRequired(profileID);
        writer.write(XrayDurableState::emptyRecord(profileID));
      });
}

}  // namespace korvelin
