#pragma once

// The durable record of a profile's proxy sidecar. A guarded sidecar can
// outlive the host, so the host writes down how to find, trust and stop it
// before anything else can go wrong, and a restarted host reads it back. The
// record lives in three files of the profile's root directory:
//
//   ".xray-operation-lock"  empty; its descriptor carries the flock lock
//   ".xray-managed-v1"      empty; marks the profile as using this format
//   ".xray-state"           two 16384-byte pages, each a sequence number,
//                           the record's JSON and a SHA-256 of the rest
//
// Every write goes to the older page, is synced and read back before it
// counts, so a write torn by a crash leaves the previous record readable.
// Every file must be a regular 0600 file of the effective user with exactly
// one link, still named by its path. Whatever is wrong is reported as
// `profileRecoveryRequired` for the profile and left untouched.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include <nlohmann/json_fwd.hpp>

#include "core/base/Uuid.h"
#include "core/process/LiveProcessIdentity.h"

namespace korvelin {

class ProfilePaths;

struct XrayDurableState {
  enum class Status { empty, active };

  Status status = Status::empty;
  Uuid profileID;
  std::optional<Uuid> connectionID;
  std::optional<Uuid> generation;  // the guardian run
  std::optional<std::int32_t> guardianPID;
  std::optional<std::int32_t> childPID;  // Xray; not written by current guardians
  std::optional<std::uint16_t> loopbackPort;
  std::optional<std::string> socketPath;  // the guardian's control socket
  std::optional<std::string> capability;  // 64 hex digits
  // 2 for the current guardian protocol; absent or anything else is legacy.
  std::optional<std::int64_t> protocolVersion;
  std::optional<LiveProcessIdentity> guardianIdentity;

  // The record of a profile with no sidecar: status "empty", nothing else.
  static XrayDurableState emptyRecord(const Uuid& profileID);

  bool operator==(const XrayDurableState&) const = default;
};

// "empty" or "active".
std::string_view rawValue(XrayDurableState::Status status);

// A JSON object keyed by the field names with absent values omitted.
// Decoding requires "status" and "profileID", allows the other keys (null
// reads as absent) and refuses any other key, throwing jsonio::ShapeError or
// an nlohmann exception.
void to_json(nlohmann::json& json, const XrayDurableState& state);
void from_json(const nlohmann::json& json, XrayDurableState& state);

// One page of ".xray-state" (integers little-endian):
//   0      8  sequence number; 0 means the page holds no record
//   8      4  length L of the JSON, 1...16340
//   12     L  the record's compact JSON, then zero bytes up to 16352
//   16352 32  SHA-256 of bytes 0...16351
struct XrayStatePage {
  static constexpr std::size_t kSize = 16384;
  static constexpr std::size_t kMaxJSONLength = 16340;

  std::uint64_t sequence = 0;
  XrayDurableState state;

  // The page's bytes; absent when the record's JSON is longer than
  // kMaxJSONLength.
  static std::optional<std::string> encode(const XrayDurableState& state, std::uint64_t sequence);
  // Absent for anything but a full page with a matching digest, a non-zero
  // sequence, a length in range and JSON that decodes to a record.
  static std::optional<XrayStatePage> decode(std::string_view bytes);

  bool operator==(const XrayStatePage&) const = default;
};

// Hands a locked body the means to replace the record. Valid only inside the
// body it was given to.
class XrayDurableStateWriter {
 public:
  // Durably replaces the record: the next sequence number goes into page
  // (sequence mod 2), is synced, the three files are checked again and the
  // state is read back; only a read-back of exactly this record and sequence
  // makes it current. A record of another profile throws
  // `profileIdentifierMismatch`; every other failure `profileRecoveryRequired`.
  // After a failure the previous record stays current and the next write
  // goes to the same page again.
  void write(const XrayDurableState& state);

  // The last confirmed record and its sequence number.
  const XrayDurableState& current() const { return current_; }
  std::uint64_t sequence() const { return sequence_; }

  XrayDurableStateWriter(const XrayDurableStateWriter&) = delete;
  XrayDurableStateWriter& operator=(const XrayDurableStateWriter&) = delete;

 private:
  friend class XrayDurableStateStore;
  struct Files;  // the open files of one locked access

  XrayDurableStateWriter(Files& files, XrayDurableState current, std::uint64_t sequence)
      : files_(files), current_(std::move(current)), sequence_(sequence) {}

