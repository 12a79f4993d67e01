#pragma once

// The application checks for new versions of itself by downloading one small
// signed manifest from a fixed HTTPS feed. Nothing of the feed reaches the user
// unless the Ed25519 signature, made with the key built into the application,
// is valid over the exact payload bytes and every rule of the manifest holds.

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

namespace korvelin {

class AppUpdateError : public std::exception {
 public:
  enum class Case : std::uint8_t {
    invalidConfiguration,
    invalidManifest,
    invalidSignature,
    transport
  };

  explicit AppUpdateError(Case errorCase) noexcept : case_(errorCase) {}
  Case errorCase() const noexcept { return case_; }
  // "invalidConfiguration", "invalidManifest", "invalidSignature", "transport".
  std::string_view code() const noexcept;
  // A fixed English sentence; nothing from the feed.
  const char* what() const noexcept override;

  // Spelled out: clang deletes a defaulted one, std::exception having none.
  friend bool operator==(const AppUpdateError& a, const AppUpdateError& b) {
    return a.case_ == b.case_;
  }

 private:
  Case case_;
};

// Limits of the feed.
inline constexpr std::size_t kAppUpdateManifestLimit = 131072;  // bytes of the signed envelope
inline constexpr double kAppUpdateClockSkew = 300;     // seconds a publication may lie ahead
inline constexpr double kAppUpdateLifetime = 2592000;  // 30 days from publication to expiry

// Compares two numeric versions group by group as numbers, a missing group
// counting as 0 (14.10 is later than 14.9, 14 equals 14.0.0): below zero when
// `a` is earlier, zero when equal, above zero when later.
int compareNumericVersions(std::string_view a, std::string_view b);

// Whether `url` is safe for the feed: scheme exactly "https", a host, and no
// user name, password, query or fragment.
bool isSafeUpdateURL(std::string_view url);

struct AppUpdateConfiguration {
  std::string feedURL;
  std::string publicKey;  // raw Ed25519 public key, 32 bytes

  // Throws invalidConfiguration unless the URL is safe and the key 32 bytes.
  AppUpdateConfiguration(std::string feedURL, std::string publicKey);

  // From the application's information dictionary: "KorvelinUpdateFeedURL"
  // (the URL) and "KorvelinUpdatePublicKey" (standard Base64 of the key). Both
  // absent: no configuration, updates are off. Anything but both present and
  // valid: invalidConfiguration.
  static std::optional<AppUpdateConfiguration> fromInfo(const nlohmann::json& info);

  // One to four dot-separated groups of one to six digits.
  static bool numericVersion(std::string_view text);

  friend bool operator==(const AppUpdateConfiguration&, const AppUpdateConfiguration&) = default;
};

// The release manifest, its members in the order of the document.
struct AppUpdateRelease {
  std::int64_t schemaVersion = 0;
  std::string bundleIdentifier;
  std::string channel;
  std::string version;
  std::uint64_t build = 0;
  std::string minimumSystemVersion;
  double publishedAt = 0;  // seconds since 1970
  double expiresAt = 0;
  std::string notes;
  std::string downloadURL;
  std::uint64_t size = 0;
  std::string sha256;

  // Verifies `data`, the envelope {"payload": Base64, "signature": Base64},
  // and returns the manifest it carries. Fails with invalidManifest (too large,
  // not an envelope, a manifest that does not decode or breaks a rule, one not
  // for `applicationIdentifier`, published more than 300 s after `now`, expired
  // at `now`) or invalidSignature (not 64 bytes, or not valid for the payload's
  // exact bytes). `systemVersion` defaults to the running system's version.
  static AppUpdateRelease authenticate(std::string_view data,
                                       const AppUpdateConfiguration& configuration,
                                       std::string_view applicationIdentifier,
                                       double now,
                                       std::optional<std::string> systemVersion = std::nullopt);

  friend bool operator==(const AppUpdateRelease&, const AppUpdateRelease&) = default;
};

void to_json(nlohmann::json& json, const AppUpdateRelease& release);

}  // namespace korvelin
