#include "core/codex/CodexMCPConfigProvisioner.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <exception>

#include <nlohmann/json.hpp>

#include "core/base/CoreError.h"
#include "core/base/HexCoding.h"
#include "core/base/JsonSupport.h"
#include "core/files/DirectoryListing.h"
#include "core/files/FileSystemSecurity.h"
#include "core/files/PrivateFile.h"
#include "core/platform/Acl.h"
#include "core/platform/Eintr.h"
#include "core/platform/FileUtil.h"
#include "core/platform/Rename.h"
#include "core/platform/ScopedFD.h"
#include "core/profile/ProfilePaths.h"

namespace korvelin {

using platform::retryOnEintr;
using platform::ScopedFD;
using Provisioner = CodexMCPConfigProvisioner;

namespace {

const ErrorFactory kError = &KorvelinCoreError::youTrackMCPConfigurationFailed;
constexpr std::size_t kReadChunk = 16384;
const std::string kConfig(Provisioner::kConfigName);
const std::string kJournal(Provisioner::kJournalName);

[[noreturn]] void fail(const std::string& detail) {
  throw kError(detail);
}

// What a fault hook threw, carried past every clean-up handler of the
// operation (they catch only KorvelinCoreError) and rethrown as it was at
// the public boundary, so that the files stay as a crash would leave them.
struct InjectedFault {
  std::exception_ptr thrown;
};

template <typename Operation>
auto passingFaultsThrough(Operation&& operation) -> decltype(operation()) {
  try {
    return operation();
  } catch (const InjectedFault& fault) {
    std::rethrow_exception(fault.thrown);
  }
}

// ---------------------------------------------------------------------------
// Files inside ".codex", always relative to its descriptor

struct Identity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  static Identity of(const struct stat& info) {
    return {static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino)};
  }
  bool operator==(const Identity&) const = default;
};

bool isPlainName(std::string_view name) {
  return !name.empty() && name.find('/') == std::string_view::npos;
}

bool passesFileRules(const struct stat& info, nlink_t maxLinks) {
  return S_ISREG(info.st_mode) && info.st_uid == ::geteuid() && info.st_nlink <= maxLinks &&
         (info.st_mode & 022) == 0 &&
         static_cast<std::uintmax_t>(info.st_size) <= codexmcp::kMaxConfigBytes;
}

