#pragma once

// Where the user's YouTrack token (and other secrets kept by reference) live.
// This system has no data-protection keychain: a secret is a private file
// (0600, one link, no ACL entry) in a private directory (0700) under the
// profile base, "Credentials/<service>/<account>", written to a temporary
// file, synced and renamed into place. That protects it from other users
// and from the profiles' own files and environment, but not from other
// programs running as the same user, which a keychain bound to a signed
// application would also refuse.
//
// A failing step reports the system's error number where a keychain reports
// its status; a directory or file that is not private reports EPERM.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/base/Uuid.h"
#include "core/files/FileLock.h"

namespace korvelin {

enum class YouTrackCredentialStatus { notConfigured, configured };

class YouTrackCredentialStoring {
 public:
  virtual ~YouTrackCredentialStoring() = default;
  virtual YouTrackCredentialStatus status() = 0;
  virtual std::string readToken() = 0;
  virtual void storeToken(std::string_view token) = 0;
  virtual void deleteToken() = 0;
};

struct YouTrackTokenValidator {
  static constexpr std::size_t maximumBytes = 8192;
  // The token's bytes, untrimmed, when it is 1...8192 bytes of UTF-8, not
  // only white space, with no control character; else throws
  // `invalidYouTrackToken`.
  static std::string validatedData(std::string_view token);
};

// How `PrivateCredentialFiles` fails: the status of the failing step.
struct CredentialFileFailure {
  int status;
};

// Secrets keyed by an account name under one service directory.
class PrivateCredentialFiles {
 public:
  PrivateCredentialFiles(std::string base, std::string service, std::size_t maximumBytes);

  // The secret, absent when none is stored. Failures throw CredentialFileFailure.
  std::optional<std::string> read(std::string_view account) const;
  enum class Write { create, update, replace };
  // `create` fails with EEXIST over an existing secret, `update` with ENOENT
  // without one.
  void write(std::string_view account, std::string_view secret, Write mode) const;
  // False when there was nothing to remove.
  bool remove(std::string_view account) const;
  // Removes the temporary files of writers that were killed mid-write (each
  // may hold a secret), so that a deleted secret leaves no copy behind. Only
  // for a caller no other writer of the service can overlap.
  void removeLeftovers() const;

 private:
  std::string base_;
  std::string service_;
  std::size_t maximumBytes_;
};

// The production token store: service "mcp.youtrack", account "shared".
class YouTrackFileCredentialStore : public YouTrackCredentialStoring {
 public:
  explicit YouTrackFileCredentialStore(std::string base);
  YouTrackCredentialStatus status() override;
  std::string readToken() override;
  void storeToken(std::string_view token) override;
  void deleteToken() override;

 private:
  PrivateCredentialFiles files_;
};

// Keeps the stored token still across processes: every run that uses it
// holds a shared lock on "Credentials/mcp.youtrack/.in-use" (`use`), and a
// change holds it exclusively (`change`). Neither waits: whoever finds the
// other side there is refused with `youTrackCredentialMutationBlocked`. The
// lock goes with the process, so a crash never leaves the token held.
FileLock holdYouTrackToken(const std::string& base, FileLock::Mode mode);

// Secrets by UUID reference (proxy credentials and the like); every failure
// is `keychainOperationFailed` with "create", "read", "update" or "delete".
class PrivateFileCredentialStore {
 public:
  PrivateFileCredentialStore(std::string base, std::string service);
  void create(const Uuid& reference, std::string_view secret);
  std::string read(const Uuid& reference);
  void update(const Uuid& reference, std::string_view secret);
  void remove(const Uuid& reference);

 private:
  PrivateCredentialFiles files_;
};

}  // namespace korvelin
