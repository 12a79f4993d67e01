#pragma once

// The user's saved VLESS connections: "ProxyConnections/connections.json"
// lists them by name, and each one's link (the secret part) lives alone in
// "ProxyConnections/Secrets/<lower-case uuid>.vless". Both are private files
// replaced whole by rename, so a reader never sees half of one.

#include <chrono>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/Uuid.h"
#include "core/proxy/VLESSConnection.h"

namespace korvelin {

struct VLESSConnectionSnapshot {
  // Sorted by name, compared case-insensitively (Unicode case folding); equal
  // folded names cannot occur.
  std::vector<VLESSConnection> connections;
  bool operator==(const VLESSConnectionSnapshot&) const = default;
};

class VLESSConnectionRepository {
 public:
  static constexpr std::size_t maximumConnections = 50;
  static constexpr std::size_t maximumMetadataBytes = 262144;
  static constexpr std::size_t maximumLinkBytes = 32768;

  using Clock = std::function<std::chrono::system_clock::time_point()>;
  // Called with a point's name before each step of a write ("link",
  // "metadata"); tests throw from it to fail that step.
  using FaultPoint = std::function<void(std::string_view point)>;

  // `defaultBaseDirectory` is the base the system may create when missing;
  // any other base must exist already.
  VLESSConnectionRepository(
      std::string baseDirectory,
      std::string defaultBaseDirectory,
      Clock now = [] { return std::chrono::system_clock::now(); });

  // Nothing saved (no base, no "ProxyConnections", no "connections.json") is
  // an empty snapshot; nothing is created.
  VLESSConnectionSnapshot load() const;
  VLESSConnection create(const Uuid& id, std::string_view name, std::string_view uri) const;
  // Absent `uri` keeps the saved link.
  VLESSConnection update(const Uuid& id,
                         std::string_view name,
                         std::optional<std::string_view> uri) const;
  // `referencedConnectionIDs`: the connections catalogued profiles use.
  void remove(const Uuid& id, const std::set<Uuid>& referencedConnectionIDs) const;
  VLESSRealityConfiguration configuration(const Uuid& id) const;
  std::string savedURI(const Uuid& id) const;

  void setFaultPoint(FaultPoint point) { faultPoint_ = std::move(point); }

  // "connections.json" in file order, and back. Decoding checks the shape
  // only (`storageFailed` otherwise); duplicates and links are checked
  // against the directory by `load`.
  static std::vector<VLESSConnection> decodeMetadata(std::string_view bytes);
  static std::string encodeMetadata(const std::vector<VLESSConnection>& connections);

 private:
  std::string base_;
  std::string defaultBase_;
  Clock now_;
  FaultPoint faultPoint_;
  mutable std::mutex mutex_;
};

}  // namespace korvelin