// The whole of a private file of the user: regular, not writable by group or
// others, at most `maxLinks` names, no ACL entry, at most 1 MiB. Absent when
// nothing has the name.
std::optional<std::string> readSafeFile(int directory, const std::string& name, nlink_t maxLinks) {
  if (!isPlainName(name))
    fail("invalid private file name");
  struct stat named {};
  if (::fstatat(directory, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno == ENOENT)
      return std::nullopt;
    fail("could not inspect private file");
  }
  if (!passesFileRules(named, maxLinks))
    fail("unsafe private file");
  ScopedFD fd(retryOnEintr([&] {
    return ::openat(directory, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  }));
  if (!fd)
    fail("could not open private file");
  struct stat opened {};
  if (::fstat(fd.get(), &opened) != 0 || !passesFileRules(opened, maxLinks))
    fail("opened private file failed owner/type/mode validation");
  const auto acl = platform::readExtendedAcl(fd.get(), false);
  if (acl.state == platform::AclState::inspectionFailed)
    fail("ACL inspection failed for " + name + ": " + platform::errorText(acl.error));
  if (acl.state != platform::AclState::none)
    fail("extended ACL is not allowed: " + name);
  std::string bytes;
  std::array<char, kReadChunk> chunk;
  for (;;) {
    const ssize_t n = retryOnEintr([&] { return ::read(fd.get(), chunk.data(), chunk.size()); });
    if (n < 0)
      fail("could not read config");
    if (n == 0)
      break;
    bytes.append(chunk.data(), static_cast<std::size_t>(n));
    if (bytes.size() > codexmcp::kMaxConfigBytes)
      fail("config exceeds 1 MiB");
  }
  return bytes;
}

Identity fileIdentity(int directory, const std::string& name) {
  struct stat info {};
  if (::fstatat(directory, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(info.st_mode))
    fail("could not identify private file");
  return Identity::of(info);
}

std::optional<Identity> identityIfPresent(int directory, const std::string& name) {
  struct stat info {};
  if (::fstatat(directory, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(info.st_mode))
    return std::nullopt;
  return Identity::of(info);
}

bool exists(int directory, const std::string& name) {
  struct stat info {};
  return ::fstatat(directory, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
}

void unlinkQuietly(int directory, const std::string& name) {
  ::unlinkat(directory, name.c_str(), 0);
}

void syncDirectory(int directory, const char* detail) {
  if (retryOnEintr([&] { return ::fsync(directory); }) != 0)
    fail(detail);
}

// A new private file: exclusive, never through a link, 0600 whatever the
// umask, no ACL entry.
ScopedFD createPrivateFile(int directory, const std::string& name, const char* detail) {
  return PrivateFile::createExclusive(
      directory, name, O_WRONLY, name,
      ErrorFactory([detail](const std::string&) { return kError(detail); }));
}

std::string sha256Hex(std::string_view bytes) {
  [[maybe_unused]] static const bool initialized = sodium_init() >= 0;
  unsigned char digest[crypto_hash_sha256_BYTES];
  crypto_hash_sha256(digest, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  return hexEncoded(std::string_view(reinterpret_cast<const char*>(digest), sizeof digest));
}

std::vector<std::string> namesIn(int directory, const char* detail) {
  auto names = entryNames(directory);
  if (!names)
    fail(detail);
  return std::move(*names);
}
bool isTemporaryName(std::string_view name, std::string_view prefix) {
  return isPlainName(name) && name.starts_with(prefix) && name.ends_with(".tmp");
}

// ---------------------------------------------------------------------------
// The journal

enum class Mode { create, swap };

struct Journal {
  Mode mode = Mode::create;
  std::string tempName;
  Uuid generation;
  std::optional<Identity> originalIdentity;
  std::optional<std::string> originalHash;
  Identity intendedIdentity;
  std::string intendedHash;
};

nlohmann::json identityJSON(const Identity& identity) {
  return {{"device", identity.device}, {"inode", identity.inode}};
}

Identity identityFromJSON(const nlohmann::json& json) {
  jsonio::requireExactKeys(json, {"device", "inode"});
  return {jsonio::requireInteger<std::uint64_t>(json, "device"),
          jsonio::requireInteger<std::uint64_t>(json, "inode")};
}

std::string requireHash(const nlohmann::json& json, std::string_view key) {
  std::string hash = jsonio::requireString(json, key);
  if (hash.size() != 64 || hash.find_first_not_of("0123456789abcdef") != std::string::npos)
    throw jsonio::ShapeError("\"" + std::string(key) + "\" is not a SHA-256 digest");
  return hash;
}

std::string encode(const Journal& journal) {
  nlohmann::json json = {{"mode", journal.mode == Mode::swap ? "swap" : "create"},
                         {"tempName", journal.tempName},
                         {"generation", journal.generation},
                         {"intendedIdentity", identityJSON(journal.intendedIdentity)},
                         {"intendedHash", journal.intendedHash}};
  if (journal.originalIdentity)
    json["originalIdentity"] = identityJSON(*journal.originalIdentity);
  if (journal.originalHash)
    json["originalHash"] = *journal.originalHash;
  return json.dump(2);
}

Journal decode(std::string_view text) {
  try {
    return jsonio::decode(text, kError, "journal", [](const nlohmann::json& json) {
      jsonio::requireKeysAmong(
          json, {"mode", "tempName", "generation", "intendedIdentity", "intendedHash"},
          {"originalIdentity", "originalHash"});
      Journal journal;
      const std::string mode = jsonio::requireString(json, "mode");
      if (mode != "create" && mode != "swap")
        throw jsonio::ShapeError("unknown mode");
      journal.mode = mode == "swap" ? Mode::swap : Mode::create;
      journal.tempName = jsonio::requireString(json, "tempName");
      journal.generation = jsonio::requireUuid(json, "generation");
      if (const auto* identity = jsonio::optionalMember(json, "originalIdentity"))
        journal.originalIdentity = identityFromJSON(*identity);
      if (jsonio::optionalMember(json, "originalHash"))
        journal.originalHash = requireHash(json, "originalHash");
      journal.intendedIdentity = identityFromJSON(jsonio::requireMember(json, "intendedIdentity"));
      journal.intendedHash = requireHash(json, "intendedHash");
      return journal;
    });
  } catch (const KorvelinCoreError&) {
    fail("invalid config transaction journal");
  }
}

// ---------------------------------------------------------------------------
// One transaction on one opened ".codex"

class Transaction {
 public:
  Transaction(int codex, const Provisioner::FaultHook& fault) : codex_(codex), fault_(fault) {}

  void hit(std::string_view point) const {
    if (!fault_)
      return;
    try {
      fault_(point);
    } catch (...) {
      throw InjectedFault{std::current_exception()};
    }
  }

  std::optional<std::string> read(const std::string& name, nlink_t maxLinks) const {
    return readSafeFile(codex_, name, maxLinks);
  }

  void writeJournal(const Journal& journal) const {
    const std::string staging =
        std::string(Provisioner::kStagingPrefix) + Uuid::random().lowercaseString() + ".tmp";
    const std::string bytes = encode(journal);
    {
      ScopedFD fd =
          createPrivateFile(codex_, staging, "could not create config transaction staging");
      if (!platform::writeFull(fd.get(), bytes)) {
        unlinkQuietly(codex_, staging);
        fail("could not write config transaction");
      }
      if (retryOnEintr([&] { return ::fsync(fd.get()); }) != 0) {
        unlinkQuietly(codex_, staging);
        fail("could not sync config transaction");
      }
    }
    hit("afterJournalStage");
    if (::linkat(codex_, staging.c_str(), codex_, kJournal.c_str(), 0) != 0) {
      const int error = errno;
      unlinkQuietly(codex_, staging);
      fail(error == EEXIST ? "config transaction already exists"
                           : "could not publish config transaction");
    }
    hit("afterJournalPublish");
    if (::unlinkat(codex_, staging.c_str(), 0) != 0)
      fail("could not remove config transaction staging");
    syncDirectory(codex_, "could not sync config directory");
  }

  void removeJournal() const {
    if (::unlinkat(codex_, kJournal.c_str(), 0) != 0 && errno != ENOENT)
      fail("could not finish config transaction");
    syncDirectory(codex_, "could not sync config directory");
  }

  void cleanupJournalStaging() const {
    for (const auto& name : namesIn(codex_, "could not inspect config transaction staging"))
      if (isTemporaryName(name, Provisioner::kStagingPrefix) &&
          ::unlinkat(codex_, name.c_str(), 0) != 0 && errno != ENOENT)
        fail("could not clean config transaction staging");
  }

  // Temporary and quarantine files that no journal names are leftovers of a
  // transaction that was rolled back or had committed when its process died
  // (the displaced prior file of a finished swap, say). Only one transaction
  // runs in a profile at a time, so once no journal exists, none is in use.
  void sweepOrphans() const {
    for (const auto& name : namesIn(codex_, "could not inspect config transaction staging"))
      if ((isTemporaryName(name, Provisioner::kTempPrefix) ||
           isTemporaryName(name, Provisioner::kRecoveryPrefix)) &&
          ::unlinkat(codex_, name.c_str(), 0) != 0 && errno != ENOENT)
        fail("could not clean orphaned config temp");
  }

  void recoverIfNeeded() const {
    cleanupJournalStaging();
    if (!exists(codex_, kJournal))
      return sweepOrphans();
    const Journal journal = decode(read(kJournal, 1).value_or(""));
    if (!journal.tempName.starts_with(Provisioner::kTempPrefix) || !isPlainName(journal.tempName))
      fail("invalid config transaction journal");
    const std::string& temp = journal.tempName;
    const std::string recovery =
        std::string(Provisioner::kRecoveryPrefix) + journal.generation.lowercaseString() + ".tmp";
    const nlink_t links = journal.mode == Mode::swap ? 1 : 2;

    // Whether config.toml is exactly the file before the transaction.
    auto holdsPrior = [&](const std::optional<std::string>& bytes,
                          const std::optional<Identity>& identity) {
      if (!journal.originalHash || sha256Hex(bytes.value_or("")) != *journal.originalHash)
        return false;
      return bytes ? identity && journal.originalIdentity && *identity == *journal.originalIdentity
                   : !journal.originalIdentity;
    };

    if (!exists(codex_, recovery)) {
      const auto current = read(kConfig, links);
      const auto identity = current ? std::optional(fileIdentity(codex_, kConfig)) : std::nullopt;
      if (current && sha256Hex(*current) == journal.intendedHash &&
          identity == journal.intendedIdentity) {
        // Published: move the new file aside, then put the prior one back.
        if (platform::renameNoReplace(codex_, kConfig.c_str(), codex_, recovery.c_str()) != 0)
          fail("could not quarantine interrupted config transaction");
        syncDirectory(codex_, "could not sync recovery quarantine");
        hit("afterRecoveryQuarantine");
      } else if (holdsPrior(current, identity)) {
        unlinkQuietly(codex_, temp);
        removeJournal();
        return sweepOrphans();
      } else {
        fail("config transaction requires manual recovery");
      }
    }

    const auto quarantined = read(recovery, links);
    if (!quarantined || sha256Hex(*quarantined) != journal.intendedHash ||
        identityIfPresent(codex_, recovery) != journal.intendedIdentity) {
      platform::renameNoReplace(codex_, recovery.c_str(), codex_, kConfig.c_str());
      fail("config transaction requires manual recovery");
    }
    if (journal.mode == Mode::swap) {
      if (exists(codex_, temp)) {
        const auto displaced = read(temp, 1);
        if (!journal.originalHash || !journal.originalIdentity || !displaced ||
            sha256Hex(*displaced) != *journal.originalHash ||
            identityIfPresent(codex_, temp) != journal.originalIdentity)
          fail("invalid displaced config recovery file");
        if (platform::renameNoReplace(codex_, temp.c_str(), codex_, kConfig.c_str()) != 0)
          fail("could not recover interrupted config swap");
        unlinkQuietly(codex_, recovery);
      } else {
        const auto current = read(kConfig, 1);
        if (!holdsPrior(current, current ? identityIfPresent(codex_, kConfig) : std::nullopt))
          fail("missing displaced config recovery file");
        unlinkQuietly(codex_, recovery);
        removeJournal();
        return sweepOrphans();
      }
    } else {
      if (::unlinkat(codex_, recovery.c_str(), 0) != 0)
        fail("could not roll back interrupted config create");
      unlinkQuietly(codex_, temp);
    }
    syncDirectory(codex_, "could not sync config recovery");
    removeJournal();
    sweepOrphans();
  }

  // Replaces config.toml, which must hold `expected` (empty: absent or
  // empty), by `bytes`.
  void atomicWrite(const std::string& bytes,
                   const std::string& expected,
                   const Uuid& generation) const {
    const auto prior = read(kConfig, 1);
    if (prior.value_or("") != expected)
      fail("config changed concurrently");
    Journal journal;
    journal.generation = generation;
    journal.mode = prior ? Mode::swap : Mode::create;
    if (prior)
      journal.originalIdentity = fileIdentity(codex_, kConfig);
    journal.originalHash = sha256Hex(expected);
    journal.intendedHash = sha256Hex(bytes);
    journal.tempName =
        std::string(Provisioner::kTempPrefix) + Uuid::random().lowercaseString() + ".tmp";
    const std::string& temp = journal.tempName;

    ScopedFD fd = createPrivateFile(codex_, temp, "could not create private temp");
    auto failAndDropTemp = [&](const char* detail) {
      unlinkQuietly(codex_, temp);
      fail(detail);
    };
    if (!platform::writeFull(fd.get(), bytes))
      failAndDropTemp("could not write config");
    if (retryOnEintr([&] { return ::fsync(fd.get()); }) != 0)
      failAndDropTemp("could not sync config");
    struct stat written {};
    if (::fstat(fd.get(), &written) != 0)
      failAndDropTemp("could not inspect config temp");
    journal.intendedIdentity = Identity::of(written);

    bool unchanged = false;
    try {
      const auto again = read(kConfig, 1);
      unchanged = again.value_or("") == expected && again.has_value() == prior.has_value() &&
                  (!prior || identityIfPresent(codex_, kConfig) == journal.originalIdentity);
    } catch (const KorvelinCoreError&) {
    }
    if (!unchanged)
      failAndDropTemp("config changed concurrently");

    try {
      writeJournal(journal);
    } catch (const KorvelinCoreError&) {
      // A journal that did get published names the temporary file: the next
      // recovery deletes it. Only an unpublished one leaves it to us.
      if (!exists(codex_, kJournal))
        unlinkQuietly(codex_, temp);
      throw;
    }
    hit("afterJournal");

    if (journal.mode == Mode::swap) {
      hit("beforeSwap");
      if (platform::renameExchange(codex_, temp.c_str(), codex_, kConfig.c_str()) != 0)
        failAndDropTemp("could not atomically swap config");
      bool displacedPrior = false;
      try {
        displacedPrior =
            read(temp, 1) == prior && identityIfPresent(codex_, temp) == journal.originalIdentity;
      } catch (const KorvelinCoreError&) {
      }
      if (!displacedPrior)
        fail("config changed concurrently");
      hit("afterPublish");
    } else {
      if (::linkat(codex_, temp.c_str(), codex_, kConfig.c_str(), 0) != 0) {
        const int error = errno;
        try {
          removeJournal();
        } catch (const KorvelinCoreError&) {
        }
        failAndDropTemp(error == EEXIST ? "config was created concurrently"
                                        : "could not publish config");
      }
      hit("afterCreateLink");
      if (::unlinkat(codex_, temp.c_str(), 0) != 0)
        fail("could not remove config create hardlink");
      hit("afterPublish");
    }

    bool committed = false;
    try {
      committed = read(kConfig, 1) == bytes &&
                  identityIfPresent(codex_, kConfig) == journal.intendedIdentity;
    } catch (const KorvelinCoreError&) {
    }
    if (!committed)
      fail("config changed during transaction commit");
    syncDirectory(codex_, "could not sync config directory");
    removeJournal();
    if (exists(codex_, temp) && ::unlinkat(codex_, temp.c_str(), 0) != 0)
      fail("could not remove config temp");
    syncDirectory(codex_, "could not sync config directory");
  }

 private:
  int codex_;
  const Provisioner::FaultHook& fault_;
};

// ---------------------------------------------------------------------------
// Opening the profile's home and ".codex"

ScopedFD openHome(const ProfilePaths& paths) {
  return SecureFileSystem::openDirectoryFD(
      paths.home(), {.exactPermissions = SecureFileSystem::kPrivateDirectoryMode}, kError);
}

// ".codex" of an open home: the user's own directory, exactly 0700 (0755, the
// mode Codex itself creates it with under the usual umask, is made 0700),
// without ACL entries.
ScopedFD openCodexHomeFD(int home, bool repair) {
  const std::string name(Provisioner::kCodexDirectoryName);
  ScopedFD codex(retryOnEintr([&] {
    return ::openat(home, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  }));
  if (!codex)
    fail("could not open private .codex directory");
  struct stat info {};
  if (::fstat(codex.get(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::geteuid())
    fail("unsafe private .codex directory");
  // A read-only look takes the mode that the next change repairs as it is.
  const bool repairable = (info.st_mode & 0777) == 0755;
  if (repair && repairable) {
    if (::fchmod(codex.get(), 0700) != 0 ||
        retryOnEintr([&] { return ::fsync(codex.get()); }) != 0 || ::fstat(codex.get(), &info) != 0)
      fail("could not restore private .codex permissions");
  }
  if ((info.st_mode & 0777) != 0700 && !(repairable && !repair))
    fail("unsafe private .codex directory");
  const auto acl = platform::readExtendedAcl(codex.get(), false);
  if (acl.state == platform::AclState::inspectionFailed)
    fail("ACL inspection failed for .codex: " + platform::errorText(acl.error));
  if (acl.state != platform::AclState::none)
    fail("extended ACL is not allowed: .codex");
  return codex;
}

ScopedFD prepareAndOpenCodexHome(const ProfilePaths& paths) {
  SecureFileSystem::requireDirectory(
      paths.home(),
      {.exactPermissions = SecureFileSystem::kPrivateDirectoryMode, .denyOnlyACLAllowed = true},
      kError);
  ScopedFD home = openHome(paths);
  const std::string name(Provisioner::kCodexDirectoryName);
  if (::mkdirat(home.get(), name.c_str(), 0700) != 0 && errno != EEXIST)
    fail("could not create private .codex directory");
  return openCodexHomeFD(home.get(), true);
}

// ".codex" when it exists; absent otherwise.
std::optional<ScopedFD> openExistingCodexHome(const ProfilePaths& paths, bool repair) {
  if (!SecureFileSystem::metadata(paths.home()))
    return std::nullopt;
  ScopedFD home = openHome(paths);
  struct stat info {};
  const std::string name(Provisioner::kCodexDirectoryName);
  if (::fstatat(home.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno == ENOENT)
      return std::nullopt;
    fail("could not inspect private .codex directory");
  }
  return openCodexHomeFD(home.get(), repair);
}

}  // namespace

CodexMCPConfigReceipt Provisioner::install(const ProfilePaths& paths,
                                           const Uuid& generation,
                                           std::uint16_t port,
                                           std::string_view capability) {
  std::lock_guard guard(lock_);
  return passingFaultsThrough([&] { return installLocked(paths, generation, port, capability); });
}

CodexMCPConfigReceipt Provisioner::installLocked(const ProfilePaths& paths,
                                                 const Uuid& generation,
                                                 std::uint16_t port,
                                                 std::string_view capability) {
  if (!codexmcp::isValidCapability(capability))
    fail("invalid capability");
  ScopedFD codex = prepareAndOpenCodexHome(paths);
  const Transaction transaction(codex.get(), fault_);
  transaction.recoverIfNeeded();
  const std::string prior = transaction.read(kConfig, 1).value_or("");
  const std::string stripped = codexmcp::removingManagedBlock(prior);
  if (codexmcp::definesManagedServer(stripped))
    fail("server name collision");
  std::string bytes =
      codexmcp::addingManagedBlock(stripped, codexmcp::managedBlock(generation, port, capability));
  if (bytes.size() > codexmcp::kMaxConfigBytes)
    fail("managed config would exceed 1 MiB");
  transaction.atomicWrite(bytes, prior, generation);
  return CodexMCPConfigReceipt{generation, std::move(bytes)};
}

void Provisioner::remove(const ProfilePaths& paths, const CodexMCPConfigReceipt& receipt) {
  std::lock_guard guard(lock_);
  passingFaultsThrough([&] { removeLocked(paths, receipt); });
}

void Provisioner::removeLocked(const ProfilePaths& paths, const CodexMCPConfigReceipt& receipt) {
  ScopedFD home = openHome(paths);
  ScopedFD codex = openCodexHomeFD(home.get(), true);
  home.reset();
  const Transaction transaction(codex.get(), fault_);
  transaction.recoverIfNeeded();
  const std::string current = transaction.read(kConfig, 1).value_or("");
  if (current != receipt.installedBytes)
    fail("managed config changed while the run was active");
  transaction.atomicWrite(codexmcp::removingManagedBlock(current), current, receipt.generation);
}

void Provisioner::reconcile(const ProfilePaths& paths) {
  std::lock_guard guard(lock_);
  passingFaultsThrough([&] { reconcileLocked(paths); });
}

void Provisioner::reconcileLocked(const ProfilePaths& paths) {
  auto codex = openExistingCodexHome(paths, true);
  if (!codex)
    return;
  const Transaction transaction(codex->get(), fault_);
  transaction.recoverIfNeeded();
  const std::string current = transaction.read(kConfig, 1).value_or("");
  const std::string stripped = codexmcp::removingManagedBlock(current);
  if (stripped != current)
    transaction.atomicWrite(stripped, current, Uuid::random());
}

std::optional<CodexMCPConfigReceipt> Provisioner::currentReceipt(const ProfilePaths& paths) {
  std::lock_guard guard(lock_);
  auto codex = openExistingCodexHome(paths, false);
  if (!codex)
    return std::nullopt;
  auto bytes = readSafeFile(codex->get(), kConfig, 1);
  if (!bytes)
    return std::nullopt;
  const auto block = codexmcp::summarizeManagedBlock(*bytes);
  if (!block || !block->generation || codexmcp::removingManagedBlock(*bytes) == *bytes)
    return std::nullopt;
  return CodexMCPConfigReceipt{*block->generation, std::move(*bytes)};
}

CodexMCPConfigStatus Provisioner::status(const ProfilePaths& paths) {
  std::lock_guard guard(lock_);
  CodexMCPConfigStatus status;
  auto codex = openExistingCodexHome(paths, false);
  if (!codex)
    return status;
  status.codexHomeExists = true;
  for (const auto& name : namesIn(codex->get(), "could not inspect config transaction staging")) {
    if (name == kJournal)
      status.journalPending = true;
    if (isTemporaryName(name, kTempPrefix) || isTemporaryName(name, kStagingPrefix) ||
        isTemporaryName(name, kRecoveryPrefix))
      status.leftovers.push_back(name);
  }
  std::sort(status.leftovers.begin(), status.leftovers.end());
  // An interrupted create leaves config.toml with a second name.
  const auto bytes = readSafeFile(codex->get(), kConfig, status.journalPending ? 2 : 1);
  if (!bytes)
    return status;
  status.configExists = true;
  status.configBytes = bytes->size();
  std::string stripped;
  try {
    stripped = codexmcp::removingManagedBlock(*bytes);
  } catch (const KorvelinCoreError& e) {
    status.markerProblem = e.detail();
    stripped = *bytes;
  }
  if (status.markerProblem.empty())
    status.block = codexmcp::summarizeManagedBlock(*bytes);
  status.serverOutsideBlock = codexmcp::definesManagedServer(stripped);
  return status;
}

}  // namespace korvelin