  Files& files_;
  XrayDurableState current_;
  std::uint64_t sequence_;
};

// One store per supervisor. Locked accesses of the store are serialised by a
// lock of its own (all profiles, within the process) and, per profile, by an
// exclusive flock on ".xray-operation-lock" (across processes).
class XrayDurableStateStore {
 public:
  static constexpr std::string_view kOperationLockFileName = ".xray-operation-lock";
  static constexpr std::string_view kManagedMarkerFileName = ".xray-managed-v1";
  static constexpr std::string_view kStateFileName = ".xray-state";
  static constexpr std::size_t kStateFileSize = 2 * XrayStatePage::kSize;

  // Called at the named points of a change on disk, with the sequence number
  // being written, so that tests can stop the process right there:
  //   "bootstrap.markerCreated", "bootstrap.stateCreated",
  //   "bootstrap.stateSized"   (before the first page is written),
  //   "page.beforeWrite", "page.afterWrite" (between pwrite and fsync),
  //   "page.afterSync"         (before the read-back).
  using FaultHook = std::function<void(std::string_view point, std::uint64_t sequence)>;
  // Receives why an operation is about to fail with `profileRecoveryRequired`
  // (that error carries only the profile), for logs and diagnostics.
  using RefusalReporter = std::function<void(const std::string& detail)>;

  explicit XrayDurableStateStore(FaultHook faultHook = {}, RefusalReporter reportRefusal = {});
  ~XrayDurableStateStore();

  XrayDurableStateStore(const XrayDurableStateStore&) = delete;
  XrayDurableStateStore& operator=(const XrayDurableStateStore&) = delete;

  // Runs `body(const XrayDurableState& current, XrayDurableStateWriter& writer)`
  // under the profile's exclusive lock and returns what it returns (nothing,
  // a record, a sidecar handle...). The lock file is created when missing.
  // Without the marker the access fails unless `allowBootstrap`, which creates
  // it; a missing state file is created holding the empty record, and one a
  // crashed bootstrap left with only zero bytes gets it too. Errors the
  // body throws pass through unchanged, after the lock is released. The body
  // must not call back into this store (the process lock is not recursive).
  template <typename Body>
  auto withLockedState(const ProfilePaths& paths, bool allowBootstrap, Body&& body)
      -> std::invoke_result_t<Body&, const XrayDurableState&, XrayDurableStateWriter&>;

  // Absent when the state file does not exist (nothing is locked or
  // created then); otherwise the record, read under the exclusive lock
  // without bootstrap.
  std::optional<XrayDurableState> read(const ProfilePaths& paths);

  // Reads the record without creating or writing anything, under a shared
  // lock that is not waited for: while a writer holds the profile's lock this
  // fails. A missing file fails too; one of only zero bytes (an interrupted
  // bootstrap) reads as the empty record. Every file is held to the same
  // rules as under the exclusive lock, and every failure is
  // `profileRecoveryRequired`.
  XrayDurableState readOnly(const ProfilePaths& paths) const;
  // True for the refusal a read-only access reports when a writer holds the
  // profile's lock: a start, stop or recovery under way.
  static bool isBusyRefusal(std::string_view detail);

 private:
  using LockedBody = std::function<void(const XrayDurableState&, XrayDurableStateWriter&)>;
  void runLocked(const ProfilePaths& paths, bool allowBootstrap, const LockedBody& body);

  // What each profile's pages held when last read or written, so that
  // unchanged pages are not decoded again; guarded by `processLock_`.
  struct SeenPageMemory;

  std::mutex processLock_;
  FaultHook faultHook_;
  RefusalReporter reportRefusal_;
  std::unique_ptr<SeenPageMemory> seenPages_;
};

template <typename Body>
auto XrayDurableStateStore::withLockedState(const ProfilePaths& paths,
                                            bool allowBootstrap,
                                            Body&& body)
    -> std::invoke_result_t<Body&, const XrayDurableState&, XrayDurableStateWriter&> {
  using Result = std::invoke_result_t<Body&, const XrayDurableState&, XrayDurableStateWriter&>;
  if constexpr (std::is_void_v<Result>) {
    runLocked(paths, allowBootstrap,
              [&](const XrayDurableState& current, XrayDurableStateWriter& writer) {
                body(current, writer);
              });
  } else {
    std::optional<Result> result;
    runLocked(paths, allowBootstrap,
              [&](const XrayDurableState& current, XrayDurableStateWriter& writer) {
                result.emplace(body(current, writer));
              });
    return std::move(*result);
  }
}

}  // namespace korvelin
